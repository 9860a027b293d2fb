// How long a wait for another handle's lock may last. Every wait of the
// engines for a lock another process holds is bounded, so that a process
// that stopped (or one that only reads the file and holds a lock on
// purpose) cannot stop the others for ever: after the limit the operation
// gives up with a status, and the holder is named where it can be known.
//
// The limit is KVR_LOCK_WAIT seconds from the environment (a fraction
// allowed, at most an hour), 5 by default. A wait asks again and again:
// giving the processor up between tries for its first 2 ms, then sleeping
// between them, at most 2 ms at a time.
#ifndef KVR_PLATFORM_LOCK_WAIT_H
#define KVR_PLATFORM_LOCK_WAIT_H

#include <sched.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>

namespace kvr::platform {

// The limit, in nanoseconds.
inline int64_t lock_wait_limit() noexcept {
    constexpr int64_t kDefault = 5'000'000'000;
    const char* setting = std::getenv("KVR_LOCK_WAIT");
    if (setting == nullptr || *setting == '\0')
        return kDefault;
    char* end = nullptr;
    const double seconds = std::strtod(setting, &end);
    if (end == setting || *end != '\0' || !(seconds >= 0) || seconds > 3600)
        return kDefault;
    return static_cast<int64_t>(seconds * 1e9);
}

inline int64_t monotonic_now() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Calls attempt() until it gives true, or false after the limit. attempt()
// returns true when it got what it waits for, or when it failed for
// another reason than the holder (it tells its caller which itself).
inline constexpr int64_t kYieldingWait = 2'000'000;

template <typename Attempt>
bool wait_for_lock(Attempt attempt) noexcept {
    if (attempt())
        return true;
    const int64_t start = monotonic_now();
    const int64_t deadline = start + lock_wait_limit();
    // Most holders are operations of some microseconds: for the first
    // milliseconds the waiter only gives the processor up between tries, so
    // that it takes the lock as soon as the holder lets it go; a sleep is
    // never shorter than the timer's slack, tens of microseconds.
    while (monotonic_now() - start < kYieldingWait) {
        sched_yield();
        if (attempt())
            return true;
    }
    int64_t pause = 20'000;
    for (;;) {
        const int64_t now = monotonic_now();
        if (now >= deadline)
            return false;
        const int64_t rest = deadline - now;
        const int64_t nap = pause < rest ? pause : rest;
        timespec sleep{static_cast<time_t>(nap / 1'000'000'000),
                       static_cast<long>(nap % 1'000'000'000)};
        nanosleep(&sleep, nullptr);
        if (attempt())
            return true;
        if (pause < 2'000'000)
            pause *= 2;
    }
}

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_LOCK_WAIT_H
