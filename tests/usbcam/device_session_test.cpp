// Discovery, opening, validation, buffers and closing, through the virtual bus.
#include <cstdlib>

#include "usb_clock.h"
#include "session_probe.h"
#include "virtual_bus.h"

using namespace LumivexTest;

namespace {

TEST_F(BusTest, VendorIdZeroOpensAMakerBoardAndIsWrittenBack) {
    configureBus("vid=0x1234,pid=0x00F1;vid=0x04B4,pid=0x00F1,serial=SECOND");
    LumivexCfg cfg = sensorConfig();
    HxUsbCameraLib camera;
    ASSERT_EQ(camera.open(&cfg), 0u);
    EXPECT_EQ(cfg.vendorId, 0x04B4);
    EXPECT_EQ(cfg.usbType, 1);
    EXPECT_EQ(camera.close(), 0u);
}

TEST_F(BusTest, AnIndexBeyondTheBoardsLeavesAHandleThatCloses) {
    configureBus("pid=0x00F1;pid=0x00F1");
    LumivexCfg cfg = sensorConfig();
    LumivexHandle handle = nullptr;
    EXPECT_EQ(Lumivex_open(&handle, &cfg, 2), USB_CAMERA_NO_DEVICE);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(Lumivex_close(handle), 0u);
    handle = nullptr;
    EXPECT_EQ(Lumivex_open(&handle, &cfg, 1), 0u);
    EXPECT_NE(busLog().find("open 04b4:00f1 address 3"), std::string::npos);
    EXPECT_EQ(Lumivex_close(handle), 0u);
}

struct TypeCase {
    const char* board;
    uint8_t openType, classType, speedClass;
};

class UsbTypeTest : public BusTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(UsbTypeTest, OpenAndGetUsbTypeClassifyTheBoard) {
    const TypeCase c = GetParam();
    configureBus(c.board);
    LumivexCfg cfg = sensorConfig();
    LumivexHandle handle = nullptr;
    ASSERT_EQ(Lumivex_autoopen(&handle, &cfg), 0u);
    EXPECT_EQ(cfg.usbType, c.openType);
    uint8_t type = 0, speedClass = 0;
    EXPECT_EQ(Lumivex_getUsbType(handle, &type, &speedClass), 0u);
    EXPECT_EQ(type, c.classType);
    EXPECT_EQ(speedClass, c.speedClass);
    Lumivex_close(handle);
}

INSTANTIATE_TEST_SUITE_P(Boards, UsbTypeTest,
                         ::testing::Values(TypeCase{"pid=0x03F1,speed=high", 4, 3, 2},
                                           TypeCase{"pid=0x03F1,speed=super", 3, 3, 3},
                                           TypeCase{"pid=0x03F2,speed=full", 4, 3, 2},
                                           TypeCase{"pid=0x52CB", 2, 2, 2},
                                           TypeCase{"pid=0x02F1,speed=super", 2, 2, 3},
                                           TypeCase{"pid=0x00F1", 1, 1, 2}));

struct ValidationCase {
    uint32_t width, height;
    uint8_t bytesPerPixel;
    uint32_t transferUnits;
    uint32_t result;
};

class ValidationTest : public BusTest, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(ValidationTest, ConfigurationsAreCheckedBeforeBuffersAreMade) {
    const ValidationCase c = GetParam();
    configureBus("pid=0x00F1");
    LumivexCfg cfg = sensorConfig();
    cfg.width = c.width;
    cfg.height = c.height;
    cfg.bytesPerPixel = c.bytesPerPixel;
    cfg.transferUnits = c.transferUnits;
    LumivexHandle handle = nullptr;
    EXPECT_EQ(Lumivex_open(&handle, &cfg, 0), c.result);
    Lumivex_close(handle);
}

INSTANTIATE_TEST_SUITE_P(Limits, ValidationTest,
                         ::testing::Values(ValidationCase{0, 180, 2, 0, USB_CAMERA_PARAMETER_ERROR},
                                           ValidationCase{240, 65536, 2, 0, USB_CAMERA_PARAMETER_ERROR},
                                           ValidationCase{240, 180, 3, 0, USB_CAMERA_PARAMETER_ERROR},
                                           ValidationCase{240, 180, 0, 0, USB_CAMERA_PARAMETER_ERROR},
                                           ValidationCase{240, 180, 2, 129, USB_CAMERA_PARAMETER_ERROR},
                                           ValidationCase{240, 180, 2, 128, 0},
                                           ValidationCase{65535, 1, 1, 0, 0}));

TEST_F(BusTest, AFailedInitialisationClosesTheBoardBeforeTheNextIsTried) {
    configureBus("pid=0x00F1;pid=0x00F1");
    LumivexCfg cfg = sensorConfig();
    cfg.width = 0;  // no board can take it
    LumivexHandle handle = nullptr;
    EXPECT_EQ(Lumivex_autoopen(&handle, &cfg), USB_CAMERA_PARAMETER_ERROR);
    const std::string log = busLog();
    EXPECT_EQ(countOf(log, "open 04b4:00f1"), 2);
    EXPECT_EQ(countOf(log, "close 04b4:00f1"), 2);
    EXPECT_EQ(lumivex_vusb_open_handles(), 0);
    Lumivex_close(handle);
}

TEST_F(BusTest, BoardsThatDoNotOpenAreSkippedAndNoneGivesNoDevice) {
    configureBus("pid=0x00F1,open_fail;pid=0x00F1,serial=OPENS");
    LumivexCfg cfg = sensorConfig();
    LumivexHandle handle = nullptr;
    ASSERT_EQ(Lumivex_autoopen(&handle, &cfg), 0u);
    uint8_t serial[17] = {};
    EXPECT_EQ(Lumivex_readUserData(handle, 1008, 16, serial), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(serial), "OPENS");
    Lumivex_close(handle);

    configureBus("pid=0x00F1,open_fail");
    EXPECT_EQ(Lumivex_autoopen(&handle, &cfg), USB_CAMERA_NO_DEVICE);
    Lumivex_close(handle);
    configureBus("pid=0x00F1,desc_fail;pid=0x00F1");
    EXPECT_EQ(Lumivex_autoopen(&handle, &cfg), USB_CAMERA_NO_DEVICE);  // ends at the unreadable descriptor
    Lumivex_close(handle);
    configureBus("list_fail;pid=0x00F1");
    EXPECT_EQ(Lumivex_autoopen(&handle, &cfg), USB_CAMERA_DEVICE_LIST_ERROR);
    Lumivex_close(handle);
}

struct BufferCase {
    uint32_t format, width, height;
    uint8_t bytesPerPixel;
    uint32_t size;
};

class BufferSizeTest : public BusTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferSizeTest, SixSlotsOfTheFormatsSizeRoundedTo1024) {
    const BufferCase c = GetParam();
    configureBus("pid=0x00F1");
    LumivexCfg cfg = sensorConfig(2, c.format);
    cfg.width = c.width;
    cfg.height = c.height;
    cfg.bytesPerPixel = c.bytesPerPixel;
    Probe camera;
    ASSERT_EQ(camera.open(&cfg, 0), 0u);
    EXPECT_EQ(camera.frameBufferSize, c.size);
    for (const auto& slot : camera.frameSlots) EXPECT_NE(slot.data, nullptr);
    camera.close();
    for (const auto& slot : camera.frameSlots) EXPECT_EQ(slot.data, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Formats, BufferSizeTest,
                         ::testing::Values(BufferCase{1, 640, 480, 1, 614400}, BufferCase{0, 641, 1, 1, 1024},
                                           BufferCase{2, 100, 3, 2, 1024}, BufferCase{5, 100, 10, 2, 4096},
                                           BufferCase{6, 512, 1, 1, 1024}, BufferCase{3, 640, 480, 2, 614400},
                                           BufferCase{4, 240, 180, 2, 86016 + 1024}, BufferCase{9, 10, 10, 1, 1024}));

TEST_F(BusTest, ScanCountsWithoutOpeningAndReadsSerialsWhenGivenAList) {
    configureBus("pid=0x00F1,serial=AAAA-BBBB-CCCC;vid=0x1234;vid=0x52CB,pid=0x52CB,serial=DDDD-EEEE-FFFF");
    EXPECT_EQ(Lumivex_scan(nullptr), 2u);
    EXPECT_EQ(countOf(busLog(), "open "), 0);
    LumivexIndexinfo list[2];
    std::memset(list, 0x55, sizeof list);
    EXPECT_EQ(Lumivex_scan(list), 2u);
    EXPECT_EQ(list[0].index, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list[0].serialNumber), 14), "AAAA-BBBB-CCCC");
    EXPECT_EQ(list[1].index, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list[1].serialNumber), 14), "DDDD-EEEE-FFFF");
    EXPECT_NE(busLog().find("bRequest=0xF7 wValue=0x1FF0 wIndex=0x1000 wLength=16"), std::string::npos);
}

