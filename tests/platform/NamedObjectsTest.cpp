#include "platform/NamedObjects.h"

#include "tests/platform/ForkedChild.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::NamedFileMapping;
using platform::NamedMutex;
using platform::NamedSemaphore;
using testsupport::ChildChannel;
using testsupport::ForkedChild;

// One kind of named object, made through a common signature so that lifetime rules are checked for all.
struct Kind {
    const char* label;
    // Creates or opens the object; the holder keeps it alive. Sets existed.
    std::function<std::shared_ptr<void>(const std::string& name, bool& existed)> create;
};

void PrintTo(const Kind& kind, std::ostream* out) {
    *out << kind.label;
}

template <typename T>
std::shared_ptr<void> Keep(std::optional<T> object, bool& existed) {
    if (!object) {
        return nullptr;
    }
    existed = object->AlreadyExisted();
    return std::make_shared<T>(std::move(*object));
}

const Kind kKinds[] = {
    {"mapping",
     [](const std::string& name, bool& existed) {
         std::error_code error;
         return Keep(NamedFileMapping::Create(name, 3008, error), existed);
     }},
    {"semaphore",
     [](const std::string& name, bool& existed) {
         std::error_code error;
         return Keep(NamedSemaphore::Create(name, 0, 1, error), existed);
     }},
    {"mutex",
     [](const std::string& name, bool& existed) {
         std::error_code error;
         return Keep(NamedMutex::Create(name, error), existed);
     }},
};

class NamedObjectKinds : public testing::TestWithParam<Kind> {
protected:
    testsupport::IsolatedHome home_;
};

