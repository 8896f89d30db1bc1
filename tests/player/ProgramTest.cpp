// The player program run as a user or an installer runs it: its exit codes, and what it leaves in the
// registry store and the personal data file.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Registry.h"
#include "tests/player/SetterFolder.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr const char* kPreferences = "Software\\Korvanta\\Strevio\\Preferences";

// The player started without a shell, ended within bounded waits.
class Program {
public:
    explicit Program(const std::vector<std::string>& arguments, const std::string& program = STREVIO_PROGRAM,
                     const std::string& errorFile = "") {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_ = testsupport::StartProgram(argv, STDERR_FILENO, errorFile);
    }
    ~Program() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The exit status once the program ended, or nullopt when it still runs after timeout.
    std::optional<int> Wait(std::chrono::seconds timeout = std::chrono::seconds(60)) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!status_ && std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        return status_;
    }

    // True once one of the program's threads carries the name.
    bool HasThread(const std::string& name) const {
        std::error_code ec;
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
            std::ifstream comm(task.path() / "comm");
            std::string text;
            std::getline(comm, text);
            if (text == name) {
                return true;
            }
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool ExitedWith(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// A window listed a moment ago may be gone by the time it is asked about: that is no fault, whereas
// Xlib's default handler would end the test process and leave the program running.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// True while a window of the X server's screen whose name starts with `prefix` is shown. The test's
// X server runs no window manager, so the program's windows are children of the root window.
bool WindowShown(const std::string& prefix) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    XSetErrorHandler(IgnoreXError);
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    bool found = false;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) != 0) {
        for (unsigned i = 0; i < count && !found; ++i) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display, children[i], &attributes) == 0 ||
                attributes.map_state != IsViewable) {
                continue;
            }
            Atom type = None;
            int format = 0;
            unsigned long items = 0;
            unsigned long after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display, children[i], netName, 0, 256, False, utf8, &type, &format, &items,
                                   &after, &data) == Success &&
                data != nullptr) {
                found = std::string(reinterpret_cast<const char*>(data), items).rfind(prefix, 0) == 0;
                XFree(data);
            }
        }
        XFree(children);
    }
    XCloseDisplay(display);
    return found;
}

class ProgramTest : public ::testing::Test {
protected:
    void Store(const std::string& key, const std::string& name, int32_t value) {
        platform::TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(key, true));
        reg.WriteInteger(name, value);
    }
    std::optional<int32_t> Stored(const std::string& name) {
        platform::TRegistry reg;
        if (!reg.OpenKeyReadOnly(kPreferences) || !reg.ValueExists(name)) {
            return std::nullopt;
        }
        return reg.ReadInteger(name);
    }
    fs::path DataFile() const { return home_.dataHome() / "Strevio" / "Strevio.dat"; }

    // SIGTERM: the program exits with 0, having saved the stored Volume of 60 and the personal data.
    void EndWithSigtermAndExpectSaved(Program& program, const std::string& personalData) {
        ::kill(program.pid(), SIGTERM);
        EXPECT_TRUE(ExitedWith(program.Wait(), 0));
        EXPECT_EQ(Stored("Volume"), 60);
        const std::string data = ReadFile(DataFile());
        EXPECT_NE(data.find(personalData), std::string::npos) << data;
    }

    // On the X server when there is one, as a user runs it: the video panel is embedded there.
    static std::string QtPlatform() {
        const char* display = std::getenv("DISPLAY");
        return display != nullptr && *display != '\0' ? "xcb" : "offscreen";
    }

    testsupport::IsolatedHome home_;
    testsupport::ScopedEnv platform_{"QT_QPA_PLATFORM", QtPlatform()};
    testsupport::ScopedEnv leaks_{"LSAN_OPTIONS", "suppressions=" STREVIO_LSAN_SUPPRESSIONS};
    testsupport::ScopedEnv audio_{"SDL_AUDIODRIVER", "dummy"};
    testsupport::ScopedEnv video_{"SDL_VIDEODRIVER", "dummy"};
};

