// Helpers the virtual kernel's devices share.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace LumivexSim {

const char* requestName(unsigned long request);

namespace detail {

constexpr uint32_t kVideoMajor = 81;
constexpr uint32_t kMediaMajor = 237;
constexpr uint32_t kSubdevMinorBase = 100;
constexpr uint32_t kRangeControl = 0x00981901;
constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";

inline int64_t nowMicros() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

inline std::string fourcc(uint32_t f) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += char((f >> (8 * i)) & 0xFF);
    return s;
}

inline bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// N of "<prefix>N", or -1.
inline int nodeNumber(const char* path, const char* prefix) {
    if (!startsWith(path, prefix)) return -1;
    const char* digits = path + std::strlen(prefix);
    if (*digits < '0' || *digits > '9') return -1;
    char* end = nullptr;
    const long n = std::strtol(digits, &end, 10);
    return (*end == '\0' && n < 1000) ? int(n) : -1;
}

}  // namespace detail
}  // namespace LumivexSim
