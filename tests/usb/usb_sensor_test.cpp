// The USB depth camera back-end on the virtual bus: its set-up traffic, the
// configuration file path, frame grouping, ranges, and depth end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <future>

#include "tof_camera.h"
#include "usb/usb_sensor.h"
#include "vkernel_control.h"
#include "vusb_control.h"
#include "../usbcam/virtual_bus.h"

using namespace Lumivex;
using namespace LumivexTest;

namespace {

std::string withoutResult(const std::string& line) { return line.substr(0, line.find(" -> ")); }

std::string writeConfig(const std::string& text) {
    static int n = 0;
    const std::string path = ::testing::TempDir() + "usb_" + std::to_string(getpid()) + "_" + std::to_string(n++) + ".cfg";
    std::ofstream(path) << text;
    return path;
}

template <typename F>
std::string stdoutOf(F&& body) {
    ::testing::internal::CaptureStdout();
    body();
    return ::testing::internal::GetCapturedStdout();
}

TEST_F(BusTest, TheBuiltInSetUpSendsTheBoardRequestsThenTheRegistersAndPrintsTheSerial) {
    configureBus("camera=depth,serial=ABCDEFGHIJKL");
    LumivexTOFUSBSensor sensor("", 0);
    const std::string out = stdoutOf([&] { EXPECT_EQ(sensor.open(), 0); });
    EXPECT_EQ(out, "Serial: ABCD-EFGH-IJKL\n");
    const auto lines = requestLines(busLog());
    ASSERT_GE(lines.size(), 145u);
    // The last 145 requests: 24 board requests, 120 register writes, the serial read.
    const std::vector<std::string> setUp(lines.end() - 145, lines.end());
    EXPECT_EQ(withoutResult(setUp[0]), "ctrl bmRequestType=0x40 bRequest=0xD7 wValue=0x4600 wIndex=0x0100 wLength=1 data=[85]");
    EXPECT_EQ(withoutResult(setUp[15]), "ctrl bmRequestType=0x40 bRequest=0xF6 wValue=0x0000 wIndex=0x0000 wLength=3 data=[03 04 0C]");
    EXPECT_EQ(withoutResult(setUp[23]), "ctrl bmRequestType=0x40 bRequest=0xF9 wValue=0x0001 wIndex=0x0000 wLength=0 data=[]");
    EXPECT_EQ(withoutResult(setUp[24]), "ctrl bmRequestType=0x40 bRequest=0xE0 wValue=0x3400 wIndex=0x1000 wLength=1 data=[00]");
    EXPECT_EQ(withoutResult(setUp[143]), "ctrl bmRequestType=0x40 bRequest=0xE0 wValue=0x3400 wIndex=0x1001 wLength=1 data=[01]");
    EXPECT_EQ(withoutResult(setUp[144]).substr(0, 76),
              "ctrl bmRequestType=0xC0 bRequest=0xF7 wValue=0x1FF0 wIndex=0x1000 wLength=16");
    int boardRequests = 0, registerWrites = 0, repeated586A = 0;
    for (int i = 0; i < 144; ++i) {
        boardRequests += i < 24;
        registerWrites += i >= 24 && setUp[size_t(i)].find("bRequest=0xE0 wValue=0x3400") != std::string::npos;
        repeated586A += setUp[size_t(i)].find("wIndex=0x586A") != std::string::npos;
    }
    EXPECT_EQ(boardRequests, 24);
    EXPECT_EQ(registerWrites, 120);
    EXPECT_EQ(repeated586A, 2);  // every write is sent, repeats included
    EXPECT_EQ(sensor.close(), 0);
}

TEST_F(BusTest, AFailedOpenWarnsAndLeavesAHandleThatCloseReleases) {
    configureBus("none");
    {
        LumivexTOFUSBSensor sensor("", 0);
        EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(sensor.open(), 1); }),
                  "camera_init ***WARNING*** Cannot open camera.rtn_val = 65281\n");
        EXPECT_EQ(lumivex_vusb_default_context_refs(), 1);  // the handle holds libusb
        EXPECT_EQ(sensor.close(), 0);
        EXPECT_EQ(lumivex_vusb_default_context_refs(), 0);
    }
    {
        LumivexTOFUSBSensor dropped("", 0);  // never closed: the destructor releases it
        stdoutOf([&] { dropped.open(); });
    }
}