TEST_F(ProgramTest, SigtermWhilePlayingSavesAndExitsCleanly) {
    Store(kPreferences, "Volume", 60);
    Store(kPreferences, "Mute", 1);
    WriteFile(DataFile(), "show_donate=0\r\ncode_x=4\r\nshow_info_00=0\r\n");
    const std::string clip = testsupport::MakeClip(testsupport::Clip::VideoAudio).string();

    Program program({clip});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitUntil([&] { return program.HasThread("play"); })) << "the file never started playing";
    ::kill(program.pid(), SIGTERM);
    EXPECT_TRUE(ExitedWith(program.Wait(), 0));

    EXPECT_EQ(Stored("Volume"), 60);
    EXPECT_EQ(Stored("Mute"), 1);
    const std::string data = ReadFile(DataFile());
    EXPECT_EQ(data.rfind(";\r\n; Strevio configuration file\r\n;\r\nshow_donate=0\r\ncode_x=", 0), 0u)
        << data;
    EXPECT_NE(data.find("show_info_00=0\r\nshow_info_01=1\r\n"), std::string::npos) << data;
    // The counter kept its value, plus the play when it was reported before the signal.
    EXPECT_TRUE(data.find("code_x=4\r\n") != std::string::npos ||
                data.find("code_x=5\r\n") != std::string::npos)
        << data;
}

TEST_F(ProgramTest, SigtermWhileADialogIsOpenSavesAndExits) {
    if (QtPlatform() != "xcb") {
        GTEST_SKIP() << "needs an X server";
    }
    Store(kPreferences, "Volume", 60);
    // The play that this start counts is the fourth: at the end of the clip the donation dialog asks.
    WriteFile(DataFile(), "show_donate=1\r\ncode_x=3\r\nshow_info_00=0\r\n");
    const std::string clip = testsupport::MakeClip(testsupport::Clip::VideoAudio).string();

    Program program({clip});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitUntil([] { return WindowShown("Please read this"); })) << "the donation dialog never opened";
    EndWithSigtermAndExpectSaved(program, "show_donate=1\r\ncode_x=4\r\n");
}

TEST_F(ProgramTest, SigtermWhileAPlayIsDueForTheDonationQuestionAsksNothingAndExits) {
    Store(kPreferences, "Volume", 60);
    WriteFile(DataFile(), "show_donate=1\r\ncode_x=3\r\nshow_info_00=0\r\n");
    // Long enough to be still playing when the signal comes.
    const std::string clip = testsupport::MakeClip(testsupport::Clip::LongVideo).string();

    Program program({clip});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitUntil([&] { return program.HasThread("play"); })) << "the file never started playing";
    // The stop that the close makes must not open the dialog and wait for a user.
    EndWithSigtermAndExpectSaved(program, "show_donate=1\r\ncode_x=4\r\n");
}

TEST_F(ProgramTest, CodecLibrariesThatFailToLoadLeaveTheWindowRunning) {
    // A copy of the program with a broken library in its codec folder.
    testsupport::TempDir install;
    const fs::path program = install / "strevio";
    fs::copy_file(STREVIO_PROGRAM, program);
    WriteFile(install / "3rdparty" / "ffmpeg" / "libavutil.so.57", "not a library");
    Store(kPreferences, "Volume", 77);
    const fs::path errors = install / "stderr.txt";

    Program run({testsupport::MakeClip(testsupport::Clip::AudioOnly).string()}, program.string(),
                errors.string());
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(WaitUntil([&] {
        return ReadFile(errors).find("cannot load the codec libraries") != std::string::npos;
    })) << ReadFile(errors);
    EXPECT_NE(ReadFile(errors).find("libavutil.so.57"), std::string::npos);
    EXPECT_FALSE(run.HasThread("play"));
    ::kill(run.pid(), SIGTERM);
    EXPECT_TRUE(ExitedWith(run.Wait(), 0));
    EXPECT_EQ(Stored("Volume"), 77);
}

