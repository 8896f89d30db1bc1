// main() of the window tests: the video panel is embedded the way the program embeds it, so Qt runs on
// the X server (Xvfb in the test run, or a private one when none is named).
#include <gtest/gtest.h>
#include <QApplication>

#include <X11/Xlib.h>

#include "tests/support/TestEnv.h"

// Leaks inside system libraries: the desktop bus that Qt's X11 platform loads, and a graphics context
// that the SDL library's X11 output creates and never frees.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n"
           "leak:XCreateGC\n";
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const testsupport::TestProcessEnvironment environment(testsupport::QtOutput::XServer);
    XInitThreads();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
