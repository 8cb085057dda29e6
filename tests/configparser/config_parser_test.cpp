// Camera configuration files: the complete example, each kind of step and
// every kind of error, named by file and line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "lumivex_config_parser.h"

namespace {

std::string writeFile(const std::string& text) {
    static int n = 0;
    const std::string path = ::testing::TempDir() + "camera_" + std::to_string(getpid()) + "_" + std::to_string(n++) + ".cfg";
    std::ofstream(path) << text;
    return path;
}

const char* kCamera = "[camera]\nwidth = 240\nheight = 180\nbits_per_pixel = 12\n";

TEST(ConfigFile, TheExampleForThisCameraHoldsTheWholeSetUp) {
    ConfigFileResult r{};
    const std::string path = std::string(LUMIVEX_SOURCE_DIR) + "/configparser/examples/lumivex_tof_240x180.cfg";
    ASSERT_EQ(lumivex_parse_config(path.c_str(), &r), 0);
    EXPECT_STREQ(r.cameraName, "Lumivex ToF 240x180");
    EXPECT_EQ(r.width, 240u);
    EXPECT_EQ(r.height, 180u);
    EXPECT_EQ(r.bitsPerPixel, 12);
    EXPECT_EQ(r.formatMode, 4);
    EXPECT_EQ(r.i2cMode, 2);
    EXPECT_EQ(r.i2cAddress, 0x34);
    EXPECT_EQ(r.transferLevel, 0u);
    ASSERT_EQ(r.entryCount, 144);
    EXPECT_EQ(r.entries[15].type, 0x02020002u);  // request 0xF6 ... usb=2
    EXPECT_EQ(r.entries[15].params[3], 3u);
    EXPECT_EQ(r.entries[15].params[6], 0x0Cu);
    EXPECT_EQ(r.entries[24].type, 0x03000001u);
    EXPECT_EQ(r.entries[143].params[0], 0x1001u);
    lumivex_release_config(&r);
    EXPECT_EQ(r.entries, nullptr);
    lumivex_release_config(&r);  // twice is harmless
}

TEST(ConfigFile, StepsCarryKindFilterSectionAndParameters) {
    ConfigFileResult r{};
    const std::string path = writeFile(std::string(kCamera) +
                                       "i2c_mode = 3\n[board]\nrequest 0xF6 1 2 0xAA 0xBB usb=3 # note\ndelay 50\n"
                                       "[sensor]\nreg 0x3000 255\n");
    ASSERT_EQ(lumivex_parse_config(path.c_str(), &r), 0);
    ASSERT_EQ(r.entryCount, 3);
    EXPECT_EQ(r.entries[0].type, 0x02030002u);
    EXPECT_EQ(r.entries[0].params[1], 1u);
    EXPECT_EQ(r.entries[0].params[2], 2u);
    EXPECT_EQ(r.entries[0].params[3], 2u);
    EXPECT_EQ(r.entries[0].params[5], 0xBBu);
    EXPECT_EQ(r.entries[0].paramCount, 6);
    EXPECT_EQ(r.entries[1].type, 0x02000003u);
    EXPECT_EQ(r.entries[1].params[0], 50u);
    EXPECT_EQ(r.entries[2].type, 0x03000001u);
    EXPECT_EQ(r.entries[2].params[1], 255u);
    EXPECT_EQ(r.i2cMode, 3);
    lumivex_release_config(&r);
}

TEST(ConfigFile, NumbersAreDecimalWithLeadingZerosOrHexadecimal) {
    const std::string path = writeFile("[camera]\nwidth = 0240\nheight = 0180\nbits_per_pixel = 012\nformat = 04\n"
                                       "i2c_address = 0X3a\n[sensor]\ndelay 0100\nreg 010 0x1F\nreg 08 0009\n");
    ConfigFileResult r{};
    ASSERT_EQ(lumivex_parse_config(path.c_str(), &r), 0);
    EXPECT_EQ(r.width, 240);
    EXPECT_EQ(r.height, 180);
    EXPECT_EQ(r.bitsPerPixel, 12);
    EXPECT_EQ(r.formatMode, 4);
    EXPECT_EQ(r.i2cAddress, 0x3A);
    ASSERT_EQ(r.entryCount, 3);
    EXPECT_EQ(r.entries[0].params[0], 100u);  // ms, not 64
    EXPECT_EQ(r.entries[1].params[0], 10u);
    EXPECT_EQ(r.entries[1].params[1], 0x1Fu);
    EXPECT_EQ(r.entries[2].params[0], 8u);
    EXPECT_EQ(r.entries[2].params[1], 9u);
    lumivex_release_config(&r);
}

struct ErrorCase {
    const char* text;
    const char* message;  // after "PATH:"
};

class ConfigErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ConfigErrorTest, NamesTheFileAndLine) {
    const ErrorCase c = GetParam();
    const std::string path = writeFile(c.text);
    ConfigFileResult r{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(lumivex_parse_config(path.c_str(), &r), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), path + ":" + c.message + "\n");
    EXPECT_EQ(r.entries, nullptr);  // nothing is given on failure
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ConfigErrorTest,
    ::testing::Values(
        ErrorCase{"width = 1\n", "1: text before the first section"},
        ErrorCase{"[camera]\nwidth = 240\n", "3: [camera] needs width and height"},
        ErrorCase{"[camera]\nwidth = 240\nheight = 180\n", "4: [camera] needs bits_per_pixel"},
        ErrorCase{"[board]\nreg 1 2\n", "3: no [camera] section"},
        ErrorCase{"[camera]\nwidth = 70000\n", "2: width 70000 is above 65535"},
        ErrorCase{"[camera]\nwidth = -1\n", "2: bad width '-1'"},
        ErrorCase{"[camera]\nwidth = 24O\n", "2: bad width '24O'"},
        ErrorCase{"[camera]\nwidth = 0x\n", "2: bad width '0x'"},
        ErrorCase{"[camera]\nwidth = 0x-1\n", "2: bad width '0x-1'"},
        ErrorCase{"[camera]\nwidth = 2e2\n", "2: bad width '2e2'"},
        ErrorCase{"[camera]\nwidth = 0b11\n", "2: bad width '0b11'"},
        ErrorCase{"[camera]\nwidth = 99999999999999999999999\n", "2: width 99999999999999999999999 is above 65535"},
        ErrorCase{"[camera]\nformat = 7\n", "2: format 7 is above 6"},
        ErrorCase{"[camera]\ni2c_mode = 5\n", "2: i2c_mode 5 is above 4"},
        ErrorCase{"[camera]\nwidth = 1\nwidth = 2\n", "3: width given twice"},
        ErrorCase{"[camera]\ncolour = red\n", "2: unknown camera key 'colour'"},
        ErrorCase{"[camera]\nwidth 240\n", "2: expected key = value"},
        ErrorCase{"[camera]\n[camera]\n", "2: second [camera] section"},
        ErrorCase{"[lens]\n", "1: unknown section [lens] ([camera], [board] or [sensor])"},
        ErrorCase{"[camera]\n[board]\nrequest 1 2 3 1 2 3 4 5 6 7 8 9 10 11\n", "3: more than 10 data bytes"},
        ErrorCase{"[camera]\n[board]\nrequest 0x100 0 0\n", "3: command 0x100 is above 255"},
        ErrorCase{"[camera]\n[board]\nrequest 1 2\n", "3: request takes a command, a value, an index and data bytes"},
        ErrorCase{"[camera]\n[board]\nrequest 1 2 3 256\n", "3: data byte 256 is above 255"},
        ErrorCase{"[camera]\n[sensor]\nreg 1\n", "3: reg takes a register and a value"},
        ErrorCase{"[camera]\n[sensor]\nreg 1 2 usb=5\n", "3: USB type 5 is above 4"},
        ErrorCase{"[camera]\n[sensor]\nreg 1 2 usb=0\n", "3: USB type 0 (leave usb= out to apply to every board)"},
        ErrorCase{"[camera]\n[sensor]\ndelay 70000\n", "3: delay 70000 is above 60000"},
        ErrorCase{"[camera]\n[sensor]\nwrite 1 2\n", "3: unknown step 'write' (reg, request or delay)"},
        ErrorCase{"[camera]\nname = 0123456789012345678901234567890123456789012345678901234567\n",
                  "2: name longer than 55 characters"}));

TEST(ConfigFile, AMissingFileAndALongLineAreRefused) {
    ConfigFileResult r{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(lumivex_parse_config("/nonexistent/camera.cfg", &r), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "/nonexistent/camera.cfg: cannot open: No such file or directory\n");
    EXPECT_EQ(lumivex_parse_config(nullptr, &r), -1);
    const std::string path = writeFile("[camera]\n# " + std::string(2000, 'x') + "\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(lumivex_parse_config(path.c_str(), &r), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), path + ":2: line longer than 1024 characters\n");
}

}  // namespace