// The player copied into a folder that holds the recording association setter: the program looks for
// the setter beside itself.
class SetupModeTest : public ProgramTest {
protected:
    SetupModeTest() {
        std::error_code ec;
        fs::create_hard_link(STREVIO_PROGRAM, program_, ec);
        if (ec) {
            fs::copy_file(STREVIO_PROGRAM, program_);
        }
    }
    std::vector<std::string> AssociatedList() {
        platform::TRegistry reg;
        return reg.OpenKeyReadOnly(std::string(kPreferences) + "\\AssociatedFileTypes") ? reg.GetValueNames()
                                                                                       : std::vector<std::string>{};
    }

    playertest::SetterFolder setter_;
    std::string program_ = (setter_.path() / "strevio").string();
};

TEST_F(SetupModeTest, InstallStoresThePreferencesRunsTheSetterAndEnds) {
    Store(kPreferences, "Volume", 200);
    Program program({"-install"}, program_);
    ASSERT_TRUE(program.started());
    EXPECT_TRUE(ExitedWith(program.Wait(), 0));
    EXPECT_EQ(Stored("Volume"), 200);
    EXPECT_EQ(Stored("FirstRun"), 0);
    EXPECT_EQ(Stored("UseDirectDraw"), 1);
    const auto runs = setter_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0][0], "args=");
    // The first-run list of every known type reached the store before the setter ran.
    const std::string wishes = runs[0][2];
    EXPECT_EQ(std::count(wishes.begin(), wishes.end(), ','), 86) << wishes;
    EXPECT_EQ(AssociatedList().size(), 87u);
}

TEST_F(SetupModeTest, InstallFailsWhenTheSetterTakesNotEveryWish) {
    setter_.SetAction("drop:.MP4");
    Program program({"-install"}, program_);
    ASSERT_TRUE(program.started());
    const std::optional<int> status = program.Wait();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
    EXPECT_EQ(AssociatedList().size(), 86u);
}

TEST_F(ProgramTest, InstallWithoutTheSetterFailsButKeepsThePreferences) {
    Store(kPreferences, "Volume", 200);
    // The build puts the setter beside the program: a copy in a folder of its own has none.
    testsupport::TempDir alone;
    fs::copy_file(STREVIO_PROGRAM, alone / "strevio");
    Program program({"-install"}, (alone / "strevio").string());
    ASSERT_TRUE(program.started());
    const std::optional<int> status = program.Wait();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
    EXPECT_EQ(Stored("Volume"), 200);
    EXPECT_EQ(Stored("FirstRun"), 0);
}

TEST_F(SetupModeTest, UninstallRunsTheSetterWithNoWishesAndRemovesTheProductsKeys) {
    Store(kPreferences, "Volume", 30);
    Store(kPreferences, "FirstRun", 0);
    Store(std::string(kPreferences) + "\\AssociatedFileTypes", ".MP4", 1);
    Store("Software\\Korvanta\\Other", "Kept", 1);
    Program program({"-uninstall"}, program_);
    ASSERT_TRUE(program.started());
    EXPECT_TRUE(ExitedWith(program.Wait(), 0));
    const auto runs = setter_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0][2], "wishes=");
    EXPECT_EQ(runs[0][3], "checkforupdates=00000000");
    platform::TRegistry reg;
    EXPECT_FALSE(reg.KeyExists("Software\\Korvanta\\Strevio"));
    EXPECT_TRUE(reg.KeyExists("Software\\Korvanta\\Other"));
}

TEST_F(SetupModeTest, InstallWithAFileStartsThePlayerNormally) {
    const std::string file = (home_.root() / "clip.mp4").string();
    WriteFile(file, "");
    Program program({"-install", file}, program_);
    ASSERT_TRUE(program.started());
    // The window's start-up has built the first-run list: the window is up.
    ASSERT_TRUE(WaitUntil([this] { return !AssociatedList().empty(); }));
    ::kill(program.pid(), SIGTERM);
    EXPECT_TRUE(ExitedWith(program.Wait(), 0));
    EXPECT_TRUE(setter_.Runs().empty());
}

TEST_F(ProgramTest, UninstallThatCannotReachTheRegistryFails) {
    // The registry's folder is a plain file, so no hive can be read or written.
    WriteFile(home_.configHome() / "registry", "not a folder");
    Program program({"-uninstall"});
    ASSERT_TRUE(program.started());
    const std::optional<int> status = program.Wait();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
}

}  // namespace
