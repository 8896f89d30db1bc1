#include "engine/play/Clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/play/VideoState.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

TEST_F(ClockTest, HasNoValueUntilSetWithTheQueueSerial) {
    std::atomic<int> queueSerial{1};
    TClock c;
    clock_init(&c, &queueSerial);
    EXPECT_TRUE(std::isnan(clock_value(&c)));
    clock_set(&c, 5.0, -1);
    EXPECT_TRUE(std::isnan(clock_value(&c)));
    clock_set(&c, 5.0, 1);
    EXPECT_NEAR(clock_value(&c), 5.0, 0.5);
    queueSerial = 2;  // a seek restarted the queue
    EXPECT_TRUE(std::isnan(clock_value(&c)));
    clock_set_check_serial(&c, false);
    EXPECT_FALSE(std::isnan(clock_value(&c)));
}

TEST_F(ClockTest, PausedClockKeepsItsValue) {
    TClock c;
    clock_init(&c, nullptr);
    clock_set_at(&c, 7.0, 0, GetSystemTime() - 3.0);
    clock_set_paused(&c, 1);
    EXPECT_DOUBLE_EQ(clock_value(&c), 7.0);
}

TEST_F(ClockTest, RunsAtItsSpeed) {
    TClock c;
    clock_init(&c, nullptr);
    c.speed = 0.5;
    // Set two seconds ago: at half speed it has advanced one second.
    clock_set_at(&c, 10.0, 0, GetSystemTime() - 2.0);
    EXPECT_NEAR(clock_value(&c), 11.0, 0.1);
}

TEST_F(ClockTest, SpeedChangeKeepsTheValue) {
    TClock c;
    clock_init(&c, nullptr);
    clock_set_at(&c, 10.0, 0, GetSystemTime() - 2.0);
    clock_set_speed(&c, 2.0);
    EXPECT_NEAR(clock_value(&c), 12.0, 0.1);
    EXPECT_DOUBLE_EQ(clock_speed(&c), 2.0);
}

TEST_F(ClockTest, FollowsASlaveThatIsFarAway) {
    TClock c;
    TClock slave;
    clock_init(&c, nullptr);
    clock_init(&slave, nullptr);
    clock_set(&slave, 30.0, 4);
    clock_follow(&c, &slave);  // no value yet: takes the slave's
    EXPECT_NEAR(clock_value(&c), 30.0, 0.5);
    clock_set(&c, 35.0, 4);
    clock_follow(&c, &slave);  // 5 s apart: kept
    EXPECT_NEAR(clock_value(&c), 35.0, 0.5);
    clock_set(&c, 45.0, 4);
    clock_follow(&c, &slave);  // 15 s apart: follows
    EXPECT_NEAR(clock_value(&c), 30.0, 0.5);
}

// The master clock choice by wanted type and open streams.
struct MasterCase {
    int wanted;
    bool video;
    bool audio;
    int expected;
};

void PrintTo(const MasterCase& c, std::ostream* os) {
    *os << "wanted " << c.wanted << (c.video ? " video" : "") << (c.audio ? " audio" : "") << " -> "
        << c.expected;
}

class MasterClockTest : public ::testing::TestWithParam<MasterCase> {};

TEST_P(MasterClockTest, ChoosesByWantedTypeAndOpenStreams) {
    const MasterCase& m = GetParam();
    TVideoState is;
    AVStream* fake = reinterpret_cast<AVStream*>(&is);  // only compared with null
    is.av_sync_type = m.wanted;
    is.video_st = m.video ? fake : nullptr;
    is.audio_st = m.audio ? fake : nullptr;
    EXPECT_EQ(master_sync_kind(&is), m.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MasterClockTest,
    ::testing::Values(MasterCase{AV_SYNC_AUDIO_MASTER, true, true, AV_SYNC_AUDIO_MASTER},
                      MasterCase{AV_SYNC_AUDIO_MASTER, true, false, AV_SYNC_VIDEO_MASTER},
                      MasterCase{AV_SYNC_AUDIO_MASTER, false, false, AV_SYNC_EXTERNAL_CLOCK},
                      MasterCase{AV_SYNC_VIDEO_MASTER, true, true, AV_SYNC_VIDEO_MASTER},
                      MasterCase{AV_SYNC_VIDEO_MASTER, false, true, AV_SYNC_AUDIO_MASTER},
                      MasterCase{AV_SYNC_VIDEO_MASTER, false, false, AV_SYNC_EXTERNAL_CLOCK},
                      MasterCase{AV_SYNC_EXTERNAL_CLOCK, true, true, AV_SYNC_EXTERNAL_CLOCK}),
    [](const ::testing::TestParamInfo<MasterCase>& info) { return "case" + std::to_string(info.index); });

TEST(MasterClockCacheTest, KeepsTheChoiceUntilTheSettingChanges) {
    TVideoState is;
    AVStream* fake = reinterpret_cast<AVStream*>(&is);
    is.av_sync_type = AV_SYNC_AUDIO_MASTER;
    is.video_st = fake;
    EXPECT_EQ(master_sync_kind(&is), AV_SYNC_VIDEO_MASTER);
    is.audio_st = fake;  // audio opened after the first request
    EXPECT_EQ(master_sync_kind(&is), AV_SYNC_VIDEO_MASTER);
    is.av_sync_type_ok = 0;
    EXPECT_EQ(master_sync_kind(&is), AV_SYNC_AUDIO_MASTER);
}

// External clock speed steering by queue fill.
struct SpeedCase {
    int videoPackets;
    int audioPackets;
    double speed;
    double expected;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
    *os << c.videoPackets << " video and " << c.audioPackets << " audio packets, speed " << c.speed << " -> "
        << c.expected;
}

class ExternalClockSpeedTest : public ::testing::TestWithParam<SpeedCase> {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

TEST_P(ExternalClockSpeedTest, StepsTowardsTheQueueFill) {
    const SpeedCase& s = GetParam();
    TVideoState is;
    clock_init(&is.extclk, nullptr);
    is.extclk.speed = s.speed;
    is.video_stream = 0;
    is.audio_stream = 1;
    is.videoq.nb_packets = s.videoPackets;
    is.audioq.nb_packets = s.audioPackets;
    adjust_external_clock_speed(&is);
    EXPECT_NEAR(clock_speed(&is.extclk), s.expected, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Table, ExternalClockSpeedTest,
                         ::testing::Values(SpeedCase{2, 20, 1.0, 0.999}, SpeedCase{20, 1, 0.9, 0.9},
                                           SpeedCase{20, 20, 1.0, 1.001}, SpeedCase{20, 20, 1.01, 1.01},
                                           SpeedCase{5, 5, 1.0, 1.0}, SpeedCase{5, 5, 0.95, 0.951},
                                           SpeedCase{5, 5, 1.005, 1.004}),
                         [](const ::testing::TestParamInfo<SpeedCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

}  // namespace