INSTANTIATE_TEST_SUITE_P(All, NamedObjectKinds, testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_P(NamedObjectKinds, ASecondCreateOpensTheLiveObject) {
    bool existed = true;
    auto first = GetParam().create("Strevio2012-SHARED", existed);
    ASSERT_TRUE(first);
    EXPECT_FALSE(existed);
    auto second = GetParam().create("Strevio2012-SHARED", existed);
    ASSERT_TRUE(second);
    EXPECT_TRUE(existed);
}

TEST_P(NamedObjectKinds, TheObjectVanishesWithItsLastHolder) {
    bool existed = false;
    auto first = GetParam().create("Name", existed);
    auto second = GetParam().create("Name", existed);
    first.reset();
    auto third = GetParam().create("Name", existed);
    EXPECT_TRUE(existed) << "one holder is still there";
    second.reset();
    third.reset();
    auto fresh = GetParam().create("Name", existed);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(existed);
}

TEST_P(NamedObjectKinds, AHolderKilledWithSigkillLeavesNothingBehind) {
    const Kind kind = GetParam();
    ForkedChild victim([kind](const ChildChannel& channel) {
        bool existed = true;
        auto object = kind.create("Crashed", existed);
        channel.Send(object && !existed ? 1 : 0);
        channel.Receive(60000);  // held until killed
        return 0;
    });
    ASSERT_EQ(victim.Channel().Receive(), 1u);
    bool existed = false;
    auto whileHeld = GetParam().create("Crashed", existed);
    EXPECT_TRUE(existed);
    whileHeld.reset();

    victim.Kill();
    auto next = GetParam().create("Crashed", existed);
    ASSERT_TRUE(next);
    EXPECT_FALSE(existed);
}

TEST_P(NamedObjectKinds, ProcessesCreatingOneNameAtOnceAgreeOnWhoMadeIt) {
    constexpr int kChildren = 8;
    constexpr int kRounds = 10;
    const Kind kind = GetParam();
    for (int round = 0; round < kRounds; ++round) {
        const std::string name = "Race" + std::to_string(round);
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        std::vector<std::unique_ptr<ForkedChild>> children;
        for (int i = 0; i < kChildren; ++i) {
            children.push_back(std::make_unique<ForkedChild>([&, kind](const ChildChannel& channel) {
                close(start[1]);
                char go = 0;
                [[maybe_unused]] ssize_t got = read(start[0], &go, 1);  // end of file: everybody starts
                bool existed = true;
                auto object = kind.create(name, existed);
                channel.Send(!object ? 2 : existed ? 1 : 0);
                channel.Receive();  // hold until the parent has counted
                return 0;
            }));
        }
        close(start[0]);
        close(start[1]);
        int made = 0;
        for (auto& child : children) {
            auto answer = child->Channel().Receive();
            ASSERT_TRUE(answer.has_value());
            ASSERT_NE(*answer, 2u) << "a creator failed";
            made += *answer == 0 ? 1 : 0;
        }
        EXPECT_EQ(made, 1) << "round " << round;
        for (auto& child : children) {
            child->Channel().Send(0);
            EXPECT_EQ(child->Wait(), 0);
        }
    }
}

class NamedObjects : public testing::Test {
protected:
    testsupport::IsolatedHome home_;
};

TEST_F(NamedObjects, ANewMappingIsZeroedAndEveryHolderSeesTheSameBytes) {
    std::error_code error;
    auto first = NamedFileMapping::Create("Strevio2012-SHARED", 3008, error);
    ASSERT_TRUE(first) << error.message();
    ASSERT_EQ(first->Bytes().size(), 3008u);
    EXPECT_TRUE(std::all_of(first->Bytes().begin(), first->Bytes().end(),
                            [](std::byte b) { return b == std::byte{0}; }));
    std::memcpy(first->Bytes().data() + 8, "movie.mkv", 10);

    auto second = NamedFileMapping::Create("Strevio2012-SHARED", 3008, error);
    ASSERT_TRUE(second) << error.message();
    EXPECT_STREQ(reinterpret_cast<const char*>(second->Bytes().data() + 8), "movie.mkv");
    second->Bytes()[0] = std::byte{42};
    EXPECT_EQ(first->Bytes()[0], std::byte{42});
}

TEST_F(NamedObjects, AMappingAndASemaphoreAreSharedByTwoLiveProcesses) {
    std::error_code error;
    auto block = NamedFileMapping::Create("Strevio2012-SHARED", 3008, error);
    ASSERT_TRUE(block) << error.message();
    auto lock = NamedSemaphore::Create("Local\\Strevio2012-SEM", 0, 1, error);
    ASSERT_TRUE(lock) << error.message();

    ForkedChild child([](const ChildChannel& channel) {
        std::error_code e;
        auto mapping = NamedFileMapping::Create("Strevio2012-SHARED", 3008, e);
        auto semaphore = NamedSemaphore::Open("Local\\Strevio2012-SEM", e);
        if (!mapping || !mapping->AlreadyExisted() || !semaphore) {
            return 1;
        }
        std::memcpy(mapping->Bytes().data() + 8, "from the child", 15);
        semaphore->Release();
        // The parent takes the count, answers in the block and hands the count back.
        if (!channel.Receive()) {
            return 2;
        }
        bool handedBack = semaphore->WaitFor(0);
        return handedBack && mapping->Bytes()[0] == std::byte{7} ? 0 : 3;
    });

    ASSERT_TRUE(lock->WaitFor(20000));
    EXPECT_STREQ(reinterpret_cast<const char*>(block->Bytes().data() + 8), "from the child");
    block->Bytes()[0] = std::byte{7};
    ASSERT_TRUE(lock->Release());
    child.Channel().Send(1);
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(NamedObjects, AMappingMadeAgainAfterAKillIsZeroedAndASemaphoreHasItsInitialCount) {
    ForkedChild victim([](const ChildChannel& channel) {
        std::error_code e;
        auto mapping = NamedFileMapping::Create("Shared", 64, e);
        auto semaphore = NamedSemaphore::Create("Sem", 1, 1, e);
        if (!mapping || !semaphore || !semaphore->WaitFor(0)) {
            channel.Send(0);
            return 1;
        }
        std::memset(mapping->Bytes().data(), 0xAB, 64);
        channel.Send(1);
        channel.Receive(60000);
        return 0;
    });
    ASSERT_EQ(victim.Channel().Receive(), 1u);
    victim.Kill();

    std::error_code error;
    auto mapping = NamedFileMapping::Create("Shared", 64, error);
    ASSERT_TRUE(mapping) << error.message();
    EXPECT_FALSE(mapping->AlreadyExisted());
    EXPECT_TRUE(std::all_of(mapping->Bytes().begin(), mapping->Bytes().end(),
                            [](std::byte b) { return b == std::byte{0}; }));
    auto semaphore = NamedSemaphore::Create("Sem", 1, 1, error);
    ASSERT_TRUE(semaphore) << error.message();
    EXPECT_FALSE(semaphore->AlreadyExisted());
    EXPECT_EQ(semaphore->Count(), 1) << "the dead holder's taken count must not carry over";
}

TEST_F(NamedObjects, ASemaphoreCountsBetweenZeroAndItsMaximum) {
    std::error_code error;
    auto semaphore = NamedSemaphore::Create("Counter", 0, 2, error);
    ASSERT_TRUE(semaphore) << error.message();
    EXPECT_FALSE(semaphore->WaitFor(0));
    EXPECT_FALSE(semaphore->WaitFor(30)) << "nothing to take: the wait times out";
    EXPECT_TRUE(semaphore->Release(2));
    EXPECT_FALSE(semaphore->Release()) << "past the maximum";
    EXPECT_EQ(semaphore->Count(), 2);
    EXPECT_TRUE(semaphore->WaitFor(0));
    EXPECT_TRUE(semaphore->WaitFor(1000));
    EXPECT_FALSE(semaphore->WaitFor(0));
    EXPECT_FALSE(semaphore->Release(0));
    EXPECT_FALSE(semaphore->Release(3));
    EXPECT_EQ(semaphore->Count(), 0);
}

TEST_F(NamedObjects, ReleasesOfManyProcessesAtOnceNeverPassTheMaximum) {
    constexpr int kChildren = 8;
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        const std::string name = "Lock" + std::to_string(round);
        std::error_code error;
        auto semaphore = NamedSemaphore::Create(name, 0, 1, error);
        ASSERT_TRUE(semaphore) << error.message();
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        std::vector<std::unique_ptr<ForkedChild>> children;
        for (int i = 0; i < kChildren; ++i) {
            children.push_back(std::make_unique<ForkedChild>([&](const ChildChannel&) {
                close(start[1]);
                std::error_code e;
                auto mine = NamedSemaphore::Open(name, e);
                char go = 0;
                [[maybe_unused]] ssize_t got = read(start[0], &go, 1);
                return !mine ? 2 : mine->Release() ? 0 : 1;
            }));
        }
        close(start[0]);
        close(start[1]);
        int released = 0;
        for (auto& child : children) {
            int code = child->Wait();
            ASSERT_TRUE(code == 0 || code == 1) << code;
            released += code == 0 ? 1 : 0;
        }
        EXPECT_EQ(released, 1) << "round " << round;
        EXPECT_EQ(semaphore->Count(), 1) << "round " << round;
    }
}

TEST_F(NamedObjects, AnExistingSemaphoreKeepsItsCountsWhenCreatedAgain) {
    std::error_code error;
    auto first = NamedSemaphore::Create("Counter", 1, 1, error);
    ASSERT_TRUE(first);
    auto second = NamedSemaphore::Create("Counter", 0, 5, error);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->AlreadyExisted());
    EXPECT_EQ(second->Count(), 1);
    EXPECT_FALSE(second->Release()) << "the maximum stays the creator's";
}

