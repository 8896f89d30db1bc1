// Stands in for many zeb processes answering their prompts at the same moment: waits until a start file
// appears, then disables each extension named on its command line through zeb's own code.
// Usage: zeb_disable_writer START_FILE EXTENSION...
#include <chrono>
#include <filesystem>
#include <thread>

#include "zeb/DisabledExts.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(argv[1])) {
        if (std::chrono::steady_clock::now() > deadline) {
            return 3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int failures = 0;
    for (int i = 2; i < argc; ++i) {
        failures += zeb::DisableExtension(argv[i]) ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}
