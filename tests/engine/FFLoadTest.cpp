#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/FFLog.h"
#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"
#include "engine/load/STAPI.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TestEnv.h"

namespace fs = std::filesystem;

namespace {

const char* const kPlayerFiles[] = {"libavcodec.so.59",  "libavdevice.so.59", "libavfilter.so.8",
                                    "libavformat.so.59", "libavutil.so.57",   "libswresample.so.4",
                                    "libswscale.so.6"};

// Every library of the set is unloaded and its entry points cleared.
void ExpectNoneLoaded() {
    for (int i = 0; i < kLibraryCount; ++i) {
        EXPECT_FALSE(FFLoader().Loaded(static_cast<TLibrary>(i)))
            << LibraryItem(static_cast<TLibrary>(i)).Name;
    }
    EXPECT_EQ(ff::avcodec_version, nullptr);
    EXPECT_EQ(ff::sws_getContext, nullptr);
}

// A folder holding links to the system's FFmpeg libraries, all but the one named.
void LinkLibraries(const fs::path& AFolder, const std::string& AExcept) {
    for (const char* file : kPlayerFiles) {
        if (file != AExcept) {
            const fs::path target = enginetest::SystemLibraryPath(file);
            ASSERT_FALSE(target.empty()) << file;
            fs::create_symlink(target, AFolder / file);
        }
    }
}

}  // namespace

TEST(FFLoad, DefaultFileNamesFollowTheTable) {
    EXPECT_EQ(FFLoader().LibraryNames(avCodec), "libavcodec.so.59");
    EXPECT_EQ(FFLoader().LibraryNames(swScale), "libswscale.so.6");
    EXPECT_EQ(FFLoader().LibraryNames(myUtil), "libc.so.6");
    EXPECT_EQ(FFLoader().LibraryNames(libSoundTouch), "libSoundTouchDll.so.1");
    EXPECT_STREQ(LibraryItem(myUtil).Name, "msvcrt");
    EXPECT_TRUE(LibraryItem(myUtil).SysLib);
    EXPECT_EQ(LibraryItem(avFilter).Version, 8);
    FFLoader().SetLibraryNames(avUtil, "/somewhere/else.so");
    EXPECT_EQ(FFLoader().LibraryNames(avUtil), "/somewhere/else.so");
    FFLoader().SetLibraryNames(avUtil, "");
    EXPECT_EQ(FFLoader().LibraryNames(avUtil), "libavutil.so.57");
}

TEST(FFLoad, LibrarySetsHoldTheirMembers) {
    EXPECT_EQ(CAllLibraries.Bits(), 0x1FF);
    EXPECT_EQ(CPlayerLibraries.Bits(), 0xFF);
    EXPECT_EQ(CEncoderLibraries, CPlayerLibraries);
    EXPECT_FALSE(CDecoderLibraries.Contains(avDevice));
    EXPECT_FALSE(CDecoderLibraries.Contains(avFilter));
    EXPECT_TRUE(CDecoderLibraries.Contains(myUtil));
}

TEST(FFLoad, PlayerLibrariesAndSoundTouchLoadFromTheSystemAndReload) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(FFLoader().Load(CPlayerLibraries)) << FFLoader().LastErrMsg();
        EXPECT_TRUE(FFLoader().Loaded(CPlayerLibraries));
        EXPECT_NO_THROW(FFLoader().CheckLibAV(CPlayerLibraries));
        EXPECT_EQ(static_cast<int>(ff::avcodec_version() >> 16), LIBAVCODEC_VERSION_MAJOR);
        EXPECT_EQ(static_cast<int>(ff::swscale_version() >> 16), LIBSWSCALE_VERSION_MAJOR);
        EXPECT_EQ(crt::strlen("four"), 4u);
        // FFmpeg 5.1 has no lock manager nor protocol registration: those bindings stay empty.
        EXPECT_EQ(ff::av_lockmgr_register, nullptr);
        EXPECT_EQ(ff::ffurl_register_protocol, nullptr);

        ASSERT_TRUE(FFLoader().Load(libSoundTouch)) << FFLoader().LastErrMsg();
        st::HANDLE h = st::soundtouch_createInstance();
        ASSERT_NE(h, nullptr);
        st::soundtouch_setChannels(h, 2);
        st::soundtouch_setSampleRate(h, 44100);
        st::soundtouch_destroyInstance(h);

        FFLoader().Unload(CAllLibraries);
        ExpectNoneLoaded();
        EXPECT_EQ(st::soundtouch_createInstance, nullptr);
        EXPECT_THROW(FFLoader().CheckLibAV(CPlayerLibraries), std::runtime_error);
    }
}

