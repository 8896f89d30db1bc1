#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "engine/load/AVLibLoader.h"
#include "engine/load/FFAPI.h"
#include "engine/load/libsdl.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TestEnv.h"

namespace fs = std::filesystem;

TEST(SDLLoader, LoadsBindsAndReportsTheVersion) {
    TSDLLoader loader;
    ASSERT_TRUE(loader.Load("", kSDLLibraryFile)) << loader.LastErrMsg();
    EXPECT_TRUE(loader.Loaded());
    EXPECT_EQ(loader.SDLVersion().major, 1);
    EXPECT_EQ(loader.SDLVersion().minor, 2);
    EXPECT_NE(loader.SDL_CondWaitTimeout, nullptr);
    EXPECT_NE(loader.SDL_LockMutex, nullptr);
    SDL_mutex* mutex = loader.SDL_CreateMutex();
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(loader.SDL_LockMutex(mutex), 0);
    EXPECT_EQ(loader.SDL_UnlockMutex(mutex), 0);
    loader.SDL_DestroyMutex(mutex);
    loader.Unload();
    EXPECT_FALSE(loader.Loaded());
    EXPECT_EQ(loader.SDL_Init, nullptr);
    EXPECT_EQ(loader.SDLVersion().major, 0);
}

TEST(SDLLoader, OneFileIsHeldByOneLoaderOnly) {
    testsupport::TempDir dir;
    fs::create_symlink(enginetest::SystemLibraryPath(kSDLLibraryFile), dir / kSDLLibraryFile);
    const std::string full = (dir / kSDLLibraryFile).string();
    TSDLLoader first;
    TSDLLoader second;
    ASSERT_TRUE(first.Load(dir.path().string(), kSDLLibraryFile)) << first.LastErrMsg();
    EXPECT_EQ(first.LibFile(), full);
    EXPECT_FALSE(second.Load(dir.path().string() + "/", kSDLLibraryFile));
    EXPECT_EQ(second.LastErrMsg(), full + " alreay loaded in another instance.");
    EXPECT_FALSE(second.Loaded());
    // The same loader asking again for the same file succeeds at once.
    EXPECT_TRUE(first.Load(dir.path().string(), kSDLLibraryFile));
    // Once the first lets go, the second may take it.
    first.Unload();
    EXPECT_TRUE(second.Load(dir.path().string(), kSDLLibraryFile)) << second.LastErrMsg();
}

TEST(SDLLoader, MissingFileGivesTheSystemText) {
    TSDLLoader loader;
    EXPECT_FALSE(loader.Load("/nonexistent-folder", "libSDL-0.9.so.0"));
    EXPECT_EQ(loader.LastErrMsg().rfind("Load library /nonexistent-folder/libSDL-0.9.so.0 error: ", 0), 0u)
        << loader.LastErrMsg();
    EXPECT_FALSE(loader.Loaded());
}

TEST(SDLLoader, LibraryWithoutSDLEntryPointsIsRefused) {
    TSDLLoader loader;
    EXPECT_FALSE(loader.Load("", STREVIO_FAKE_SWSCALE));
    EXPECT_EQ(loader.LastErrMsg().rfind("Load function SDL_Linked_Version@", 0), 0u) << loader.LastErrMsg();
    EXPECT_FALSE(loader.Loaded());
    EXPECT_EQ(loader.LibFile(), "");
}

TEST(SDLLoader, EnvironmentGoesThroughTheLoader) {
    TSDLLoader loader;
    ASSERT_TRUE(loader.Load("", kSDLLibraryFile)) << loader.LastErrMsg();
    testsupport::ScopedEnv restore("STREVIO_SDL_TEST_VAR", std::nullopt);
    EXPECT_EQ(loader.SDL_putenv("STREVIO_SDL_TEST_VAR=dummy"), 0);
    ASSERT_NE(loader.SDL_getenv("STREVIO_SDL_TEST_VAR"), nullptr);
    EXPECT_STREQ(loader.SDL_getenv("STREVIO_SDL_TEST_VAR"), "dummy");
    EXPECT_STREQ(std::getenv("STREVIO_SDL_TEST_VAR"), "dummy");
    EXPECT_EQ(loader.SDL_putenv("STREVIO_SDL_TEST_VAR"), 0);
    EXPECT_EQ(loader.SDL_getenv("STREVIO_SDL_TEST_VAR"), nullptr);
    EXPECT_EQ(loader.SDL_putenv("=x"), -1);
}

TEST(SDLLoader, AudioDriverStartsThroughTheBindings) {
    testsupport::ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    TSDLLoader loader;
    ASSERT_TRUE(loader.Load("", kSDLLibraryFile)) << loader.LastErrMsg();
    ASSERT_EQ(loader.SDL_Init(SDL_INIT_AUDIO | SDL_INIT_NOPARACHUTE), 0) << loader.SDL_GetError();
    char name[32] = {};
    ASSERT_NE(loader.SDL_AudioDriverName(name, sizeof name), nullptr);
    EXPECT_STREQ(name, "dummy");
    loader.SDL_Quit();
}

TEST(AVLibLoader, LoadAVLibLoadsTheSetSDLAndSoundTouch) {
    TFFOptions options;
    TAVLibLoader player(options);
    EXPECT_FALSE(player.AVLibLoaded());
    ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
    EXPECT_TRUE(player.AVLibLoaded());
    EXPECT_TRUE(player.SDLLibLoaded());
    EXPECT_TRUE(FFLoader().Loaded(libSoundTouch));
    EXPECT_NE(player.SDL().SDL_Init, nullptr);
    EXPECT_NE(player.SDL().SDL_VideoDriverName, nullptr);
    EXPECT_NE(options.sws_opts(), nullptr);  // the dictionaries were made again

    // A second player cannot take the same SDL file; its copy stays empty and the text says why.
    TFFOptions otherOptions;
    TAVLibLoader other(otherOptions);
    EXPECT_FALSE(other.LoadAVLib(""));
    EXPECT_EQ(other.LastErrMsg(), std::string(kSDLLibraryFile) + " alreay loaded in another instance.");
    EXPECT_EQ(other.SDL().SDL_Init, nullptr);
    EXPECT_FALSE(other.AVLibLoaded());

    player.UnloadAVLib();
    EXPECT_FALSE(player.AVLibLoaded());
    EXPECT_FALSE(FFLoader().Loaded(libSoundTouch));
    EXPECT_FALSE(player.SDLLibLoaded());
}

TEST(AVLibLoader, WithoutAutoLoadSDLOnlyTheCodecSetCounts) {
    TFFOptions options;
    TAVLibLoader player(options);
    ASSERT_TRUE(player.LoadAVLib("", false)) << player.LastErrMsg();
    EXPECT_FALSE(player.SDLLibLoaded());
    EXPECT_TRUE(player.AVLibLoaded());
    player.UnloadAVLib();
}

TEST(AVLibLoader, FailedSetLoadLeavesTheLoaderText) {
    TFFOptions options;
    TAVLibLoader player(options);
    FFLoader().SetLibraryNames(avFilter, "libavfilter-absent.so.8");
    EXPECT_FALSE(player.LoadAVLib("/nonexistent-folder"));
    EXPECT_EQ(
        player.LastErrMsg().rfind("Load library /nonexistent-folder/libavfilter-absent.so.8 error: ", 0), 0u)
        << player.LastErrMsg();
    EXPECT_FALSE(player.SDLLibLoaded());  // SDL is not tried
    EXPECT_FALSE(FFLoader().Loaded(avCodec));
    FFLoader().SetLibraryNames(avFilter, "");
    FFLoader().SetLibraryPath("");
}