TEST_F(BusTest, AScannedBoardThatDoesNotOpenKeepsTheCallersSerialBytes) {
    configureBus("pid=0x00F1,open_fail;pid=0x00F1,serial=XY");
    LumivexIndexinfo list[2];
    std::memset(list, 0x55, sizeof list);
    EXPECT_EQ(Lumivex_scan(list), 2u);
    EXPECT_EQ(list[0].index, 0);
    EXPECT_EQ(list[0].serialNumber[0], 0x55);
    EXPECT_EQ(list[1].serialNumber[0], 'X');
}

TEST_F(BusTest, ScanByVendorListsOneBasedPositionsOfExactMatches) {
    configureBus("vid=0x1111;vid=0x04B4;vid=0x1111;vid=0x52CB");
    unsigned int positions[4] = {};
    EXPECT_EQ(Lumivex_scan_old(positions, 0x1111), 2u);
    EXPECT_EQ(positions[0], 1u);
    EXPECT_EQ(positions[1], 3u);
    EXPECT_EQ(Lumivex_scan_old(positions, 0), 0u);  // no default ids here
    configureBus("vid=0x1111,desc_fail");
    EXPECT_EQ(Lumivex_scan_old(positions, 0x1111), USB_CAMERA_NO_DEVICE);
}

TEST_F(BusTest, RepeatedScansAndOpensLeaveNothingBehind) {
    configureBus("pid=0x00F1,count=3");
    LumivexIndexinfo list[3];
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(Lumivex_scan(list), 3u);
        unsigned int positions[3];
        ASSERT_EQ(Lumivex_scan_old(positions, 0x04B4), 3u);
    }
    LumivexCfg cfg = sensorConfig();
    LumivexHandle a = nullptr, b = nullptr;
    ASSERT_EQ(Lumivex_open(&a, &cfg, 0), 0u);
    ASSERT_EQ(Lumivex_open(&b, &cfg, 2), 0u);
    EXPECT_EQ(Lumivex_scan(list), 3u);  // scanning while boards are open
    EXPECT_EQ(lumivex_vusb_default_context_refs(), 2);
    Lumivex_close(a);
    EXPECT_EQ(lumivex_vusb_default_context_refs(), 1);
    uint32_t value = 0;
    EXPECT_EQ(Lumivex_readReg_8_8(b, 0x46, 0, &value), 0u);  // the other handle still works
    Lumivex_close(b);
    HxUsbCameraLib neverOpened;
    EXPECT_EQ(neverOpened.close(), 0u);  // nothing to clear
}