TEST(FFLoad, CheckLibAVNamesTheFirstMissingLibrary) {
    ASSERT_TRUE(FFLoader().Load(avUtil)) << FFLoader().LastErrMsg();
    try {
        FFLoader().CheckLibAV(TLibraries{avUtil, swScale, avFormat});
        ADD_FAILURE() << "must raise";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Library avformat not loaded.");
    }
    FFLoader().Unload(avUtil);
}

TEST(FFLoad, FolderWithABrokenSwscaleLoadsNoneOfTheSet) {
    testsupport::TempDir dir;
    LinkLibraries(dir.path(), "libswscale.so.6");
    testsupport::WriteFile(dir / "libswscale.so.6", "not a library");
    FFLoader().SetLibraryPath(dir.path().string());
    EXPECT_FALSE(FFLoader().Load(CPlayerLibraries));
    const std::string expected = "Load library " + (dir / "libswscale.so.6").string() + " error: ";
    EXPECT_EQ(FFLoader().LastErrMsg().rfind(expected, 0), 0u) << FFLoader().LastErrMsg();
    EXPECT_GT(FFLoader().LastErrMsg().size(), expected.size());
    ExpectNoneLoaded();
    FFLoader().SetLibraryPath("");
}

TEST(FFLoad, FolderWithoutAFileFallsBackToTheSystemSearch) {
    testsupport::TempDir dir;
    LinkLibraries(dir.path(), "libswscale.so.6");
    FFLoader().SetLibraryPath(dir.path().string());
    EXPECT_TRUE(FFLoader().Load(CPlayerLibraries)) << FFLoader().LastErrMsg();
    FFLoader().Unload(CPlayerLibraries);

    // A file the system does not know either fails with the folder and file in the text.
    FFLoader().SetLibraryNames(swScale, "libswscale-absent.so.6");
    EXPECT_FALSE(FFLoader().Load(CPlayerLibraries));
    EXPECT_EQ(FFLoader().LastErrMsg().rfind(
                  "Load library " + (dir / "libswscale-absent.so.6").string() + " error: ", 0),
              0u)
        << FFLoader().LastErrMsg();
    ExpectNoneLoaded();
    FFLoader().SetLibraryNames(swScale, "");
    FFLoader().SetLibraryPath("");
}

// Real copies of the seven libraries in a codec folder: each one's codec dependencies are the folder's
// copies, and no system copy is mapped beside them. A fresh process, so that nothing loaded before
// (by this test program) is found instead.
TEST(FFLoad, CopiesInTheCodecFolderBindToEachOtherAndNotToTheSystem) {
    testsupport::TempDir dir;
    const fs::path folder = dir / "3rdparty" / "ffmpeg";
    fs::create_directories(folder);
    for (const char* file : kPlayerFiles) {
        const fs::path source = enginetest::SystemLibraryPath(file);
        ASSERT_FALSE(source.empty()) << file;
        fs::copy_file(source, folder / file);
        ASSERT_FALSE(fs::is_symlink(folder / file));
    }
    const std::string command = std::string("'") + STREVIO_LOAD_PROBE + "' '" + folder.string() + "'";
    FILE* probe = popen(command.c_str(), "r");
    ASSERT_NE(probe, nullptr);
    std::vector<std::string> mapped;
    char line[4096];
    while (std::fgets(line, sizeof line, probe)) {
        mapped.emplace_back(line, std::strcspn(line, "\n"));
    }
    ASSERT_EQ(pclose(probe), 0) << "the probe could not load the folder's libraries";
    for (const char* file : kPlayerFiles) {
        const std::string stem =
            std::string("/") + std::string(file).substr(0, std::string(file).find('.')) + ".";
        std::vector<std::string> copies;
        for (const std::string& path : mapped) {
            if (path.find(stem) != std::string::npos) {
                copies.push_back(path);
            }
        }
        ASSERT_EQ(copies.size(), 1u) << file << " mapped as " << ::testing::PrintToString(copies);
        EXPECT_EQ(copies[0], (folder / file).string());
    }
}

TEST(FFLoad, LibraryOfAnotherMajorVersionIsRefused) {
    testsupport::TempDir dir;
    fs::copy_file(STREVIO_FAKE_AVUTIL, dir / "libavutil.so.57");
    // A replacement name with a folder part loads from that folder, whatever the library folder is.
    FFLoader().SetLibraryPath("/nonexistent-folder");
    FFLoader().SetLibraryNames(avUtil, (dir / "libavutil.so.57").string());
    EXPECT_FALSE(FFLoader().Load(avUtil));
    EXPECT_EQ(FFLoader().LastErrMsg(), "Library " + (dir / "libavutil.so.57").string() +
                                           " has major version 56, but the engine was built for version 57.");
    EXPECT_FALSE(FFLoader().Loaded(avUtil));
    EXPECT_EQ(ff::avutil_version, nullptr);
    FFLoader().SetLibraryNames(avUtil, "");
    FFLoader().SetLibraryPath("");
}

