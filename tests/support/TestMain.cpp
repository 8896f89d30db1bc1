// main() for tests without Qt: the drivers every test starts from are set before any test runs.
#include <gtest/gtest.h>

#include "tests/support/TestEnv.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const testsupport::TestProcessEnvironment environment(testsupport::QtOutput::Offscreen);
    return RUN_ALL_TESTS();
}
