// Helpers for tests that run libLumivexLib on the virtual USB bus (linked
// into the test program ahead of libusb).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "usb_camera_lib.h"
#include "vusb_control.h"

namespace LumivexTest {

inline void configureBus(const std::string& settings) {
    ASSERT_EQ(lumivex_vusb_configure(settings.c_str()), 0) << settings;
    lumivex_vusb_clear_log();
}

inline std::string busLog() {
    std::string text(lumivex_vusb_log(nullptr, 0) + 1, '\0');
    lumivex_vusb_log(&text[0], text.size());
    text.resize(text.size() - 1);
    return text;
}

inline int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// Vendor request lines of the log ("ctrl ..."), in order.
inline std::vector<std::string> requestLines(const std::string& log) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        if (line.rfind("ctrl ", 0) == 0) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The configuration of a 240 x 180, 2-byte board with the sensor at 0x34.
inline LumivexCfg sensorConfig(uint32_t i2cMode = 2, uint32_t format = 0, uint32_t frameBytes = 86400) {
    LumivexCfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.width = 240;
    cfg.height = frameBytes / 480;
    cfg.bytesPerPixel = 2;
    cfg.bitWidth = 12;
    cfg.i2cAddress = 0x34;
    cfg.i2cMode = i2cMode;
    cfg.format = format;
    return cfg;
}

// Every test leaves the bus as it found it.
class BusTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(lumivex_vusb_open_handles(), 0);
        EXPECT_EQ(lumivex_vusb_default_context_refs(), 0);
        EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 0);
        EXPECT_EQ(lumivex_vusb_violations(), violationsBefore) << busLog();
    }
    int violationsBefore = lumivex_vusb_violations();
};

}  // namespace LumivexTest