TEST(FFLoad, MissingEntryPointLeavesTheLibraryUnloaded) {
    FFLoader().SetLibraryNames(swScale, STREVIO_FAKE_SWSCALE);
    EXPECT_FALSE(FFLoader().Load(CPlayerLibraries));
    EXPECT_EQ(FFLoader().LastErrMsg().rfind(
                  std::string("Load function sws_get_class@") + STREVIO_FAKE_SWSCALE + " error: ", 0),
              0u)
        << FFLoader().LastErrMsg();
    ExpectNoneLoaded();
    FFLoader().SetLibraryNames(swScale, "");
}

TEST(FFLoad, SettingANameUnloadsThatLibrary) {
    enginetest::LoadPlayerLibraries();
    FFLoader().SetLibraryNames(swScale, "libswscale.so.6");
    EXPECT_FALSE(FFLoader().Loaded(swScale));
    EXPECT_TRUE(FFLoader().Loaded(avCodec));
    EXPECT_TRUE(FFLoader().Load(swScale));
    FFLoader().Unload(CPlayerLibraries);
}

TEST(FFLoad, AvutilLoadInstallsTheLogCallbackWhenAsked) {
    std::vector<std::string> lines;
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([&](TObject*, int, TLogLevel, const std::string& AMsg) { lines.push_back(AMsg); });
    FFLoader().SetInstallLogger(false);
    ASSERT_TRUE(FFLoader().Load(avUtil));
    ff::av_log(nullptr, AV_LOG_ERROR, "not ours\n");
    EXPECT_TRUE(lines.empty());
    FFLoader().Unload(avUtil);
    FFLoader().SetInstallLogger(true);
    ASSERT_TRUE(FFLoader().Load(avUtil));
    ff::av_log(nullptr, AV_LOG_ERROR, "ours\n");
    EXPECT_EQ(lines, std::vector<std::string>{"ours"});
    FFLoader().Unload(avUtil);
    FFLogger().SetOnLog(nullptr);
}

TEST(FFLoad, LockManagerCallbackCreatesObtainsReleasesAndDestroys) {
    std::vector<std::string> lines;
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetLogLevel(llDebug);
    FFLogger().SetOnLog([&](TObject*, int, TLogLevel, const std::string& AMsg) { lines.push_back(AMsg); });
    void* slot = nullptr;
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockObtain), -1);  // no mutex yet
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockCreate), 0);
    EXPECT_NE(slot, nullptr);
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockCreate), -1);  // already there
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockObtain), 0);
    // Another thread cannot release what this one holds.
    int otherResult = 0;
    std::thread other([&] { otherResult = ffmpeg_lock_manager(&slot, lockRelease); });
    other.join();
    EXPECT_EQ(otherResult, -1);
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockRelease), 0);
    EXPECT_EQ(ffmpeg_lock_manager(&slot, 7), -1);
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockDestroy), 0);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockDestroy), -1);
    EXPECT_EQ(slot, nullptr);
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetLogLevel(llInfo);

    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "[lock manager] error, mutex not available.");
    EXPECT_NE(lines[1].find("[lock manager] mutex ["), std::string::npos);
    EXPECT_NE(lines[1].find("] created."), std::string::npos);
    EXPECT_NE(lines[2].find("] already exist."), std::string::npos);
    EXPECT_NE(lines[3].find("] obtained."), std::string::npos);
    EXPECT_NE(lines[4].find("could not release mutex"), std::string::npos);
    EXPECT_NE(lines[5].find("] release."), std::string::npos);
    EXPECT_EQ(lines[6], "[lock manager] error, invalid mutex operation 7.");
    EXPECT_NE(lines[7].find("] destroyed."), std::string::npos);
}

TEST(FFLoad, LockManagerAnswersZeroWhileFinalising) {
    SetLoaderFinalising(true);
    void* slot = nullptr;
    EXPECT_EQ(ffmpeg_lock_manager(&slot, lockObtain), 0);
    EXPECT_EQ(ffmpeg_lock_manager(&slot, 9), 0);
    EXPECT_EQ(slot, nullptr);
    SetLoaderFinalising(false);
}

TEST(FFLoad, LockManagerRegistrationIsNotAvailableInThisFFmpeg) {
    enginetest::LoadPlayerLibraries();
    EXPECT_FALSE(RegisterLockManager(true));
    FFLoader().Unload(CPlayerLibraries);
}
