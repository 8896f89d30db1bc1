// Where a worker puts a downloaded file.
#include "pollwick/DownloadQueueThread.h"

#include <gtest/gtest.h>

#include "tests/support/TestEnv.h"

namespace pollwick {
namespace {

namespace fs = std::filesystem;

class DestinationName : public ::testing::Test {
protected:
    std::string folder() const { return (dir_.path() / "dest").string() + "/"; }
    std::string source(const std::string& name) {
        const fs::path path = dir_.path() / "src" / name;
        testsupport::WriteFile(path, "new");
        return path.string();
    }
    void existing(const std::string& name) { testsupport::WriteFile(fs::path(folder()) / name, "old"); }

    testsupport::TempDir dir_;
};

TEST_F(DestinationName, FreeNameIsTakenAsItIsAndTheFolderIsMade) {
    std::string error;
    std::string destination;
    ASSERT_TRUE(DownloadQueueThread::getDestinationName(source("Setup.bin"), ".bin", error, destination, true,
                                                        folder()));
    EXPECT_EQ(destination, folder() + "Setup.bin");
    EXPECT_TRUE(fs::is_directory(folder()));
}

TEST_F(DestinationName, ExistingFileIsReplacedWhenOverwriteIsOn) {
    existing("Setup.bin");
    std::string error;
    std::string destination;
    ASSERT_TRUE(DownloadQueueThread::getDestinationName(source("Setup.bin"), ".bin", error, destination, true,
                                                        folder()));
    EXPECT_EQ(destination, folder() + "Setup.bin");
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(DestinationName, WithoutOverwriteTheFirstFreeNumberedNameIsChosen) {
    existing("Setup.bin");
    std::string error;
    std::string destination;
    ASSERT_TRUE(DownloadQueueThread::getDestinationName(source("Setup.bin"), ".bin", error, destination,
                                                        false, folder()));
    EXPECT_EQ(destination, folder() + "Setup_1.bin");
    existing("Setup_1.bin");
    ASSERT_TRUE(DownloadQueueThread::getDestinationName(source("Setup.bin"), ".bin", error, destination,
                                                        false, folder()));
    EXPECT_EQ(destination, folder() + "Setup_2.bin");
    EXPECT_EQ(testsupport::ReadFile(fs::path(folder()) / "Setup.bin"), "old");
}

TEST_F(DestinationName, NameWithoutExtensionGetsPlainNumbers) {
    existing("Setup");
    std::string error;
    std::string destination;
    ASSERT_TRUE(
        DownloadQueueThread::getDestinationName(source("Setup"), "", error, destination, false, folder()));
    EXPECT_EQ(destination, folder() + "Setup_1");
}

TEST_F(DestinationName, SourceAlreadyInPlaceIsAnError) {
    const std::string file = source("Setup.bin");
    std::string error;
    std::string destination;
    EXPECT_FALSE(DownloadQueueThread::getDestinationName(file, ".bin", error, destination, true,
                                                         (dir_.path() / "src").string() + "/"));
    EXPECT_EQ(error, "Input/Output names are the same");
    EXPECT_TRUE(fs::exists(file));
}

TEST_F(DestinationName, SourceWithoutFileNameIsRefusedAndTheFolderKept) {
    fs::create_directories(folder());
    std::string error;
    std::string destination;
    EXPECT_FALSE(DownloadQueueThread::getDestinationName("", "", error, destination, true, folder()));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(folder()));
}

}  // namespace
}  // namespace pollwick