TEST_F(BusTest, OpeningProbesTheControllerAndSynchronisesTheClockThreeTimes) {
    configureBus("pid=0x00F1,ctrl=0x30,date=21/6/6,fw=0x0314");
    std::srand(42);
    const int expected = std::rand();
    std::srand(42);
    LumivexCfg cfg = sensorConfig();
    Probe camera;
    const int64_t before = LumivexUsb::ticksNow();
    ASSERT_EQ(camera.open(&cfg, 0), 0u);
    EXPECT_EQ(std::rand(), expected);  // the program's own sequence is untouched
    EXPECT_EQ(camera.deviceInfo.controllerPresent, 1);
    EXPECT_EQ(camera.deviceInfo.controllerVersion, 0x30u);
    EXPECT_EQ(camera.deviceInfo.date[0] * 1000 + camera.deviceInfo.date[1] * 100 + camera.deviceInfo.date[2], 21606u);
    EXPECT_EQ(camera.deviceInfo.firmwareVersion, 0x0314u);
    uint32_t scratch = 99;
    lumivex_vusb_register(0, 0x46, 4, &scratch);
    EXPECT_EQ(scratch, 0u);  // written back after the probe
    const std::string log = busLog();
    EXPECT_EQ(countOf(log, "bRequest=0xB0 wValue=0x0000 wIndex=0x0000 wLength=24"), 3);
    EXPECT_EQ(countOf(log, "bRequest=0xB1 wValue=0x0000 wIndex=0x0000 wLength=16"), 3);
    // The host time goes out little-endian in bytes 8 to 15, counted from 1601.
    const size_t at = log.find("bRequest=0xB1");
    const std::string data = log.substr(log.find("data=[", at) + 6, 47);
    uint64_t sent = 0;
    for (int i = 7; i >= 0; --i) sent = sent << 8 | std::strtoul(data.substr(24 + 3 * size_t(i), 2).c_str(), nullptr, 16);
    const uint64_t hostBefore = uint64_t(before) + 116444736000000000ull;
    EXPECT_GE(sent, hostBefore);
    EXPECT_LT(sent, hostBefore + 100000000ull);  // within 10 s
    camera.close();
    EXPECT_NE(busLog().find("bRequest=0xD7 wValue=0x4600 wIndex=0x0100 wLength=1 data=[0F]"), std::string::npos);
}

