#include "engine/play/Clock.h"

#include <cmath>

#include "engine/load/FFAPI.h"

namespace {

constexpr double kNoSyncThreshold = 10.0;

// The caller holds c->lock.
double ValueLocked(const TClock* c, double now) {
    if (c->check_serial && c->queue_serial && c->queue_serial->load() != c->serial) {
        return NAN;
    }
    if (c->paused) {
        return c->pts;
    }
    return c->pts_drift + now - (now - c->last_updated) * (1.0 - c->speed);
}

void SetAtLocked(TClock* c, double pts, int serial, double time) {
    c->pts = pts;
    c->last_updated = time;
    c->pts_drift = pts - time;
    c->serial = serial;
    c->own_serial = serial;
}

}  // namespace

double GetSystemTime() {
    return static_cast<double>(ff::av_gettime_relative()) / 1000000.0;
}

double clock_value(const TClock* c) {
    return clock_value_at(c, GetSystemTime());
}

double clock_value_at(const TClock* c, double ATime) {
    std::lock_guard lock(c->lock);
    return ValueLocked(c, ATime);
}

void clock_set_at(TClock* c, double pts, int serial, double time) {
    std::lock_guard lock(c->lock);
    SetAtLocked(c, pts, serial, time);
}

void clock_set(TClock* c, double pts, int serial) {
    clock_set_at(c, pts, serial, GetSystemTime());
}

void clock_set_speed(TClock* c, double speed) {
    const double now = GetSystemTime();
    std::lock_guard lock(c->lock);
    SetAtLocked(c, ValueLocked(c, now), c->serial, now);
    c->speed = speed;
}

double clock_speed(const TClock* c) {
    std::lock_guard lock(c->lock);
    return c->speed;
}

void clock_init(TClock* c, const std::atomic<int>* queue_serial) {
    const double now = GetSystemTime();
    std::lock_guard lock(c->lock);
    c->speed = 1.0;
    c->paused = 0;
    c->queue_serial = queue_serial ? queue_serial : &c->own_serial;
    c->check_serial = true;
    SetAtLocked(c, NAN, -1, now);
}

void clock_follow(TClock* c, const TClock* slave) {
    const double clockValue = clock_value(c);
    const double slaveValue = clock_value(slave);
    if (!std::isnan(slaveValue) &&
        (std::isnan(clockValue) || std::fabs(clockValue - slaveValue) > kNoSyncThreshold)) {
        clock_set(c, slaveValue, clock_serial(slave));
    }
}

void clock_resync(TClock* c) {
    const double now = GetSystemTime();
    std::lock_guard lock(c->lock);
    SetAtLocked(c, ValueLocked(c, now), c->serial, now);
}

void clock_set_paused(TClock* c, int paused) {
    std::lock_guard lock(c->lock);
    c->paused = paused;
}

void clock_set_check_serial(TClock* c, bool check) {
    std::lock_guard lock(c->lock);
    c->check_serial = check;
}

int clock_serial(const TClock* c) {
    std::lock_guard lock(c->lock);
    return c->serial;
}

double clock_pts(const TClock* c) {
    std::lock_guard lock(c->lock);
    return c->pts;
}

double clock_pts_drift(const TClock* c) {
    std::lock_guard lock(c->lock);
    return c->pts_drift;
}
