// The single-instance hand-over between real processes: the shared block's layout, later starts that
// hand their arguments to this process, and first instances that died or hang.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QStringList>

#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/play/FFPlay.h"
#include "platform/Dispatcher.h"
#include "platform/qt/QtDispatcher.h"
#include "player/Configuration.h"
#include "player/FormMainSrc.h"
#include "player/Myoneinstance.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace {

using player::MyOneInstance;
using Block = std::array<std::byte, player::kSharedBlockSize>;

// A child process started without a shell; killed and reaped if the test leaves it running.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) : pid_(testsupport::StartProgram(argv)) {}
    ~Child() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

    // The exit code once the child ended (-1 for a signal), pumping this process's events meanwhile so
    // that it can answer the child; nullopt when it still runs after the bound.
    std::optional<int> WaitPumping(unsigned timeoutMs = 60000) {
        platform::WaitPumping(
            [this] {
                int status = 0;
                if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                    status_ = status;
                }
                return status_.has_value();
            },
            timeoutMs);
        if (!status_) {
            return std::nullopt;
        }
        return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }
    void Kill() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = status;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool WaitForFile(const std::filesystem::path& file) {
    for (int i = 0; i < 1500 && !std::filesystem::exists(file); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::filesystem::exists(file);
}

std::vector<std::string> ProbeArguments(const std::string& mode, const std::vector<std::string>& rest) {
    std::vector<std::string> argv = {STREVIO_ONE_INSTANCE_PROBE, mode};
    argv.insert(argv.end(), rest.begin(), rest.end());
    return argv;
}

class OneInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { platform::InstallQtDispatcher(); }
    void TearDown() override { platform::UninstallQtDispatcher(); }

    testsupport::IsolatedHome home_;
    testsupport::ScopedEnv lsan_{"LSAN_OPTIONS", std::string("suppressions=") + STREVIO_LSAN_SUPPRESSIONS};
};

TEST(SharedBlock, ArgumentsRoundTripWithTheirLimits) {
    const std::string euro = "\xE2\x82\xAC";  // three bytes
    struct Case {
        const char* what;
        QStringList written;
        QStringList read;
    };
    QStringList twelve;
    for (int i = 1; i <= 12; ++i) {
        twelve << QStringLiteral("arg%1").arg(i);
    }
    const QString long400(400, QLatin1Char('a'));
    // 298 ASCII bytes and then a three-byte character: it does not fit and is dropped whole.
    const QString split = QString(298, QLatin1Char('b')) + QString::fromStdString(euro) + QStringLiteral("z");
    const std::vector<Case> cases = {
        {"none", {}, {}},
        {"twelve keep the first ten", twelve, twelve.mid(0, 10)},
        {"400 bytes cut to 299", {long400}, {long400.left(299)}},
        {"a character on the cut is dropped", {split}, {QString(298, QLatin1Char('b'))}},
        {"non-ASCII and blanks",
         {QString::fromStdString("/tmp/f\xC3\xBCr mich " + euro + ".mkv")},
         {QString::fromStdString("/tmp/f\xC3\xBCr mich " + euro + ".mkv")}},
        {"empty argument", {QString(), QStringLiteral("x")}, {QString(), QStringLiteral("x")}},
    };
    for (const Case& c : cases) {
        Block block{};
        player::WriteSharedArguments(block, c.written);
        EXPECT_EQ(player::ReadSharedArguments(block), c.read) << c.what;
    }
}

TEST(SharedBlock, LayoutIsLittleEndianWithSlotsAtEight) {
    Block block{};
    player::WriteFirstWindow(block, 0x01020304u);
    player::WriteSharedArguments(block, {QStringLiteral("one"), QStringLiteral("two")});
    EXPECT_EQ(block[0], std::byte{0x04});
    EXPECT_EQ(block[3], std::byte{0x01});
    EXPECT_EQ(block[4], std::byte{2});
    EXPECT_EQ(block[5], std::byte{0});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&block[8])), "one");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&block[308])), "two");
    EXPECT_EQ(player::ReadFirstWindow(block), 0x01020304u);
}

TEST(SharedBlock, DamagedBlockIsReadWithinItsBounds) {
    struct Case {
        int32_t count;
        qsizetype expected;
    };
    for (const Case c : {Case{-1, 0}, Case{11, 10}, Case{1000000, 10}, Case{INT32_MIN, 0}}) {
        Block block;
        block.fill(std::byte{'q'});  // no NUL anywhere
        const auto count = static_cast<uint32_t>(c.count);
        for (int i = 0; i < 4; ++i) {
            block[4 + i] = static_cast<std::byte>((count >> (8 * i)) & 0xFF);
        }
        const QStringList read = player::ReadSharedArguments(block);
        ASSERT_EQ(read.size(), c.expected) << c.count;
        for (const QString& s : read) {
            EXPECT_EQ(s, QString(299, QLatin1Char('q')));
        }
    }
}