TEST_F(BusTest, ABoardWithoutControllerIsRecognised) {
    configureBus("pid=0x00F1,ctrl=none");
    LumivexCfg cfg = sensorConfig();
    Probe camera;
    ASSERT_EQ(camera.open(&cfg, 0), 0u);
    EXPECT_EQ(camera.deviceInfo.controllerPresent, 0);
    EXPECT_EQ(camera.deviceInfo.controllerVersion, 0u);
    camera.close();
}

TEST_F(BusTest, SetCamCfgReplacesTheBuffersOfAnOpenBoard) {
    configureBus("pid=0x00F1");
    LumivexCfg cfg = sensorConfig();
    LumivexHandle handle = nullptr;
    ASSERT_EQ(Lumivex_open(&handle, &cfg, 0), 0u);
    lumivex_vusb_clear_log();
    LumivexCfg bigger = sensorConfig(3, 1);
    bigger.width = 640;
    bigger.height = 480;
    EXPECT_EQ(Lumivex_setCamCfg(handle, &bigger), 0u);
    EXPECT_NE(busLog().find("bRequest=0xD7 wValue=0x4600 wIndex=0x0300 wLength=1 data=[40]"), std::string::npos);
    LumivexCfg read;
    std::memset(&read, 0, sizeof read);
    read.userValue = 77;
    EXPECT_EQ(Lumivex_getSensorCfg(handle, &read), 0u);
    EXPECT_EQ(read.width, 640u);
    EXPECT_EQ(read.i2cMode, 3u);
    EXPECT_EQ(read.format, 1u);
    EXPECT_EQ(read.usbType, 1);
    EXPECT_EQ(read.userValue, 77u);  // left as it was
    bigger.bytesPerPixel = 3;
    EXPECT_EQ(Lumivex_setCamCfg(handle, &bigger), USB_CAMERA_PARAMETER_ERROR);
    Lumivex_close(handle);
}

TEST(UsbVersion, PrintsMajorAndTheMinorNibble) {
    ::testing::internal::CaptureStdout();
    printUSBVersion(0x0210);
    printUSBVersion(0x0320);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "usb version:2.1\nusb version:3.2\n");
}

TEST(DriverInfo, NewCyUSBDeviceFollowsTheRecord) {
    HxUsbCameraLib camera;
    EXPECT_EQ(camera.NewCyUSBDevice(nullptr), nullptr);
    USB2DriverInfo empty{nullptr, 7};
    EXPECT_EQ(camera.NewCyUSBDevice(&empty), nullptr);
    EXPECT_EQ(empty.reserved, 0u);
    auto* fake = reinterpret_cast<libusb_device_handle*>(&empty);
    USB2DriverInfo full{fake, 7};
    EXPECT_EQ(camera.NewCyUSBDevice(&full), fake);
}

}  // namespace
