// Vendor requests on the wire: encodings of every register width, the
// firmware gate, sensor access by i2cMode, user data bounds and statuses.
#include "session_probe.h"
#include "virtual_bus.h"

using namespace LumivexTest;

namespace {

class OpenBoard : public BusTest {
protected:
    void open(const std::string& board, uint32_t i2cMode = 2) {
        configureBus(board);
        LumivexCfg cfg = sensorConfig(i2cMode);
        ASSERT_EQ(Lumivex_open(&handle, &cfg, 0), 0u);
        lumivex_vusb_clear_log();
    }
    void TearDown() override {
        if (handle != nullptr) Lumivex_close(handle);
        BusTest::TearDown();
    }
    LumivexHandle handle = nullptr;
};

using WriteFn = uint32_t (*)(LumivexHandle, uint32_t, uint32_t, uint32_t);
using ReadFn = uint32_t (*)(LumivexHandle, uint32_t, uint32_t, uint32_t*);

struct WidthCase {
    const char* name;
    WriteFn write;
    ReadFn read;
    uint32_t reg, value;
    const char* writeLine;  // the request on the wire
    const char* readLine;
    uint32_t readBack;      // the value as the width carries it
};

void PrintTo(const WidthCase& c, std::ostream* os) { *os << c.name; }

class WidthTest : public OpenBoard, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(WidthTest, EncodesAddressRegisterAndValueAsDocumented) {
    const WidthCase c = GetParam();
    open("pid=0x00F1,fw=0x0314");
    EXPECT_EQ(c.write(handle, 0x34, c.reg, c.value), 0u);
    uint32_t value = 0;
    EXPECT_EQ(c.read(handle, 0x34, c.reg, &value), 0u);
    EXPECT_EQ(value, c.readBack);
    const auto lines = requestLines(busLog());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, lines[0].find(" -> ")), c.writeLine);
    EXPECT_EQ(lines[1].substr(0, lines[1].find(" data=")), c.readLine);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, WidthTest,
    ::testing::Values(
        WidthCase{"w8_8", Lumivex_writeReg_8_8, Lumivex_readReg_8_8, 0x12, 0xABCD,
                  "ctrl bmRequestType=0x40 bRequest=0xD7 wValue=0x3400 wIndex=0x1200 wLength=1 data=[CD]",
                  "ctrl bmRequestType=0xC0 bRequest=0xD6 wValue=0x3400 wIndex=0x1200 wLength=2", 0xCD},
        WidthCase{"w8_16", Lumivex_writeReg_8_16, Lumivex_readReg_8_16, 0x12, 0xABCD,
                  "ctrl bmRequestType=0x40 bRequest=0xD5 wValue=0x3400 wIndex=0x1200 wLength=2 data=[AB CD]",
                  "ctrl bmRequestType=0xC0 bRequest=0xD4 wValue=0x3400 wIndex=0x1200 wLength=3", 0xABCD},
        WidthCase{"w16_8", Lumivex_writeReg_16_8, Lumivex_readReg_16_8, 0x3000, 0x1A5,
                  "ctrl bmRequestType=0x40 bRequest=0xE0 wValue=0x3400 wIndex=0x3000 wLength=1 data=[A5]",
                  "ctrl bmRequestType=0xC0 bRequest=0xDF wValue=0x3400 wIndex=0x3000 wLength=2", 0xA5},
        WidthCase{"w16_16", Lumivex_writeReg_16_16, Lumivex_readReg_16_16, 0x3000, 0x1234,
                  "ctrl bmRequestType=0x40 bRequest=0xE1 wValue=0x3400 wIndex=0x3000 wLength=2 data=[12 34]",
                  "ctrl bmRequestType=0xC0 bRequest=0xE2 wValue=0x3400 wIndex=0x3000 wLength=3", 0x1234},
        WidthCase{"w16_32", Lumivex_writeReg_16_32, Lumivex_readReg_16_32, 0x3000, 0x12345678,
                  "ctrl bmRequestType=0x40 bRequest=0xE5 wValue=0x3400 wIndex=0x3000 wLength=4 data=[12 34 56 78]",
                  "ctrl bmRequestType=0xC0 bRequest=0xE6 wValue=0x3400 wIndex=0x3000 wLength=5", 0x12345678}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OpenBoard, ThirtyTwoBitAccessNeedsFirmware3Minor14) {
    open("pid=0x00F1,fw=0x0313");
    uint32_t value = 7;
    EXPECT_EQ(Lumivex_writeReg_16_32(handle, 0x34, 0x10, 1), USB_CAMERA_NOT_SUPPORTED);
    EXPECT_EQ(Lumivex_readReg_16_32(handle, 0x34, 0x10, &value), USB_CAMERA_NOT_SUPPORTED);
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(requestLines(busLog()).empty());  // no traffic at all
    Lumivex_close(handle);
    handle = nullptr;
    // i2cMode 4 on such a board is refused at open.
    configureBus("pid=0x00F1,fw=0x0313");
    LumivexCfg cfg = sensorConfig(4);
    EXPECT_EQ(Lumivex_open(&handle, &cfg, 0), USB_CAMERA_NOT_SUPPORTED);
    Lumivex_close(handle);
    handle = nullptr;
    configureBus("pid=0x00F1,fw=0x0414");  // major 4 is not 3
    EXPECT_EQ(Lumivex_open(&handle, &cfg, 0), USB_CAMERA_NOT_SUPPORTED);
}

