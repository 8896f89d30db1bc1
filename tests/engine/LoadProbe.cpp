// Loads the player's codec libraries from the folder named by its one argument, in a process of its
// own, and prints the file of every codec library then mapped into it, one a line. Exits 1 (with the
// loader's text) when the load fails.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "engine/load/FFLoad.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    FFLoader().SetLibraryPath(argv[1]);
    if (!FFLoader().Load(CPlayerLibraries)) {
        std::fprintf(stderr, "%s\n", FFLoader().LastErrMsg().c_str());
        return 1;
    }
    std::ifstream maps("/proc/self/maps");
    std::set<std::string> files;
    for (std::string line; std::getline(maps, line);) {
        // address, permissions, offset, device, inode, then the file.
        std::istringstream fields(line);
        std::string field;
        std::string file;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (fields >> file &&
            (file.find("/libav") != std::string::npos || file.find("/libsw") != std::string::npos)) {
            files.insert(file);
        }
    }
    for (const std::string& file : files) {
        std::printf("%s\n", file.c_str());
    }
    return 0;
}