TEST_F(NamedObjects, SemaphoreCountsOutOfRangeAreRefused) {
    struct Case {
        int initial;
        int maximum;
    };
    for (Case c : {Case{0, 0}, Case{-1, 1}, Case{2, 1}, Case{0, -3}}) {
        std::error_code error;
        EXPECT_FALSE(NamedSemaphore::Create("Bad", c.initial, c.maximum, error))
            << c.initial << "/" << c.maximum;
        EXPECT_EQ(error, std::errc::invalid_argument);
    }
}

TEST_F(NamedObjects, OpeningASemaphoreThatNobodyHoldsFails) {
    std::error_code error;
    EXPECT_FALSE(NamedSemaphore::Open("Local\\Strevio2012-SEM", error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);

    ForkedChild victim([](const ChildChannel& channel) {
        std::error_code e;
        auto semaphore = NamedSemaphore::Create("Local\\Strevio2012-SEM", 1, 1, e);
        channel.Send(semaphore ? 1 : 0);
        channel.Receive(60000);
        return 0;
    });
    ASSERT_EQ(victim.Channel().Receive(), 1u);
    auto whileHeld = NamedSemaphore::Open("Local\\Strevio2012-SEM", error);
    ASSERT_TRUE(whileHeld) << error.message();
    EXPECT_EQ(whileHeld->Count(), 1);
    whileHeld.reset();

    victim.Kill();
    EXPECT_FALSE(NamedSemaphore::Open("Local\\Strevio2012-SEM", error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

TEST_F(NamedObjects, AnExistingMappingSmallerThanAskedIsRefusedALargerOneIsMappedWhole) {
    std::error_code error;
    auto small = NamedFileMapping::Create("Sized", 100, error);
    ASSERT_TRUE(small);
    EXPECT_FALSE(NamedFileMapping::Create("Sized", 3008, error));
    auto smaller = NamedFileMapping::Create("Sized", 10, error);
    ASSERT_TRUE(smaller);
    EXPECT_EQ(smaller->Bytes().size(), 100u);
    EXPECT_FALSE(NamedFileMapping::Create("Empty", 0, error));
}

TEST_F(NamedObjects, LocalPrefixNamesTheSameObject) {
    std::error_code error;
    auto plain = NamedMutex::Create("PollwickMutex", error);
    auto local = NamedMutex::Create("Local\\PollwickMutex", error);
    ASSERT_TRUE(plain && local);
    EXPECT_TRUE(local->AlreadyExisted());
}

TEST_F(NamedObjects, NoNameLeavesTheRuntimeFolder) {
    const std::vector<std::string> names = {
        "../escape",  "..",          ".",
        "a/b/c",      "/etc/passwd", "back\\slash\\..\\..",
        "with space", "ümlaut-名前", std::string("ctl\x01\n\x7f", 6),
        "%2e%2e",     "Global\\x",   std::string(60, '/'),
    };
    std::vector<NamedMutex> held;
    for (const auto& name : names) {
        std::error_code error;
        auto mutex = NamedMutex::Create(name, error);
        ASSERT_TRUE(mutex) << name << ": " << error.message();
        EXPECT_FALSE(mutex->AlreadyExisted()) << name << " met another name's object";
        held.push_back(std::move(*mutex));
    }
    const fs::path folder = home_.runtimeDir() / "strevio";
    for (const auto& entry : fs::recursive_directory_iterator(home_.root())) {
        if (entry.is_directory()) {
            continue;
        }
        EXPECT_EQ(entry.path().parent_path(), folder) << entry.path();
    }
}

TEST_F(NamedObjects, EmptyAndOverlongNamesAreRefused) {
    std::error_code error;
    EXPECT_FALSE(NamedMutex::Create("", error));
    EXPECT_EQ(error, std::errc::invalid_argument);
    EXPECT_FALSE(NamedMutex::Create("Local\\", error));
    EXPECT_FALSE(NamedMutex::Create(std::string(300, 'x'), error));
    EXPECT_EQ(error, std::errc::filename_too_long);
}

TEST_F(NamedObjects, WithoutARuntimeDirAPrivateFolderUnderTheTemporaryFolderIsUsed) {
    testsupport::ScopedEnv noRuntime("XDG_RUNTIME_DIR", std::nullopt);
    std::error_code error;
    auto mutex = NamedMutex::Create("Fallback", error);
    ASSERT_TRUE(mutex) << error.message();
    auto folder = platform::RuntimeFolder(error);
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->parent_path(), home_.tmpDir());
    struct stat info {};
    ASSERT_EQ(stat(folder->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(NamedObjects, ARuntimeFolderOpenToOthersIsRefused) {
    fs::create_directories(home_.runtimeDir() / "strevio");
    fs::permissions(home_.runtimeDir() / "strevio", fs::perms::all, fs::perm_options::replace);
    std::error_code error;
    EXPECT_FALSE(NamedMutex::Create("Open", error));
    EXPECT_EQ(error, std::errc::permission_denied);
    EXPECT_FALSE(fs::exists(home_.runtimeDir() / "strevio" / "mutex.Open"));
}

TEST_F(NamedObjects, ARuntimeFolderThatIsASymbolicLinkIsRefused) {
    fs::create_directories(home_.root() / "elsewhere");
    fs::permissions(home_.root() / "elsewhere", fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directory_symlink(home_.root() / "elsewhere", home_.runtimeDir() / "strevio");
    std::error_code error;
    EXPECT_FALSE(NamedMutex::Create("Linked", error));
    EXPECT_TRUE(fs::is_empty(home_.root() / "elsewhere"));
}

}  // namespace