TEST_F(BusTest, FileEntriesFilterByUsbTypeAndDelay) {
    const std::string path = writeConfig(
        "[camera]\nwidth = 240\nheight = 180\nbits_per_pixel = 12\nformat = 4\ni2c_mode = 2\ni2c_address = 0x34\n"
        "[board]\nrequest 0xF3 0 0 usb=3\nrequest 0xF9 1 0 usb=4\nrequest 0xD7 0x4600 0x0400 0x11\ndelay 50\n"
        "[sensor]\nreg 0x216C 0x10 usb=3\nreg 0x2179 0x0E\n");
    for (const char* board : {"camera=depth,speed=super", "camera=depth,speed=high"}) {
        configureBus(board);
        LumivexTOFUSBSensor sensor(path.c_str(), 0);
        const auto began = std::chrono::steady_clock::now();
        stdoutOf([&] { EXPECT_EQ(sensor.open(), 0); });
        EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(50));  // the delay entry
        const std::string log = busLog();
        const bool type3 = std::string(board).find("super") != std::string::npos;
        EXPECT_EQ(countOf(log, "bRequest=0xF3"), type3 ? 1 : 0) << board;
        EXPECT_EQ(countOf(log, "bRequest=0xF9"), type3 ? 0 : 1) << board;
        EXPECT_EQ(countOf(log, "wIndex=0x0400 wLength=1 data=[11]"), 1) << board;  // no filter: always
        EXPECT_EQ(countOf(log, "wIndex=0x216C"), type3 ? 1 : 0) << board;
        EXPECT_EQ(countOf(log, "wIndex=0x2179"), 1) << board;
        sensor.close();
    }
}

struct BitsCase {
    int bits;
    const char* output;  // standard output of open
};

class BitsTest : public BusTest, public ::testing::WithParamInterface<BitsCase> {};

TEST_P(BitsTest, BitsPerPixelGiveBytesPerPixel) {
    const BitsCase c = GetParam();
    configureBus("camera=depth,serial=ABCDEFGHIJKL");
    const std::string path = writeConfig("[camera]\nwidth = 240\nheight = 180\nbits_per_pixel = " +
                                         std::to_string(c.bits) + "\nformat = 4\ni2c_address = 0x34\n");
    LumivexTOFUSBSensor sensor(path.c_str(), 0);
    EXPECT_EQ(stdoutOf([&] { sensor.open(); }), c.output);
    sensor.close();
}

INSTANTIATE_TEST_SUITE_P(Widths, BitsTest,
                         ::testing::Values(BitsCase{12, "Serial: ABCD-EFGH-IJKL\n"},
                                           // 8 bits give 1 byte a sample, 20 bits none: not the sensor's
                                           // frames, refused before the board is touched
                                           BitsCase{8, "camera_initWithFile ***WARNING*** The file's frames of 240 x 180 x 1 "
                                                       "bytes are not the sensor's 240 x 180 x 2.\n"},
                                           BitsCase{20, "camera_initWithFile ***WARNING*** The file's frames of 240 x 180 x 0 "
                                                        "bytes are not the sensor's 240 x 180 x 2.\n"}));

TEST_F(BusTest, AFileWithAnotherFrameSizeIsRefusedBeforeAnyBoardTraffic) {
    configureBus("camera=depth");
    for (const char* size : {"width = 320\nheight = 240\nbits_per_pixel = 12", "width = 240\nheight = 180\nbits_per_pixel = 8",
                             "width = 240\nheight = 90\nbits_per_pixel = 12"}) {
        const std::string path = writeConfig(std::string("[camera]\n") + size + "\nformat = 4\n");
        LumivexTOFUSBSensor sensor(path.c_str(), 0);
        lumivex_vusb_clear_log();
        const std::string out = stdoutOf([&] { EXPECT_EQ(sensor.open(), 1) << size; });
        EXPECT_EQ(out.rfind("camera_initWithFile ***WARNING*** The file's frames of ", 0), 0u) << out;
        EXPECT_EQ(busLog(), "") << size;  // not even opened
        EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(sensor.start(), -1); }),
                  "start ***WARNING*** Error beginning capture, rtn_val = 65312\n");
        std::vector<uint8_t> frame(kRawFrameBytes);
        uint64_t stamp = 0;
        EXPECT_EQ(sensor.getFrame(frame.data(), &stamp), -1);  // nothing captured (start has warned)
        sensor.close();
    }
}