TEST_F(OneInstanceTest, LaterStartHandsOverTheFirstTenArgumentsAndEnds) {
    MyOneInstance first(QStringList{});
    ASSERT_TRUE(first.IsFirstInstance());
    EXPECT_FALSE(first.TerminateRequested());
    std::vector<QStringList> received;
    first.OnInstanceStarted = [&](const QStringList& list) { received.push_back(list); };

    std::vector<std::string> args;
    for (int i = 1; i <= 12; ++i) {
        args.push_back("/media/clip " + std::to_string(i) + ".mkv");
    }
    args[1] = std::string(400, 'x');
    args[2] = "/media/\xC3\xA9t\xC3\xA9.mp4";
    Child later(ProbeArguments("send", args));
    ASSERT_EQ(later.WaitPumping(), 0);
    ASSERT_EQ(received.size(), 1u);
    QStringList expected;
    for (int i = 0; i < 10; ++i) {
        expected << QString::fromStdString(args[i]);
    }
    expected[1] = QString(299, QLatin1Char('x'));
    EXPECT_EQ(received[0], expected);

    // The block is free again: the next later start hands over too.
    Child again(ProbeArguments("send", {"/media/next.mkv"}));
    ASSERT_EQ(again.WaitPumping(), 0);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1], QStringList{QStringLiteral("/media/next.mkv")});
}

TEST_F(OneInstanceTest, LaterStartWithoutArgumentsWakesTheFirstWithAnEmptyList) {
    MyOneInstance first(QStringList{});
    std::vector<QStringList> received;
    first.OnInstanceStarted = [&](const QStringList& list) { received.push_back(list); };
    Child later(ProbeArguments("send", {}));
    ASSERT_EQ(later.WaitPumping(), 0);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0].isEmpty());
}

TEST_F(OneInstanceTest, FirstInstanceKilledNeverBlocksTheNextStart) {
    const auto marker = home_.root() / "marker";
    Child first(ProbeArguments("hold", {marker.string()}));
    ASSERT_TRUE(WaitForFile(marker));
    ASSERT_EQ(testsupport::ReadFile(marker), "first");
    // Still there: this start would hand over.
    first.Kill();

    MyOneInstance next(QStringList{QStringLiteral("/media/a.mkv")});
    EXPECT_TRUE(next.IsFirstInstance());
    EXPECT_FALSE(next.TerminateRequested());
    // And it serves the start after it.
    std::vector<QStringList> received;
    next.OnInstanceStarted = [&](const QStringList& list) { received.push_back(list); };
    Child later(ProbeArguments("send", {"/media/b.mkv"}));
    ASSERT_EQ(later.WaitPumping(), 0);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], QStringList{QStringLiteral("/media/b.mkv")});
}

TEST_F(OneInstanceTest, FirstInstanceThatHangsIsReplacedAfterTheBoundedWait) {
    const auto marker = home_.root() / "marker";
    Child first(ProbeArguments("hold", {marker.string()}));
    ASSERT_TRUE(WaitForFile(marker));
    ASSERT_EQ(::kill(first.pid(), SIGSTOP), 0);

    // The later start waits out its bound for an answer and then carries on as a first instance.
    MyOneInstance later(QStringList{QStringLiteral("/media/a.mkv")});
    EXPECT_TRUE(later.IsFirstInstance());
    EXPECT_FALSE(later.TerminateRequested());
    first.Kill();

    // Later starts now talk to it.
    std::vector<QStringList> received;
    later.OnInstanceStarted = [&](const QStringList& list) { received.push_back(list); };
    Child next(ProbeArguments("send", {"/media/b.mkv"}));
    ASSERT_EQ(next.WaitPumping(), 0);
    ASSERT_EQ(received.size(), 1u);
}

TEST_F(OneInstanceTest, SecondProgramStartHandsItsFileToTheRunningWindowWhichPlaysIt) {
    testsupport::ScopedEnv audio{"SDL_AUDIODRIVER", "dummy"};
    testsupport::ScopedEnv video{"SDL_VIDEODRIVER", "dummy"};
    testsupport::TempDir programFolder;
    player::Configuration config(programFolder.path());
    player::TFormMain form(config, {});
    ASSERT_TRUE(form.one_instance->IsFirstInstance());
    ASSERT_FALSE(form.ShowMainForm().has_value());
    ASSERT_TRUE(platform::WaitPumping([&] { return form.initialised(); }, 60000));

    // Long enough to be still playing when the later start has ended: the hand-over is handled while this
    // process waits for it, and a short clip could already be over.
    const std::string clip = testsupport::MakeClip(testsupport::Clip::LongVideo).string();
    Child second({STREVIO_PROGRAM, clip});
    ASSERT_EQ(second.WaitPumping(), 0);
    ASSERT_TRUE(platform::WaitPumping([&] { return form.playing; }, 60000));
    EXPECT_EQ(form.current_video, clip);
    EXPECT_TRUE(form.cmdline_args.isEmpty());
    form.StopPlayback();
}

}  // namespace
