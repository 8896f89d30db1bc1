// Playback clocks: a value in seconds that runs at a given speed from the moment it was last set.
//
// A clock follows the serial of a packet queue: after a seek the queue's serial rises and the clock has
// no value (NaN) until it is set again with the new serial. Every field is read and written under the
// clock's own lock, since the audio callback, the play loop and the player's methods all touch clocks.
#pragma once

#include <atomic>
#include <mutex>

struct TClock {
    double pts = 0.0;           // value at the last set, seconds
    double pts_drift = 0.0;     // pts minus the system time of the last set
    double last_updated = 0.0;  // system time of the last set, seconds
    double speed = 1.0;
    int serial = -1;  // packet run that the value belongs to
    int paused = 0;
    const std::atomic<int>* queue_serial = nullptr;  // the followed queue's serial, or the clock's own
    bool check_serial = true;
    std::atomic<int> own_serial{-1};  // what queue_serial points at for a clock that follows itself
    mutable std::mutex lock;
};

// FFmpeg's monotonic microsecond clock in seconds.
double GetSystemTime();

// Seconds, or NaN when the clock has no value for the current run.
double clock_value(const TClock* c);
// The value the clock has, or had, at ATime (seconds of GetSystemTime), as it runs now.
double clock_value_at(const TClock* c, double ATime);
void clock_set_at(TClock* c, double pts, int serial, double time);
void clock_set(TClock* c, double pts, int serial);
// Changes the rate without a jump of the value.
void clock_set_speed(TClock* c, double speed);
double clock_speed(const TClock* c);
// Speed 1.0, running, following queue_serial (or, when that is null, its own serial), no value.
void clock_init(TClock* c, const std::atomic<int>* queue_serial);
// Takes the slave's value when the clock has none or is more than 10 s away from it.
void clock_follow(TClock* c, const TClock* slave);
// Sets the clock to its own current value and serial (so that no time is lost across a state change).
void clock_resync(TClock* c);
void clock_set_paused(TClock* c, int paused);
void clock_set_check_serial(TClock* c, bool check);
int clock_serial(const TClock* c);
double clock_pts(const TClock* c);
double clock_pts_drift(const TClock* c);