TEST_F(BusTest, AnUnreadableFileIsReportedAndNothingIsOpened) {
    configureBus("camera=depth");
    LumivexTOFUSBSensor sensor("/nonexistent/camera.cfg", 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(sensor.open(), 1); }),
              "camera_initWithFile ***WARNING*** Cannot find configuration file.\n"
              "camera_initWithFile ***WARNING*** /nonexistent/camera.cfg: No such file or directory\n");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(busLog(), "open "), 0);
}

TEST_F(BusTest, StartTwiceAndFramesWhileNotStreaming) {
    configureBus("camera=depth");
    LumivexTOFUSBSensor sensor("", 0);
    stdoutOf([&] { ASSERT_EQ(sensor.open(), 0); });
    std::vector<uint8_t> frame(kRawFrameBytes, 0x5A);
    uint64_t stamp = 77;
    EXPECT_EQ(sensor.getFrame(frame.data(), &stamp), -1);  // not streaming: nothing captured
    EXPECT_EQ(stamp, 77u);
    EXPECT_EQ(frame[0], 0x5A);
    ASSERT_EQ(sensor.start(), 0);
    lumivex_vusb_clear_log();
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(busLog(), "");  // no library call
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

TEST_F(BusTest, RangeRegisterSetsAndControls) {
    configureBus("camera=depth");
    LumivexTOFUSBSensor sensor("", 0);
    stdoutOf([&] { ASSERT_EQ(sensor.open(), 0); });
    struct Case {
        int value;
        const char* registers[4];
    } cases[] = {{2, {"wIndex=0x216C wLength=1 data=[08]", "wIndex=0x2179 wLength=1 data=[0A]",
                      "wIndex=0x217A wLength=1 data=[0E]", "wIndex=0x217B wLength=1 data=[12]"}},
                 {3, {"wIndex=0x216C wLength=1 data=[10]", "wIndex=0x2179 wLength=1 data=[0E]",
                      "wIndex=0x217A wLength=1 data=[16]", "wIndex=0x217B wLength=1 data=[1E]"}},
                 {4, {"wIndex=0x216C wLength=1 data=[10]", "wIndex=0x2179 wLength=1 data=[0E]",
                      "wIndex=0x217A wLength=1 data=[16]", "wIndex=0x217B wLength=1 data=[1E]"}}};
    for (const auto& c : cases) {
        lumivex_vusb_clear_log();
        EXPECT_EQ(sensor.setControl(RANG, c.value), 0);
        // The four registers in table order, then the board clock read once
        // they are in force (the frames' clock at the switch).
        const auto lines = requestLines(busLog());
        ASSERT_EQ(lines.size(), 5u);
        for (int i = 0; i < 4; ++i) EXPECT_NE(lines[size_t(i)].find(c.registers[i]), std::string::npos) << lines[size_t(i)];
        EXPECT_NE(lines[4].find("bRequest=0xB0 wValue=0x0000 wIndex=0x0000 wLength=24"), std::string::npos) << lines[4];
    }
    EXPECT_EQ(sensor.setControl(EXPOSURE, 100), -1);
    int32_t value = 99;
    EXPECT_EQ(sensor.getControl(EXPOSURE, &value), -1);
    EXPECT_EQ(sensor.getControl(RANG, &value), 0);  // the range last put in force
    EXPECT_EQ(value, 4);
    sensor.setControl(RANG, 2);
    EXPECT_EQ(sensor.getControl(RANG, &value), 0);
    EXPECT_EQ(value, 2);
    sensor.close();
    // After a file's set-up the range is not known: nothing is written.
    const std::string path = writeConfig("[camera]\nwidth = 240\nheight = 180\nbits_per_pixel = 12\nformat = 4\n");
    LumivexTOFUSBSensor fromFile(path.c_str(), 0);
    stdoutOf([&] { ASSERT_EQ(fromFile.open(), 0); });
    value = 99;
    EXPECT_EQ(fromFile.getControl(RANG, &value), -1);
    EXPECT_EQ(value, 99);
    fromFile.close();
}

struct GroupCase {
    const char* stamps;       // device time stamps of the sub-frames
    uint64_t expected;        // the frame's time stamp
    uint8_t firstSubFrame;    // which sub-frame (0-based, in the board's order) lands first
};

class UsbGroupTest : public BusTest, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(UsbGroupTest, SubFramesGroupWithin4ms) {
    const GroupCase c = GetParam();
    // No bytes of the stream from before the start (it ran from the set-up on):
    // the first four sub-frames are the scripted ones.
    configureBus(std::string("camera=depth,fps=100,pipeline=0,stamps=") + c.stamps);
    LumivexTOFUSBSensor sensor("", 0);
    stdoutOf([&] { ASSERT_EQ(sensor.open(), 0); });
    ASSERT_EQ(sensor.start(), 0);
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint64_t stamp = 0;
    ASSERT_EQ(sensor.getFrame(frame.data(), &stamp), 0);
    EXPECT_EQ(stamp, c.expected);
    sensor.stop();
    sensor.close();
}

INSTANTIATE_TEST_SUITE_P(
    Stamps, UsbGroupTest,
    ::testing::Values(GroupCase{"100000/105000/110000/115000", 115000, 0},
                      // a gap of 80,000 restarts the group with the third sub-frame
                      GroupCase{"100000/120000/200000/205000/210000/215000", 215000, 2},
                      GroupCase{"100000/140000/180000/220000", 220000, 0}));

TEST_F(BusTest, SubFramesThatNeverGroupEndGetFrameWithinItsBound) {
    configureBus("camera=depth,fps=100,stamps=0/50000/100000/150000/200000/250000/300000/350000/400000/450000/"
                 "500000/550000/600000/650000/700000/750000/800000/850000/900000/950000/1000000");
    LumivexTOFUSBSensor sensor("", 0);
    stdoutOf([&] { ASSERT_EQ(sensor.open(), 0); });
    ASSERT_EQ(sensor.start(), 0);
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint64_t stamp = 0;
    // Stamps spaced 5 ms: every sub-frame restarts the group; then the board's
    // own clock takes over (spacing 0.5 ms) and a frame completes, or the
    // bound ends the call. Either way getFrame returns.
    auto result = std::async(std::launch::async, [&] { return sensor.getFrame(frame.data(), &stamp); });
    ASSERT_EQ(result.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    result.get();
    sensor.stop();
    sensor.close();
}

// A silent board ends getFrame after its 2 s wait (well before the
// transfers' 5 s time-out), and says so.
TEST_F(BusTest, AStalledBoardEndsGetFrameWithinItsWait) {
    configureBus("camera=depth,stall");
    LumivexTOFUSBSensor sensor("", 0);
    stdoutOf([&] { ASSERT_EQ(sensor.open(), 0); });
    ASSERT_EQ(sensor.start(), 0);
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint64_t stamp = 0;
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(sensor.getFrame(frame.data(), &stamp), -1); }),
              "getFrame ***WARNING*** No sub-frame from the camera in 2 s\n");
    // Interrupted (the session stopping), it returns at once and quietly.
    sensor.interruptCapture();
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(sensor.getFrame(frame.data(), &stamp), -1); }), "");
    sensor.stop();
    sensor.close();
}

