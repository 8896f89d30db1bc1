// main() of the window tests: the video panel is embedded the way the program embeds it, so Qt runs on
// the X server (Xvfb in the test run) whenever one is there.
#include <gtest/gtest.h>
#include <QApplication>

#include <cstdlib>

#include <X11/Xlib.h>

// Leaks inside system libraries: the desktop bus that Qt's X11 platform loads, and a graphics context
// that the SDL library's X11 output creates and never frees.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n"
           "leak:XCreateGC\n";
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        XInitThreads();
    }
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