struct ModeCase {
    uint32_t mode;
    const char* request;  // bRequest of the write, or null for none
};

class SensorModeTest : public OpenBoard, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(SensorModeTest, SensorAccessFollowsI2cMode) {
    const ModeCase c = GetParam();
    open("pid=0x00F1,fw=0x0314", c.mode);
    const uint32_t result = Lumivex_writeSensorReg(handle, 0x20, 0x5A);
    if (c.request == nullptr) {
        EXPECT_EQ(result, USB_CAMERA_CONTROL_ERROR);
        uint32_t value = 0;
        EXPECT_EQ(Lumivex_readSensorReg(handle, 0x20, &value), USB_CAMERA_CONTROL_ERROR);
        EXPECT_TRUE(requestLines(busLog()).empty());
        return;
    }
    EXPECT_EQ(result, 0u);
    uint32_t value = 0;
    EXPECT_EQ(Lumivex_readSensorReg(handle, 0x20, &value), 0u);
    EXPECT_EQ(value, 0x5Au);
    EXPECT_NE(busLog().find(std::string("bRequest=") + c.request + " wValue=0x3400"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, SensorModeTest,
                         ::testing::Values(ModeCase{0, "0xD7"}, ModeCase{1, "0xD5"}, ModeCase{2, "0xE0"},
                                           ModeCase{3, "0xE1"}, ModeCase{4, "0xE5"}, ModeCase{5, nullptr}));

TEST_F(OpenBoard, UserDataStaysWithinTheAreaAndItsChunkSize) {
    open("pid=0x00F1,serial=ABCDEFGHIJKLMNOP");
    uint8_t buffer[40] = {};
    EXPECT_EQ(Lumivex_readUserData(handle, 1000, 32, buffer), USB_CAMERA_USER_DATA_RANGE);
    EXPECT_EQ(Lumivex_readUserData(handle, 0, 33, buffer), USB_CAMERA_USER_DATA_TOO_LONG);
    EXPECT_EQ(Lumivex_writeUserData(handle, 1023, 2, buffer), USB_CAMERA_USER_DATA_RANGE);
    EXPECT_TRUE(requestLines(busLog()).empty());
    EXPECT_EQ(Lumivex_readUserData(handle, 992, 32, buffer), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 16), 16), "ABCDEFGHIJKLMNOP");
    uint8_t note[4] = {1, 2, 3, 4};
    EXPECT_EQ(Lumivex_writeUserData(handle, 10, 4, note), 0u);
    uint8_t back[4] = {};
    EXPECT_EQ(Lumivex_readUserData(handle, 10, 4, back), 0u);
    EXPECT_EQ(back[3], 4);
    EXPECT_NE(busLog().find("bRequest=0xF8 wValue=0x1C0A wIndex=0x0400 wLength=4 data=[01 02 03 04]"),
              std::string::npos);
}

struct StatusCase {
    const char* board;
    uint32_t readReg8;      // readReg_8_8's result
    uint32_t readReg16_32;  // readReg_16_32's result
    uint32_t readReg;       // the non-virtual readReg through CheckI2cStatus
    uint32_t length;        // readReg's wLength
};