// Depth over USB matches the scene, on both kinds of link.
class UsbDepthTest : public BusTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UsbDepthTest, DepthMatchesTheSceneAtBothRanges) {
    configureBus(std::string("camera=depth,") + GetParam());
    LumivexTOFCamera camera("/nonexistent/model");
    stdoutOf([&] { ASSERT_EQ(camera.open(USB, 0), 0); });
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    for (int range : {4, 2}) {
        ASSERT_EQ(camera.setControl(RANG, range), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        LumivexFrameBuffer* frame = nullptr;
        for (int i = 0; i < 3; ++i) {  // a frame or two may predate the range switch
            if (frame != nullptr) camera.releaseFrame(frame);
            frame = camera.requestFrame(3000);
            ASSERT_NE(frame, nullptr);
        }
        ASSERT_EQ(lumivex_vk_scene_truth("default", range, depth.data(), amplitude.data()), 0);
        const float* d = static_cast<float*>(frame->getData(DEPTH));
        for (uint32_t i = 0; i < kPixelCount; i += 7) ASSERT_NEAR(d[i], depth[i], 0.02f) << "range " << range << " pixel " << i;
        FrameDataFormat format{};
        frame->getFormat(DEPTH, format);
        EXPECT_GT(format.timestamp, 0u);
        camera.releaseFrame(frame);
        ASSERT_EQ(camera.stop(), 0);
    }
    EXPECT_EQ(camera.close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Links, UsbDepthTest, ::testing::Values("speed=super,link=short", "speed=high,link=full"),
                         [](const auto& info) { return std::string(info.index == 0 ? "ShortPackets" : "FullTransfers"); });

// A capture that ends inside a group gives no frame: never three planes of
// a frame and one of an older one.
TEST_F(BusTest, AFailureInsideAGroupGivesNoFrame) {
    for (const char* fault : {"disconnect_at=3", "error_at=3", "halt_at=3"}) {
        configureBus(std::string("camera=depth,link=short,speed=super,pipeline=0,") + fault);  // one sub-frame a transfer
        LumivexTOFUSBSensor sensor("", 0);
        stdoutOf([&] { ASSERT_EQ(sensor.open(), 0); });
        ASSERT_EQ(sensor.start(), 0);
        std::vector<uint8_t> frame(kRawFrameBytes, 0x5A);
        uint64_t stamp = 77;
        const std::string out = stdoutOf([&] { EXPECT_EQ(sensor.getFrame(frame.data(), &stamp), -1) << fault; });
        EXPECT_EQ(out.rfind("getFrame ***WARNING*** ", 0), 0u) << out;
        EXPECT_EQ(stamp, 77u) << fault;
        sensor.stop();
        sensor.close();
    }
}

TEST_F(BusTest, SpecialFramesAreDroppedWithOneWarning) {
    // Sub-frame 200 (counted from the board's power-up) is special: well
    // after the start, whatever the set-up took.
    configureBus("camera=depth,fps=60,pipeline=0,special_at=200");
    LumivexTOFUSBSensor sensor("", 0);
    stdoutOf([&] { ASSERT_EQ(sensor.open(), 0); });
    ASSERT_EQ(sensor.start(), 0);
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint64_t stamp = 0;
    std::string out;
    for (int i = 0; i < 120 && out.empty(); ++i)
        out += stdoutOf([&] { EXPECT_EQ(sensor.getFrame(frame.data(), &stamp), 0); });
    for (int i = 0; i < 10; ++i) out += stdoutOf([&] { EXPECT_EQ(sensor.getFrame(frame.data(), &stamp), 0); });
    EXPECT_EQ(out, "getFrame ***WARNING*** Frame of 86400 bytes (format 8) dropped: a sub-frame has 86400 bytes\n");
    sensor.stop();
    sensor.close();
}

// Every frame after a range switch is of the new range, on both kinds of link.
TEST_P(UsbDepthTest, FramesAfterARangeSwitchAreOfTheNewRange) {
    configureBus(std::string("camera=depth,") + GetParam());
    LumivexTOFCamera camera("/nonexistent/model");
    stdoutOf([&] { ASSERT_EQ(camera.open(USB, 0), 0); });
    std::vector<float> depth[2] = {std::vector<float>(kPixelCount), std::vector<float>(kPixelCount)};
    std::vector<float> amplitude(kPixelCount);
    ASSERT_EQ(lumivex_vk_scene_truth("default", 2, depth[0].data(), amplitude.data()), 0);
    ASSERT_EQ(lumivex_vk_scene_truth("default", 4, depth[1].data(), amplitude.data()), 0);
    ASSERT_EQ(camera.start(DEPTH), 0);
    for (int range : {2, 4, 2, 4, 2}) {
        ASSERT_EQ(camera.setControl(RANG, range), 0);
        // Frames captured before the switch may still be ready: only those
        // captured after it count. The worker converts with the new frequency.
        while (LumivexFrameBuffer* old = camera.requestFrame(0)) camera.releaseFrame(old);
        for (int n = 0; n < 2; ++n) {
            LumivexFrameBuffer* frame = camera.requestFrame(3000);
            ASSERT_NE(frame, nullptr);
            const float* d = static_cast<float*>(frame->getData(DEPTH));
            const std::vector<float>& truth = depth[range == 2 ? 0 : 1];
            for (uint32_t i = 0; i < kPixelCount; i += 97) ASSERT_NEAR(d[i], truth[i], 0.02f) << "range " << range << " frame " << n;
            camera.releaseFrame(frame);
        }
    }
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(camera.close(), 0);
}

// A board is one object's from its open: a second open (another camera
// object, or another program) is refused until the first closes it, and the
// first one's stream loses nothing.
TEST_F(BusTest, ASecondCameraObjectOnABoardInUseIsRefusedAndTouchesNothing) {
    configureBus("camera=depth");
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    ASSERT_EQ(lumivex_vk_scene_truth("default", 4, depth.data(), amplitude.data()), 0);
    LumivexTOFCamera first("/nonexistent/model"), second("/nonexistent/model");
    stdoutOf([&] { ASSERT_EQ(first.open(USB, 0), 0); });
    ASSERT_EQ(first.start(DEPTH), 0);
    const std::string refused = stdoutOf([&] {
        EXPECT_EQ(second.open(USB, 0), 1);
        EXPECT_NE(second.start(DEPTH), 0);
        EXPECT_FALSE(second.isStreaming());
        second.setControl(RANG, 2);
        EXPECT_EQ(second.requestFrame(100), nullptr);
    });
    EXPECT_EQ(refused.rfind("camera_init ***WARNING*** USB camera 0 is in use (by another camera object or program)\n",
                            0),
              0u)
        << refused;
    EXPECT_EQ(countOf(busLog(), "claim_interface 0 -> busy"), 1);
    const std::string streamed = stdoutOf([&] {
        uint64_t previous = 0;
        for (int i = 0; i < 6; ++i) {
            LumivexFrameBuffer* frame = first.requestFrame(3000);
            ASSERT_NE(frame, nullptr) << i;
            FrameDataFormat format{};
            frame->getFormat(DEPTH, format);
            EXPECT_GT(format.timestamp, previous) << i;
            EXPECT_EQ(format.range, 4) << i;  // the refused object's switch reached nothing
            previous = format.timestamp;
            const float* d = static_cast<float*>(frame->getData(DEPTH));
            for (uint32_t p = 0; p < kPixelCount; p += 97) ASSERT_NEAR(d[p], depth[p], 0.02f) << "frame " << i;
            first.releaseFrame(frame);
        }
        EXPECT_EQ(first.stop(), 0);
        EXPECT_EQ(first.close(), 0);
    });
    EXPECT_EQ(streamed, "");
    second.close();
    // Closed by the first, the board opens for another.
    LumivexTOFCamera third("/nonexistent/model");
    stdoutOf([&] { EXPECT_EQ(third.open(USB, 0), 0); });
    EXPECT_EQ(third.close(), 0);
}

// A stream survives the field: after a transfer error, a halt or an unplug
// and re-plug, frames resume by themselves, whole, in order and of the range
// in force, with one line for each fault and no flood.
struct FaultCase {
    const char* name;
    const char* fault;
    std::vector<const char*> lines;  // the warnings, in order
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class RecoveryTest : public BusTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(RecoveryTest, FramesResumeByThemselvesAtTheRangeInForce) {
    // One sub-frame a transfer: the fault comes about ten frames in.
    configureBus(std::string("camera=depth,speed=super,link=short,pipeline=0,") + GetParam().fault);
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    ASSERT_EQ(lumivex_vk_scene_truth("default", 2, depth.data(), amplitude.data()), 0);
    LumivexTOFCamera camera("/nonexistent/model");
    int frames = 0, wrong = 0, backwards = 0;
    const std::string out = stdoutOf([&] {
        ASSERT_EQ(camera.open(USB, 0), 0);
        ASSERT_EQ(camera.setControl(RANG, 2), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        uint64_t previous = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (frames < 40 && std::chrono::steady_clock::now() < deadline) {
            LumivexFrameBuffer* frame = camera.requestFrame(1000);
            if (frame == nullptr) continue;  // during the fault
            FrameDataFormat format{};
            frame->getFormat(DEPTH, format);
            const float* d = static_cast<float*>(frame->getData(DEPTH));
            bool same = format.range == 2;
            for (uint32_t i = 0; i < kPixelCount; i += 97) same = same && std::fabs(d[i] - depth[i]) < 0.02f;
            wrong += !same;
            backwards += format.timestamp <= previous;
            previous = format.timestamp;
            ++frames;
            camera.releaseFrame(frame);
        }
        EXPECT_EQ(camera.stop(), 0);
        EXPECT_EQ(camera.close(), 0);
    });
    EXPECT_EQ(frames, 40) << out;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(backwards, 0);
    std::string expected;
    for (const char* line : GetParam().lines) expected += std::string("getFrame ***WARNING*** ") + line + "\n";
    EXPECT_EQ(out.substr(out.find('\n') + 1), expected);  // after the serial number's line
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RecoveryTest,
    ::testing::Values(
        FaultCase{"TransferError", "error_at=40", {"Error capture image, rtn_val = 65312: the stream is restarted"}},
        FaultCase{"Halt", "halt_at=40", {"Error capture image, rtn_val = 65312: the stream is restarted"}},
        FaultCase{"UnplugAndReplug",
                  "disconnect_at=40,replug_after=300",
                  {"Error capture image, rtn_val = 65312: the stream is restarted",
                   "USB camera LMVX-T0F0-0001 is gone: waiting for it to come back",
                   "USB camera LMVX-T0F0-0001 is back: the stream goes on"}}),
    [](const auto& info) { return std::string(info.param.name); });

// While the board is gone, a wait of any length returns at once, and stop
// ends the wait for the board.
TEST_F(BusTest, WhileTheBoardIsGoneNothingWaits) {
    configureBus("camera=depth,speed=super,link=short,pipeline=0,disconnect_at=40");
    LumivexTOFCamera camera("/nonexistent/model");
    std::string out = stdoutOf([&] {
        ASSERT_EQ(camera.open(USB, 0), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            LumivexFrameBuffer* frame = camera.requestFrame(1000);
            if (frame == nullptr) break;
            camera.releaseFrame(frame);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // gone for good
        for (const int16_t timeout : {int16_t(5000), int16_t(-1)}) {
            const auto began = std::chrono::steady_clock::now();
            EXPECT_EQ(camera.requestFrame(timeout), nullptr);
            // A bound, far below the time-out asked for.
            EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2)) << timeout;
        }
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(camera.stop(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
        EXPECT_EQ(camera.close(), 0);
    });
    EXPECT_NE(out.find("is gone: waiting for it to come back"), std::string::npos) << out;
}

// A board's frame counter runs on across sessions: every session's frames
// are real, none blank, none reported as a sequence gap.
TEST_F(BusTest, EverySessionOfAReopenedCameraStartsWithARealFrame) {
    configureBus("camera=depth,seq_start=500");
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    ASSERT_EQ(lumivex_vk_scene_truth("default", 4, depth.data(), amplitude.data()), 0);
    LumivexTOFCamera camera("/nonexistent/model");
    for (int session = 0; session < 3; ++session) {
        const std::string out = stdoutOf([&] {
            ASSERT_EQ(camera.open(USB, 0), 0);
            ASSERT_EQ(camera.start(DEPTH), 0);
            LumivexFrameBuffer* frame = camera.requestFrame(3000);
            ASSERT_NE(frame, nullptr);
            FrameDataFormat format{};
            frame->getFormat(DEPTH, format);
            EXPECT_GT(format.timestamp, 0u);
            const float* d = static_cast<float*>(frame->getData(DEPTH));
            for (uint32_t i = 0; i < kPixelCount; i += 97) ASSERT_NEAR(d[i], depth[i], 0.02f) << "session " << session;
            camera.releaseFrame(frame);
            ASSERT_EQ(camera.stop(), 0);
            ASSERT_EQ(camera.close(), 0);
        });
        EXPECT_EQ(out.find("WARNING"), std::string::npos) << "session " << session << ": " << out;
    }
}

}  // namespace
