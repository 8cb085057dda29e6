// Host clocks in the 100-nanosecond ticks the boards use.
#pragma once

#include <cstdint>
#include <ctime>

namespace LumivexUsb {

// Real-time clock since 1970-01-01, or -1 if it cannot be read.
inline int64_t ticksNow() {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
    return int64_t(now.tv_sec) * 10000000 + int64_t(now.tv_nsec) / 100;
}

// System clock since 1601-01-01 (the epoch of the boards' clock).
inline uint64_t hostFileTime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t nanoseconds = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    return nanoseconds / 100 + 116444736000000000ull;
}

}  // namespace LumivexUsb
