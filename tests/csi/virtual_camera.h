// Helpers for tests that run the CSI back-end against the virtual kernel
// (linked into the test program ahead of the C library).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vkernel_control.h"

namespace LumivexTest {

inline void configureVirtualKernel(const std::string& settings) {
    ASSERT_EQ(lumivex_vk_configure(settings.c_str()), 0) << settings;
    lumivex_vk_clear_log();
}

inline std::string kernelLog() {
    std::string text(lumivex_vk_log(nullptr, 0) + 1, '\0');
    lumivex_vk_log(&text[0], text.size());
    text.resize(text.size() - 1);
    return text;
}

inline int countLines(const std::string& log, const std::string& part) {
    int count = 0;
    size_t at = 0;
    while ((at = log.find(part, at)) != std::string::npos) {
        ++count;
        at += part.size();
    }
    return count;
}

inline bool logHas(const std::string& part) { return kernelLog().find(part) != std::string::npos; }

// Standard output and standard error of a stretch of code.
struct CapturedOutput {
    std::string out, err;
};

template <typename F>
CapturedOutput capture(F&& body) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    CapturedOutput captured;
    captured.out = ::testing::internal::GetCapturedStdout();
    captured.err = ::testing::internal::GetCapturedStderr();
    return captured;
}

}  // namespace LumivexTest