class StatusTest : public BusTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTest, StatusBytesReachTheCallerAsDocumented) {
    const StatusCase c = GetParam();
    configureBus(c.board);
    LumivexCfg cfg = sensorConfig();
    Probe camera;
    ASSERT_EQ(camera.open(&cfg, 0), 0u);
    uint32_t value = 0;
    EXPECT_EQ(camera.readReg_8_8(0x34, 1, &value), c.readReg8);
    EXPECT_EQ(camera.readReg_16_32(0x34, 1, &value), c.readReg16_32);
    lumivex_vusb_clear_log();
    EXPECT_EQ(camera.readReg(0x34, 0x3000, &value), c.readReg);
    EXPECT_NE(busLog().find("bRequest=0xE2 wValue=0x6400 wIndex=0x3000 wLength=" + std::to_string(c.length)),
              std::string::npos);
    camera.close();
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusTest,
    ::testing::Values(StatusCase{"pid=0x00F1,bcd=0x0020,status=6", 0, 6, USB_CAMERA_I2C_STATUS6_ERROR, 3},
                      StatusCase{"pid=0x00F1,bcd=0x0020,status=7", 0, 7, USB_CAMERA_I2C_STATUS7_ERROR, 3},
                      StatusCase{"pid=0x00F1,bcd=0x0020,status=10", 0, 10, USB_CAMERA_I2C_STATUS10_ERROR, 3},
                      StatusCase{"pid=0x00F1,bcd=0x0020,status=5", 0, 5, 0, 3},
                      StatusCase{"pid=0x00F1,bcd=0x0017,status=6", 0, 6, 0, 2},
                      // USB type 3 (as getUsbType classifies): readReg_8_8 returns the status byte
                      StatusCase{"pid=0x03F1,speed=super,bcd=0x0020,status=7", 7, 7, USB_CAMERA_I2C_STATUS7_ERROR, 3},
                      StatusCase{"pid=0x03F1,speed=high,bcd=0x0020,status=0", 0, 0, 0, 3}));

TEST_F(OpenBoard, WriteRegReportsTheStatusOfItsDataByte) {
    open("pid=0x00F1,bcd=0x0020");
    auto* camera = static_cast<HxUsbCameraLib*>(handle);
    EXPECT_EQ(camera->writeReg(0x34, 0x3000, 0x07), USB_CAMERA_I2C_STATUS7_ERROR);
    EXPECT_EQ(camera->writeReg(0x34, 0x3000, 0x01), 0u);
    EXPECT_NE(busLog().find("bRequest=0xE1 wValue=0x3400 wIndex=0x3000 wLength=1 data=[01]"), std::string::npos);
}

TEST_F(OpenBoard, FailedTransfersAndClosedDevicesAreReported) {
    open("pid=0x00F1,ctrl_error=0xD6");
    uint32_t value = 0;
    EXPECT_EQ(Lumivex_readReg_8_8(handle, 0x34, 1, &value), USB_CAMERA_CONTROL_ERROR);
    EXPECT_EQ(Lumivex_writeReg_8_8(handle, 0x34, 1, 1), 0u);
    uint8_t data[4] = {9, 9, 9, 9};
    unsigned int moved = 0;
    EXPECT_EQ(Lumivex_VRCMD(handle, 0x80, 0x80, 0, 0, 2, data, &moved), 0u);
    EXPECT_EQ(moved, 2u);  // the length asked for
    EXPECT_EQ(data[0], 0x03);
    EXPECT_EQ(data[1], 0x14);
    HxUsbCameraLib closed;
    EXPECT_EQ(closed.readReg_8_8(0x34, 1, &value), USB_CAMERA_NO_DEVICE);
    EXPECT_EQ(closed.SendVRCommand(0x80, 0x80, 0, 0, 2, data, &moved), USB_CAMERA_NO_DEVICE);
}

TEST_F(OpenBoard, BoardConfigurationRequestsDifferOnlyInDirection) {
    open("pid=0x00F1");
    uint8_t data[2] = {0x11, 0x22};
    EXPECT_EQ(Lumivex_setboardConfig(handle, 0xF6, 0x0102, 0x0304, 2, data), 0u);
    EXPECT_EQ(Lumivex_getboardConfig(handle, 0xF6, 0x0102, 0x0304, 2, data), 0u);
    const auto lines = requestLines(busLog());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, lines[0].find(" data=")), "ctrl bmRequestType=0x40 bRequest=0xF6 wValue=0x0102 wIndex=0x0304 wLength=2");
    EXPECT_EQ(lines[1].substr(0, lines[1].find(" data=")), "ctrl bmRequestType=0xC0 bRequest=0xF6 wValue=0x0102 wIndex=0x0304 wLength=2");
}

}  // namespace
