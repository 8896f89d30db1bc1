// main() for tests that need a QApplication: widgets may only be made once one exists.
#include <QApplication>
#include <gtest/gtest.h>

#include "tests/support/TestEnv.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const testsupport::TestProcessEnvironment environment(testsupport::QtOutput::Offscreen);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
