#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/base/Myutils.h"
#include "engine/play/PlayEvent.h"
#include "tests/engine/PlayerTestSupport.h"

namespace {

TEventItem Position(int64_t APTS) {
    TEventItem item;
    item.EventType = etPosition;
    item.Position = APTS;
    return item;
}

TEventItem State(TPlayState AState) {
    TEventItem item;
    item.EventType = etState;
    item.State = AState;
    return item;
}

TEventItem Stop() {
    TEventItem item;
    item.EventType = etStop;
    return item;
}

// An item as text, so that a table reads as the owner would see the reports.
std::string Text(const TEventItem& AItem) {
    switch (AItem.EventType) {
        case etPosition:
            return "P" + std::to_string(AItem.Position);
        case etState:
            return "S" + std::to_string(static_cast<int>(AItem.State));
        case etStop:
            return "stop";
        default:
            return "none";
    }
}

std::vector<std::string> Drain(TPlayEvent& ARing) {
    std::vector<std::string> items;
    for (TEventItem item = ARing.PopupEvent(); item.EventType != etNone; item = ARing.PopupEvent()) {
        items.push_back(Text(item));
    }
    return items;
}

}  // namespace

TEST(PlayEventRing, CoalescesAndKeepsTheNewestNine) {
    struct Case {
        const char* Name;
        std::vector<TEventItem> Pushes;
        std::vector<std::string> Popped;
    };
    std::vector<TEventItem> alternating;
    std::vector<std::string> newestNine;
    for (int i = 0; i < 10; ++i) {
        alternating.push_back(i % 2 == 0 ? Position(i) : State(psPlay));
    }
    for (int i = 1; i < 10; ++i) {
        newestNine.push_back(Text(alternating[static_cast<size_t>(i)]));
    }
    std::vector<TEventItem> tenPositions;
    for (int i = 1; i <= 10; ++i) {
        tenPositions.push_back(Position(i * 1000));
    }
    const Case cases[] = {
        {"empty", {}, {}},
        {"ten positions leave the last", tenPositions, {"P10000"}},
        {"resume replaces a waiting pause", {State(psPause), State(psResume)}, {"S2"}},
        {"another kind in between keeps both",
         {State(psPause), Position(5), State(psResume)},
         {"S1", "P5", "S2"}},
        {"alternating kinds keep the newest nine", alternating, newestNine},
        {"stop after a state stays apart", {State(psPlay), Stop(), Stop()}, {"S0", "stop"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TPlayEvent ring;
        for (const TEventItem& item : c.Pushes) {
            ring.PushEvent(item);
        }
        EXPECT_EQ(ring.Event().WaitFor(0) == platform::wrSignaled, !c.Pushes.empty());
        EXPECT_EQ(Drain(ring), c.Popped);
        EXPECT_EQ(ring.Event().WaitFor(0), platform::wrTimeout);
    }
}

TEST(PlayEventRing, ClearDropsWaitingItemsAndSignals) {
    TPlayEvent ring;
    ring.PushEvent(Position(1));
    ring.PushEvent(State(psPlay));
    ring.ClearEvents();
    EXPECT_EQ(ring.Event().WaitFor(0), platform::wrSignaled);
    EXPECT_EQ(Drain(ring), std::vector<std::string>{});
    ring.PushEvent(Position(7));
    EXPECT_EQ(Drain(ring), std::vector<std::string>{"P7"});
}

namespace {

// What the owner got, and on which thread.
struct Received {
    std::mutex lock;
    std::vector<std::string> items;
    bool offMainThread = false;

    TEventDelivery Delivery(bool AWithState = true) {
        TEventDelivery delivery;
        delivery.Position = [this](int64_t pts) { Add("P" + std::to_string(pts)); };
        if (AWithState) {
            delivery.State = [this](TPlayState state) { Add("S" + std::to_string(static_cast<int>(state))); };
        }
        return delivery;
    }
    void Add(const std::string& AItem) {
        std::lock_guard guard(lock);
        offMainThread = offMainThread || !IsMainThread();
        items.push_back(AItem);
    }
    std::vector<std::string> Items() {
        std::lock_guard guard(lock);
        return items;
    }
};

}  // namespace

TEST(EventThread, DeliversOnTheMainThreadInOrderWithStopLast) {
    TPlayEvent ring;
    Received received;
    TEventThread thread(ring, received.Delivery());
    thread.Start();
    // Reports come from another thread, as from the play thread; each waits until the last was taken,
    // so none is folded into the next.
    std::thread producer([&] {
        const TEventItem items[] = {State(psPlay), Position(0), Position(40000), State(psEnd), State(psStop)};
        for (const TEventItem& item : items) {
            ring.PushEvent(item);
            for (int i = 0; i < 500 && ring.Event().WaitFor(0) == platform::wrSignaled; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    });
    EXPECT_TRUE(playertest::WaitUntil([&] { return thread.Finished(); }));
    producer.join();
    thread.WaitFor();
    const std::vector<std::string> want{"S0", "P0", "P40000", "S5", "S4"};
    EXPECT_EQ(received.Items(), want);
    EXPECT_FALSE(received.offMainThread);
}

TEST(EventThread, EndsOnStopMarkWithoutStateHandlerAndTheOwnerStillGetsStop) {
    struct Case {
        const char* Name;
        bool WithState;
        std::vector<std::string> Want;
    };
    for (const Case& c :
         {Case{"state handler assigned", true, {"P1", "S4"}}, Case{"no state handler", false, {"P1"}}}) {
        SCOPED_TRACE(c.Name);
        TPlayEvent ring;
        Received received;
        ring.PushEvent(Position(1));
        ring.PushEvent(Stop());
        TEventThread thread(ring, received.Delivery(c.WithState));
        thread.Start();
        EXPECT_TRUE(playertest::WaitUntil([&] { return thread.Finished(); }));
        thread.WaitFor();
        EXPECT_EQ(received.Items(), c.Want);
    }
}

TEST(EventThread, TerminatedThreadStillDeliversStop) {
    TPlayEvent ring;
    Received received;
    {
        TEventThread thread(ring, received.Delivery());
        thread.Start();
        ring.PushEvent(State(psPlay));
        EXPECT_TRUE(playertest::WaitUntil([&] { return received.Items().size() == 1; }));
    }  // terminated and joined here, pumping the main thread meanwhile
    EXPECT_EQ(received.Items(), (std::vector<std::string>{"S0", "S4"}));
}

TEST(EventThread, HandlerExceptionIsLoggedAndDeliveryGoesOn) {
    playertest::LogCapture log;
    TPlayEvent ring;
    std::vector<int64_t> positions;
    TEventDelivery delivery;
    delivery.TriggerEventInMainThread = [] { return false; };
    delivery.Position = [&](int64_t pts) {
        positions.push_back(pts);
        if (pts == 1) {
            throw std::runtime_error("handler broke");
        }
    };
    TEventThread thread(ring, delivery);
    thread.Start();
    ring.PushEvent(Position(1));
    EXPECT_TRUE(
        playertest::WaitUntil([&] { return log.Contains("Error occurs OnPosition: handler broke"); }));
    ring.PushEvent(Position(30000));
    ring.PushEvent(Stop());
    EXPECT_TRUE(playertest::WaitUntil([&] { return thread.Finished(); }));
    thread.WaitFor();
    EXPECT_EQ(positions, (std::vector<int64_t>{1, 30000}));
}

// The position rules.

namespace {

TPositionFacts VideoFile(double AClock) {
    TPositionFacts f;
    f.HasFile = true;
    f.HasVideo = true;
    f.VideoClock = AClock;
    f.FileDuration = 60000000;
    return f;
}

TPositionFacts AudioFile(double AClock) {
    TPositionFacts f;
    f.HasFile = true;
    f.HasAudio = true;
    f.AudioFrameAvailable = true;
    f.AudioClock = AClock;
    f.FileDuration = 60000000;
    return f;
}

}  // namespace

TEST(PositionRules, ReportsEveryTwentyMillisecondsAndTheEndOnce) {
    struct Step {
        double Clock;
        bool Report;
        int64_t Position;
    };
    struct Case {
        const char* Name;
        TPositionFacts (*Make)(double);
        std::vector<Step> Steps;
    };
    const Case cases[] = {
        {"0, 10 ms, 25 ms", VideoFile, {{0.0, true, 0}, {0.010, false, 10000}, {0.025, true, 25000}}},
        {"20 ms exactly is not enough", VideoFile, {{1.0, true, 1000000}, {1.02, false, 1020000}}},
        {"backwards counts too", VideoFile, {{5.0, true, 5000000}, {4.9, true, 4900000}}},
        {"end clamped and reported once",
         VideoFile,
         {{59.99, true, 59990000}, {60.5, true, 60000000}, {61.0, false, 60000000}}},
        {"no value counts as 0", VideoFile, {{NAN, true, 0}}},
        {"audio track shorter than the file reports the file's end",
         [](double clock) {
             TPositionFacts f = AudioFile(clock);
             f.AudioDuration = 50000000;
             return f;
         },
         {{49.0, true, 49000000}, {50.0, true, 60000000}, {50.5, false, 60000000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        int64_t last = AV_NOPTS_VALUE;
        for (const Step& s : c.Steps) {
            SCOPED_TRACE(s.Clock);
            const TPositionStep step = ComputePosition(c.Make(s.Clock), last);
            EXPECT_TRUE(step.Checked);
            EXPECT_EQ(step.Report, s.Report);
            EXPECT_EQ(step.Position, s.Position);
            last = step.LastReported;
        }
    }
}

TEST(PositionRules, ClockChoiceAndWhenNothingIsChecked) {
    struct Case {
        const char* Name;
        TPositionFacts Facts;
        bool Checked;
        int64_t Position;
    };
    TPositionFacts both = VideoFile(2.0);
    both.HasAudio = true;
    both.AudioFrameAvailable = true;
    both.AudioClock = 3.0;
    TPositionFacts bothQueued = both;
    bothQueued.PictqTotalSize = 2;
    TPositionFacts preferAudio = bothQueued;
    preferAudio.UseAudioPosition = true;
    TPositionFacts externalFast = preferAudio;
    externalFast.MasterIsExternal = true;
    externalFast.ExternalSpeed = 2.0;
    TPositionFacts noAudioFrame = both;
    noAudioFrame.AudioFrameAvailable = false;
    TPositionFacts image = VideoFile(2.0);
    image.IsImage2 = true;
    TPositionFacts startAt = VideoFile(12.0);
    startAt.StartTime = 10000000;
    const Case cases[] = {
        {"video only: video clock", VideoFile(2.0), true, 2000000},
        {"fewer than 2 pictures queued: audio clock", both, true, 3000000},
        {"2 pictures queued: video clock", bothQueued, true, 2000000},
        {"audio position wanted: audio clock", preferAudio, true, 3000000},
        {"external master at another speed: video clock", externalFast, true, 2000000},
        {"no audio frame yet: nothing", noAudioFrame, false, 0},
        {"image sequence: nothing", image, false, 0},
        {"no file: nothing", TPositionFacts{}, false, 0},
        {"the file's start time is taken off", startAt, true, 2000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TPositionStep step = ComputePosition(c.Facts, AV_NOPTS_VALUE);
        EXPECT_EQ(step.Checked, c.Checked);
        if (c.Checked) {
            EXPECT_EQ(step.Position, c.Position);
            EXPECT_TRUE(step.Report);
        } else {
            EXPECT_FALSE(step.Report);
            EXPECT_EQ(step.LastReported, AV_NOPTS_VALUE);
        }
    }
}

TEST(PositionRules, EndOfFileReports) {
    struct Case {
        const char* Name;
        TPositionFacts Facts;
        bool End;
        bool SetDone;
    };
    TPositionFacts videoEOF = VideoFile(3.0);
    videoEOF.ReachEOF = true;
    TPositionFacts videoDone = videoEOF;
    videoDone.EndEventDone = true;
    TPositionFacts audioEOF = AudioFile(3.0);
    audioEOF.ReachEOF = true;
    TPositionFacts device = videoEOF;
    device.IsDevice = true;
    const Case cases[] = {
        {"not at the end", VideoFile(3.0), false, false},
        {"video file at the end: once", videoEOF, true, true},
        {"end already reported", videoDone, false, false},
        {"audio-only file: again on every check", audioEOF, true, false},
        {"capture device: never", device, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TPositionStep step = ComputePosition(c.Facts, AV_NOPTS_VALUE);
        EXPECT_EQ(step.End, c.End);
        EXPECT_EQ(step.SetEndEventDone, c.SetDone);
    }
}

TEST(PositionRules, PlayTimeLimit) {
    struct Case {
        const char* Name;
        int64_t Position;
        int64_t StartTime;
        int64_t PlayTime;
        TRepeatType Repeat;
        TPlayTimeAction Want;
    };
    TPlayTimeAction none;
    TPlayTimeAction stop;
    stop.Stop = true;
    TPlayTimeAction pause;
    pause.Pause = true;
    TPlayTimeAction loopToZero;
    loopToZero.Seek = true;
    loopToZero.SeekFlags = TSeekFlags{sfAny};
    TPlayTimeAction loopToStart;
    loopToStart.Seek = true;
    loopToStart.SeekTo = 2000000;
    TPlayTimeAction rewind = loopToZero;
    rewind.Pause = true;
    const int64_t kNone = AV_NOPTS_VALUE;
    const Case cases[] = {
        {"no limit", 99000000, kNone, kNone, rtLoop, none},
        {"before the limit", 4999999, kNone, 5000000, rtLoop, none},
        {"loop at the limit", 5000000, kNone, 5000000, rtLoop, loopToZero},
        {"loop past the limit", 5100000, kNone, 5000000, rtLoop, loopToZero},
        {"loop with a start time", 7000000, 2000000, 5000000, rtLoop, loopToStart},
        {"start time moves the limit", 6000000, 2000000, 5000000, rtLoop, none},
        {"none", 5000000, kNone, 5000000, rtNone, none},
        {"stop", 5000000, kNone, 5000000, rtStop, stop},
        {"pause", 5000000, kNone, 5000000, rtPause, pause},
        {"rewind", 5000000, kNone, 5000000, rtRewind, rewind},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TPlayTimeAction got = PlayTimeAction(c.Position, c.StartTime, c.PlayTime, c.Repeat);
        EXPECT_EQ(got.Stop, c.Want.Stop);
        EXPECT_EQ(got.Pause, c.Want.Pause);
        EXPECT_EQ(got.Seek, c.Want.Seek);
        EXPECT_EQ(got.SeekTo, c.Want.SeekTo);
        EXPECT_EQ(got.SeekFlags, c.Want.SeekFlags);
    }
}

TEST(PlayEventRing, StateReportsFollowTheHandlerRule) {
    struct Case {
        const char* Name;
        bool HasStateHandler;
        std::vector<std::string> Popped;
    };
    // psPause and psStop are of one kind: the newer replaces the older while both wait.
    for (const Case& c : {Case{"state handler", true, {"S0", "P5", "S4"}},
                          Case{"no state handler: only the stop mark", false, {"P5", "stop"}}}) {
        SCOPED_TRACE(c.Name);
        TPlayEvent ring;
        ring.PushState(psPlay, c.HasStateHandler);
        ring.PushPosition(5);
        ring.PushState(psPause, c.HasStateHandler);
        ring.PushState(psStop, c.HasStateHandler);
        EXPECT_EQ(Drain(ring), c.Popped);
    }
}
