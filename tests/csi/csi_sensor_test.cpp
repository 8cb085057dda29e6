// The CSI back-end against the virtual V4L2 kernel, for every host platform:
// formats, control routing, media set-up, copy routines, frames against the
// rendered scene, every warning, and the release of descriptors and mappings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "csi/v4l2_capture.h"
#include "tof_camera.h"
#include "virtual_camera.h"

using namespace Lumivex;
using namespace LumivexTest;

namespace {

struct PlatformCase {
    const char* name;
    HostPlatform kind;
    const char* pixelFormat;  // what start asks for
    const char* controlNode;
    bool linksReceiver;
    CopyRoutine routine;
};

void PrintTo(const PlatformCase& c, std::ostream* os) { *os << c.name; }

const PlatformCase kPlatforms[] = {
    {"rpi5", RASPBERRY_PI_5, "pixelformat=Y12P", "/dev/v4l-subdev2", true, unpackY12P},
    {"rpi4", RASPBERRY_PI, "pixelformat=Y12 ", "/dev/v4l-subdev1", false, copyWhole},
    {"xavier", JETSON_XAVIER, "pixelformat=Y12 ", "/dev/video0", false, copyLinePairs},
    {"nano", JETSON_NANO, "pixelformat=Y12 ", "/dev/video0", false, copyStrided},
    {"generic", UNKNOWN, "pixelformat=Y12 ", "/dev/video0", false, copyWhole},
};

int16_t decoded(uint16_t word) {
    int v = word & 0x7FF;
    return int16_t((v >= 1024 ? v - 2048 : v) * 16);
}

class PlatformTest : public ::testing::TestWithParam<PlatformCase> {
protected:
    // 30 frames a second leave a loaded machine two frame periods (66 ms) of
    // slack before the virtual driver drops sub-frames.
    void SetUp() override { configureVirtualKernel(std::string("platform=") + GetParam().name + ",fps=30"); }
    void TearDown() override {
        EXPECT_EQ(lumivex_vk_open_descriptors(), 0);
        EXPECT_EQ(lumivex_vk_live_mappings(), 0);
    }
};

TEST_P(PlatformTest, OpensWithTheHostsFormatControlsAndMediaSetUp) {
    const PlatformCase p = GetParam();
    LumivexTOFCamera camera;
    EXPECT_EQ(camera.hostPlatform(), p.kind);
    EXPECT_EQ(camera.rawSampleShift(), p.kind == JETSON_XAVIER ? 4 : 0);
    ASSERT_EQ(camera.open(CSI, 0), 0);
    EXPECT_EQ(camera.setControl(RANG, 2), 0);
    const std::string log = kernelLog();
    EXPECT_NE(log.find(std::string("ioctl ") + p.controlNode + " VIDIOC_S_CTRL id=0x00981901 value=1"),
              std::string::npos)
        << log;
    EXPECT_EQ(countLines(log, "MEDIA_IOC_SETUP_LINK source=3:4 sink=1:0 flags=0x1 -> 0"), p.linksReceiver ? 1 : 0);
    EXPECT_EQ(countLines(log, "VIDIOC_SUBDEV_S_FMT which=1 pad=0 width=240 height=180 code=0x2013 field=1 -> 0"),
              p.linksReceiver ? 1 : 0);
    EXPECT_EQ(countLines(log, "open /dev/media0"), p.kind == RASPBERRY_PI || p.linksReceiver ? 1 : 0);

    ASSERT_EQ(camera.start(DEPTH), 0);
    EXPECT_EQ(camera.currentRange(), 2);
    EXPECT_NE(kernelLog().find(std::string("VIDIOC_S_FMT ") + p.pixelFormat + " field=1 -> " +
                               (p.pixelFormat + 12) + " width=240 height=180"),
              std::string::npos) << kernelLog();
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(camera.close(), 0);
}

TEST_P(PlatformTest, DepthFramesMatchTheSceneAtBothRanges) {
    LumivexTOFCamera camera;
    ASSERT_EQ(camera.open(CSI, 0), 0);
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    for (int range : {4, 2}) {
        ASSERT_EQ(camera.setControl(RANG, range), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        LumivexFrameBuffer* frame = camera.requestFrame(3000);
        ASSERT_NE(frame, nullptr);
        ASSERT_EQ(lumivex_vk_scene_truth("default", range, depth.data(), amplitude.data()), 0);
        const float* d = static_cast<float*>(frame->getData(DEPTH));
        const float* a = static_cast<float*>(frame->getData(AMPLITUDE));
        int checked = 0;
        for (uint32_t i = 0; i < kPixelCount; i += 7) {
            // 12-bit samples: a few millimetres, more where the light is faint.
            ASSERT_NEAR(d[i], depth[i], 0.02f) << "range " << range << " pixel " << i;
            ASSERT_NEAR(a[i], amplitude[i], 0.02f * amplitude[i] + 16.0f) << "pixel " << i;
            ++checked;
        }
        EXPECT_GT(checked, 6000);
        FrameDataFormat format{};
        ASSERT_EQ(frame->getFormat(DEPTH, format), 0);
        EXPECT_GT(format.timestamp, 0u);
        EXPECT_EQ(format.timestamp % 10, 0u);  // microseconds times ten
        EXPECT_EQ(camera.releaseFrame(frame), 0);
        ASSERT_EQ(camera.stop(), 0);
    }
}

TEST_P(PlatformTest, RawFramesCarryTheRenderedSamples) {
    LumivexTOFCamera camera;
    ASSERT_EQ(camera.open(CSI, 0), 0);
    ASSERT_EQ(camera.setControl(RANG, 4), 0);
    ASSERT_EQ(camera.start(RAW), 0);
    LumivexFrameBuffer* frame = camera.requestFrame(3000);
    ASSERT_NE(frame, nullptr);
    const int16_t* raw = static_cast<int16_t*>(frame->getData(RAW));
    std::vector<uint16_t> words(kPixelCount);
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(lumivex_vk_scene_words("default", 4, k, words.data()), 0);
        for (uint32_t r = 0; r < kSensorHeight; ++r)
            for (uint32_t j = 0; j < kSensorWidth; ++j)
                ASSERT_EQ(raw[(4 * r + k) * 240 + j], decoded(words[r * 240 + j]))
                    << "phase " << k << " line " << r << " column " << j;
    }
    camera.releaseFrame(frame);
    EXPECT_EQ(camera.close(), 0);
}

TEST_P(PlatformTest, StartsAgainAfterStopInRawThenDepthWithFramesInEveryCycle) {
    LumivexTOFCamera camera;
    ASSERT_EQ(camera.open(CSI, 0), 0);
    for (int cycle = 0; cycle < 4; ++cycle) {
        const FrameType type = cycle % 2 ? DEPTH : RAW;
        ASSERT_EQ(camera.start(type), 0) << "cycle " << cycle;
        for (int i = 0; i < 2; ++i) {
            LumivexFrameBuffer* frame = camera.requestFrame(3000);
            ASSERT_NE(frame, nullptr) << "cycle " << cycle;
            FrameDataFormat format{};
            ASSERT_EQ(frame->getFormat(type, format), 0);
            EXPECT_GT(format.timestamp, 0u);
            EXPECT_EQ(camera.releaseFrame(frame), 0);
        }
        ASSERT_EQ(camera.stop(), 0);
    }
    // Every stop handed the driver's buffers back (and the open asked for
    // none, to learn that no one else holds the queue).
    EXPECT_EQ(countLines(kernelLog(), "VIDIOC_REQBUFS count=0 -> granted 0"), 5);
    EXPECT_EQ(countLines(kernelLog(), "EBUSY"), 0);
    EXPECT_EQ(camera.close(), 0);
}

TEST_P(PlatformTest, ChoosesTheCopyRoutineFromTheBufferLength) {
    const PlatformCase p = GetParam();
    for (const bool strided : {false, true}) {
        configureVirtualKernel(std::string("platform=") + p.name + (strided ? ",buflen=92160" : ""));
        LumivexTOFCSISensor sensor("/dev/video0", p.kind);
        ASSERT_EQ(sensor.open(), 0);
        ASSERT_EQ(sensor.start(), 0);
        EXPECT_EQ(sensor.chosenCopyRoutine(), strided ? copyStrided : p.routine);
        EXPECT_EQ(sensor.stop(), 0);
        EXPECT_EQ(sensor.close(), 0);
    }
}

TEST_P(PlatformTest, DroppingAStreamingCameraLeavesNothingOpen) {
    {
        LumivexTOFCamera camera;
        ASSERT_EQ(camera.open(CSI, 0), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        LumivexFrameBuffer* frame = camera.requestFrame(3000);
        ASSERT_NE(frame, nullptr);
        EXPECT_GT(lumivex_vk_live_mappings(), 0);
    }
    const std::string log = kernelLog();
    EXPECT_EQ(countLines(log, "mmap /dev/video0"), countLines(log, "munmap /dev/video0"));
}

TEST_P(PlatformTest, ABackEndDroppedWithoutStopOrCloseReleasesItsMappings) {
    {
        LumivexTOFCSISensor sensor("/dev/video0", GetParam().kind);
        ASSERT_EQ(sensor.open(), 0);
        ASSERT_EQ(sensor.start(), 0);
        EXPECT_EQ(lumivex_vk_live_mappings(), 8);
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, PlatformTest, ::testing::ValuesIn(kPlatforms),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Stall, SubFramesThatNeverGroupCannotHoldStop) {
    configureVirtualKernel("platform=rpi5,fps=30,spacing=6000");
    LumivexTOFCamera camera;
    ASSERT_EQ(camera.open(CSI, 0), 0);
    const auto output = capture([&] {
        ASSERT_EQ(camera.start(DEPTH), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(camera.requestFrame(0), nullptr);  // nothing groups
        auto stopping = std::async(std::launch::async, [&] { return camera.stop(); });
        // A hang guard, not a speed check: stop interrupts the capture.
        ASSERT_EQ(stopping.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_EQ(stopping.get(), 0);
    });
    EXPECT_EQ(output.out.find("Failed"), std::string::npos) << output.out;  // stopping is no failure
    EXPECT_EQ(camera.close(), 0);
}

TEST(Media, Pi5ReceiverIsFormattedBeforeAMissingSensorEndsTheSetUp) {
    configureVirtualKernel("platform=rpi5,no_sensor");
    LumivexTOFCSISensor sensor("/dev/video0", RASPBERRY_PI_5);
    EXPECT_EQ(sensor.open(), 0);
    EXPECT_TRUE(logHas("VIDIOC_SUBDEV_S_FMT which=1 pad=0 width=240 height=180 code=0x2013 field=1 -> 0"))
        << kernelLog();
    EXPECT_EQ(sensor.close(), 0);
}

TEST(Stall, ASilentSensorTimesOutSoThatStopEnds) {
    // Ten frames, then silence (a slow machine may miss some of them: a
    // reader that falls behind skips to the current frame).
    configureVirtualKernel("platform=rpi5,stall_after=40");
    LumivexTOFCamera camera;
    ASSERT_EQ(camera.open(CSI, 0), 0);
    int frames = 0;
    const auto output = capture([&] {
        ASSERT_EQ(camera.start(DEPTH), 0);
        // Frames come until the sensor falls silent; then the worker waits in
        // getFrame for a sub-frame that never comes, and nothing is handed out.
        for (int i = 0; i < 20; ++i) {
            LumivexFrameBuffer* frame = camera.requestFrame(1500);
            if (frame == nullptr) break;
            ++frames;
            camera.releaseFrame(frame);
        }
        EXPECT_EQ(camera.requestFrame(2500), nullptr);  // past getFrame's 2 s wait: it says so
        EXPECT_EQ(camera.stop(), 0);
    });
    EXPECT_GE(frames, 1);
    EXPECT_LE(frames, 10);
    EXPECT_NE(output.out.find("getFrame ***WARNING*** Failed to dequeue buffer"), std::string::npos);
    EXPECT_TRUE(logHas("poll -> timed out"));
    EXPECT_EQ(camera.close(), 0);
}

// ---- xioctl ----

struct RetryCase {
    const char* script;
    int32_t openResult;
    const char* warning;  // null: no warning at all
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.script; }

class RetryTest : public ::testing::TestWithParam<RetryCase> {};

TEST_P(RetryTest, RetriesInterruptedCallsAndWarnsOnTheFourthAndFifth) {
    const RetryCase c = GetParam();
    configureVirtualKernel(std::string("platform=generic,ioctl=VIDIOC_S_INPUT:") + c.script);
    LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
    int32_t result = 0;
    const auto output = capture([&] { result = sensor.open(); });
    EXPECT_EQ(result, c.openResult);
    if (c.warning == nullptr) {
        EXPECT_EQ(output.out, "");
    } else {
        char expected[200];
        std::snprintf(expected, sizeof expected,
                      "xioctl ***WARNING*** UVC: ioctl (%d) retried 4 times - giving up: %s)\n",
                      int32_t(VIDIOC_S_INPUT), c.warning);
        EXPECT_EQ(output.out, expected);
    }
    sensor.close();
}

INSTANTIATE_TEST_SUITE_P(Scripts, RetryTest,
                         ::testing::Values(RetryCase{"EINTR*5", -1, "Interrupted system call"},
                                           RetryCase{"EINVAL", -1, nullptr},
                                           RetryCase{"EINTR*3/EINVAL", -1, "Invalid argument"},
                                           RetryCase{"EINTR/EINVAL", -1, nullptr},
                                           RetryCase{"EINTR*4", 0, nullptr},
                                           RetryCase{"EAGAIN/ETIMEDOUT/EINTR", 0, nullptr},
                                           RetryCase{"EAGAIN*5", -1, "Resource temporarily unavailable"}));

TEST(Xioctl, DequeueCodePrintsAsASignedNumberAndNothingRunsWithoutAVideoNode) {
    configureVirtualKernel("platform=generic,ioctl=VIDIOC_DQBUF:EINTR*3/EIO");
    LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
    ASSERT_EQ(sensor.open(), 0);
    ASSERT_EQ(sensor.start(), 0);
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint64_t timestamp = 0;
    int32_t result = 0;
    const auto output = capture([&] { result = sensor.getFrame(frame.data(), &timestamp); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(output.out,
              "xioctl ***WARNING*** UVC: ioctl (-1067952623) retried 4 times - giving up: Input/output error)\n"
              "getFrame ***WARNING*** Failed to dequeue buffer\n");
    sensor.stop();
    sensor.close();

    // After close the descriptor is gone: every request is refused at once.
    lumivex_vk_clear_log();
    int32_t value = 0;
    EXPECT_EQ(sensor.xioctl(0, VIDIOC_G_INPUT, &value), -1);
    EXPECT_EQ(kernelLog(), "");
}

// ---- controls ----

class ControlTest : public ::testing::TestWithParam<PlatformCase> {
protected:
    void SetUp() override { configureVirtualKernel(std::string("platform=") + GetParam().name); }
};

TEST_P(ControlTest, RangeAndExposureReachTheSensor) {
    const std::string node = GetParam().controlNode;
    LumivexTOFCSISensor sensor("/dev/video0", GetParam().kind);
    ASSERT_EQ(sensor.open(), 0);
    int32_t value = -5;
    EXPECT_EQ(sensor.getControl(RANG, &value), 0);
    EXPECT_EQ(value, 4);  // the driver's 0 is the 4 m range
    lumivex_vk_clear_log();
    EXPECT_EQ(sensor.setControl(RANG, 3), -1);
    EXPECT_EQ(sensor.setControl(static_cast<CameraCtrl>(7), 1), -1);
    EXPECT_EQ(kernelLog(), "");
    EXPECT_EQ(sensor.setControl(RANG, 4), 0);
    EXPECT_TRUE(logHas("ioctl " + node + " VIDIOC_S_CTRL id=0x00981901 value=0"));
    EXPECT_EQ(sensor.setControl(RANG, 2), 0);
    EXPECT_EQ(sensor.getControl(RANG, &value), 0);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(sensor.setControl(EXPOSURE, 250), 0);
    EXPECT_TRUE(logHas("ioctl " + node + " VIDIOC_S_CTRL id=0x00980911 value=250"));
    EXPECT_EQ(sensor.getControl(EXPOSURE, &value), 0);
    EXPECT_EQ(value, 250);
    EXPECT_EQ(sensor.getControl(static_cast<CameraCtrl>(7), &value), -1);
    sensor.close();
}

TEST_P(ControlTest, RefusedControlsReportThroughPerror) {
    configureVirtualKernel(std::string("platform=") + GetParam().name + ",ctrl_refuse");
    LumivexTOFCSISensor sensor("/dev/video0", GetParam().kind);
    ASSERT_EQ(sensor.open(), 0);
    int32_t value = 9;
    int32_t set = 0, getRange = 0, getExposure = 0;
    const auto output = capture([&] {
        set = sensor.setControl(RANG, 2);
        getRange = sensor.getControl(RANG, &value);
        getExposure = sensor.getControl(EXPOSURE, &value);
    });
    EXPECT_EQ(set, 1);
    EXPECT_EQ(getRange, 1);
    EXPECT_EQ(getExposure, -1);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(output.err,
              "VIDIOC_S_CTRL: Invalid argument\nVIDIOC_S_CTRL: Invalid argument\n"
              "VIDIOC_S_CTRL: Invalid argument\n");
    sensor.close();
}

INSTANTIATE_TEST_SUITE_P(Platforms, ControlTest, ::testing::ValuesIn(kPlatforms),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- failures of open, start and getFrame ----

enum class Step { Open, Start, GetFrame };

struct FailureCase {
    const char* settings;
    Step step;
    int32_t result;
    const char* output;  // the whole of standard output during that step
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.settings; }

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, WarnsAndReportsAsDocumented) {
    const FailureCase c = GetParam();
    configureVirtualKernel(std::string("platform=generic,fps=120,") + c.settings);
    {
        LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
        std::vector<uint8_t> frame(kRawFrameBytes);
        uint64_t timestamp = 0;
        int32_t result = 0;
        if (c.step != Step::Open) {
            ASSERT_EQ(sensor.open(), 0);
        }
        if (c.step == Step::GetFrame) {
            ASSERT_EQ(sensor.start(), 0);
        }
        const auto output = capture([&] {
            switch (c.step) {
                case Step::Open: result = sensor.open(); break;
                case Step::Start: result = sensor.start(); break;
                case Step::GetFrame: result = sensor.getFrame(frame.data(), &timestamp); break;
            }
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(output.out, c.output);
        sensor.stop();
        sensor.close();
    }
    EXPECT_EQ(lumivex_vk_open_descriptors(), 0);
    EXPECT_EQ(lumivex_vk_live_mappings(), 0);
}

TEST(CsiOpen, ANodeThatDoesNotExistIsSaidToBeMissingNotRefused) {
    configureVirtualKernel("platform=generic");
    for (const char* node : {"/dev/video9", "/dev/video-1"}) {
        LumivexTOFCSISensor sensor(node, UNKNOWN);
        const auto output = capture([&] { EXPECT_EQ(sensor.open(), -1); });
        EXPECT_EQ(output.out, std::string("open ***WARNING*** Could not open device node ") + node +
                                  ". Please check for permissions.\nopen ***WARNING*** " + node +
                                  ": no such device (lumivex-ls lists the cameras; without one, run under "
                                  "lumivex-virtual)\n");
    }
    EXPECT_EQ(lumivex_vk_open_descriptors(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureTest,
    ::testing::Values(
        // The design's line names permissions whatever the cause; the next line says which it was.
        FailureCase{"video_open_fail", Step::Open, -1,
                    "open ***WARNING*** Could not open device node /dev/video0. Please check for permissions.\n"
                    "open ***WARNING*** /dev/video0: permission denied (add the user to the video group: sudo "
                    "usermod -aG video $USER, then log in again)\n"},
        FailureCase{"ioctl=VIDIOC_TRY_FMT:EINVAL", Step::Start, -1,
                    "setVideoMode ***WARNING*** TOFCamera: Could not set current frame format\n"},
        // The format refused as busy: another descriptor holds the buffers.
        FailureCase{"ioctl=VIDIOC_S_FMT:EBUSY", Step::Start, -1,
                    "setVideoMode ***WARNING*** /dev/video0 is in use (by another camera object or program)\n"},
        // A node that is not the depth camera answers with its own format.
        FailureCase{"fmt_width=320", Step::Start, -1,
                    "setVideoMode ***WARNING*** TOFCamera: Could not set current frame format\n"},
        FailureCase{"layout=y12p", Step::Start, -1,
                    "setVideoMode ***WARNING*** TOFCamera: Could not set current frame format\n"},
        // (The open's own request for no buffers passes.)
        FailureCase{"ioctl=VIDIOC_REQBUFS:ok*1/ENOMEM", Step::Start, -1,
                    "requestBuffer ***WARNING*** TOFCamera: Fail to request buffer\n"},
        FailureCase{"grant=4", Step::Start, 0, "requestBuffer ***WARNING*** TOFCamera: Not request enough buffers\n"},
        FailureCase{"grant=0", Step::Start, -1, "requestBuffer ***WARNING*** TOFCamera: Not request enough buffers\n"},
        FailureCase{"grant=12", Step::Start, 0, ""},
        FailureCase{"mmap_fail=3", Step::Start, -1, "requestBuffer ***WARNING*** TOFCamera: MAP Failed\n"},
        FailureCase{"ioctl=VIDIOC_QBUF:ok*2/EINVAL", Step::Start, -1,
                    "requestBuffer ***WARNING*** TOFCamera: VIDIOC_QBUF Failed\n"},
        FailureCase{"ioctl=VIDIOC_QUERYBUF:ok/EINVAL", Step::Start, -1, ""},
        FailureCase{"ioctl=VIDIOC_STREAMON:EIO", Step::Start, -1,
                    "start ***WARNING*** TOFCamera: Stream opening Failed\n"},
        FailureCase{"ioctl=VIDIOC_DQBUF:EIO", Step::GetFrame, -1, "getFrame ***WARNING*** Failed to dequeue buffer\n"},
        FailureCase{"dqbuf_index=8", Step::GetFrame, -1, "getFrame ***WARNING*** Index out of range\n"},
        FailureCase{"grant=4,dqbuf_index=5", Step::GetFrame, -1, "getFrame ***WARNING*** Index out of range\n"},
        FailureCase{"ioctl=VIDIOC_QBUF:ok*8/EIO", Step::GetFrame, -1, "getFrame ***WARNING*** Failed to queue buffer\n"},
        FailureCase{"stall_after=2", Step::GetFrame, -1, "getFrame ***WARNING*** Failed to dequeue buffer\n"},
        // Sub-frames 6 ms apart never make a group: given up after 2 s.
        FailureCase{"fps=30,spacing=6000", Step::GetFrame, -1,
                    "getFrame ***WARNING*** No four sub-frames close enough in time for a frame\n"},
        FailureCase{"grant=4", Step::GetFrame, 0, ""},
        FailureCase{"buflen=100000", Step::GetFrame, 0, ""},
        FailureCase{"buflen=1001", Step::GetFrame, 0, ""}));

TEST(Stop, QueriesAndUnmapsEachBufferAndReportsTheFirstFailedQuery) {
    configureVirtualKernel("platform=generic,ioctl=VIDIOC_QUERYBUF:ok*8/ok*3/EINVAL");
    {
        LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
        ASSERT_EQ(sensor.open(), 0);
        ASSERT_EQ(sensor.start(), 0);
        lumivex_vk_clear_log();
        EXPECT_EQ(sensor.stop(), -1);
        const std::string log = kernelLog();
        EXPECT_LT(log.find("VIDIOC_STREAMOFF"), log.find("VIDIOC_QUERYBUF index=0"));
        EXPECT_EQ(countLines(log, "munmap /dev/video0"), 3);
        EXPECT_EQ(lumivex_vk_live_mappings(), 5);  // buffers 3 to 7 stay mapped
        EXPECT_EQ(countLines(log, "VIDIOC_REQBUFS"), 0);
    }
    EXPECT_EQ(lumivex_vk_live_mappings(), 0);
}

TEST(Stop, FailsWhenTheLastStartMappedNothing) {
    configureVirtualKernel("platform=generic,grant=0");
    LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
    EXPECT_EQ(sensor.stop(), -1);  // never started
    ASSERT_EQ(sensor.open(), 0);
    capture([&] { EXPECT_EQ(sensor.start(), -1); });
    EXPECT_EQ(sensor.stop(), -1);
    EXPECT_EQ(sensor.close(), 0);
    capture([&] { EXPECT_EQ(sensor.start(), -1); });  // after close
    EXPECT_EQ(sensor.stop(), -1);
}

TEST(SetVideoMode, SetsTheFormatAsTryFormatReturnedIt) {
    configureVirtualKernel("platform=generic,try_field=4");
    LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
    ASSERT_EQ(sensor.open(), 0);
    ASSERT_EQ(sensor.start(), 0);
    const std::string log = kernelLog();
    EXPECT_NE(log.find("VIDIOC_TRY_FMT pixelformat=Y12  field=1 -> Y12  width=240 height=180"), std::string::npos)
        << log;
    EXPECT_NE(log.find("VIDIOC_S_FMT pixelformat=Y12  field=4 -> Y12  width=240 height=180"), std::string::npos)
        << log;
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

TEST(VirtualDriverRules, BuffersHeldBlockFormatInputAndRequestChanges) {
    configureVirtualKernel("platform=generic");
    LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
    ASSERT_EQ(sensor.open(), 0);
    ASSERT_EQ(sensor.start(), 0);
    // A second start while streaming: the format change is refused.
    capture([&] { EXPECT_EQ(sensor.start(), -1); });
    EXPECT_TRUE(logHas("VIDIOC_S_FMT -> EBUSY (buffers allocated)"));
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.start(), 0);  // after stop freed them, a new format is accepted
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

// videobuf2: the buffer queue belongs to the descriptor that allocated it;
// another may not allocate, queue, dequeue or stream, until the owner closes.
TEST(VirtualDriverRules, OnlyTheQueueOwnerQueuesDequeuesAndStreams) {
    configureVirtualKernel("platform=generic");
    const int owner = ::open("/dev/video0", O_RDWR);
    const int other = ::open("/dev/video0", O_RDWR);
    ASSERT_GE(owner, 0);
    ASSERT_GE(other, 0);
    v4l2_requestbuffers request{};
    request.count = 2;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(::ioctl(owner, VIDIOC_REQBUFS, &request), 0);
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    struct Refused {
        const char* name;
        std::function<int()> call;
    } refused[] = {
        {"REQBUFS", [&] { v4l2_requestbuffers none{}; none.type = request.type; none.memory = request.memory;
                          return ::ioctl(other, VIDIOC_REQBUFS, &none); }},
        {"QBUF", [&] { return ::ioctl(other, VIDIOC_QBUF, &buffer); }},
        {"STREAMON", [&] { return ::ioctl(other, VIDIOC_STREAMON, &type); }},
        {"DQBUF", [&] { return ::ioctl(other, VIDIOC_DQBUF, &buffer); }},
        {"STREAMOFF", [&] { return ::ioctl(other, VIDIOC_STREAMOFF, &type); }},
    };
    ASSERT_EQ(::ioctl(owner, VIDIOC_QBUF, &buffer), 0);
    ASSERT_EQ(::ioctl(owner, VIDIOC_STREAMON, &type), 0);
    for (const Refused& r : refused) {
        errno = 0;
        EXPECT_EQ(r.call(), -1) << r.name;
        EXPECT_EQ(errno, EBUSY) << r.name;
    }
    ASSERT_EQ(::ioctl(owner, VIDIOC_DQBUF, &buffer), 0);  // the owner's stream went on
    ::close(owner);  // the owner's close releases the queue
    EXPECT_EQ(::ioctl(other, VIDIOC_REQBUFS, &request), 0);
    request.count = 0;
    EXPECT_EQ(::ioctl(other, VIDIOC_REQBUFS, &request), 0);
    ::close(other);
}

// A second camera object on a node in use is refused with one line and
// touches nothing of the first one's stream, then or later.
TEST_P(PlatformTest, ASecondCameraObjectOnANodeInUseIsRefusedAndTouchesNothing) {
    LumivexTOFCamera first, second;
    ASSERT_EQ(first.open(CSI, 0), 0);
    ASSERT_EQ(first.start(DEPTH), 0);
    const auto output = capture([&] {
        EXPECT_EQ(second.open(CSI, 0), -1);
        EXPECT_NE(second.start(DEPTH), 0);
        EXPECT_FALSE(second.isStreaming());
        second.setControl(RANG, 2);
        EXPECT_EQ(second.requestFrame(100), nullptr);
        EXPECT_EQ(second.stop(), -1);
    });
    EXPECT_EQ(output.out.find("open ***WARNING*** /dev/video0 is in use (by another camera object or program)\n"), 0u)
        << output.out;
    int32_t range = 0;
    ASSERT_EQ(first.getControl(RANG, &range), 0);
    EXPECT_EQ(range, 4);  // the refused object's range switch never reached the sensor
    uint64_t previous = 0;
    const auto firstOutput = capture([&] {
        for (int i = 0; i < 6; ++i) {
            LumivexFrameBuffer* frame = first.requestFrame(3000);
            ASSERT_NE(frame, nullptr) << i;
            FrameDataFormat format{};
            frame->getFormat(DEPTH, format);
            EXPECT_GT(format.timestamp, previous) << i;
            EXPECT_EQ(format.range, 4);
            previous = format.timestamp;
            first.releaseFrame(frame);
        }
    });
    EXPECT_EQ(firstOutput.out, "");
    second.close();
    EXPECT_EQ(first.stop(), 0);
    EXPECT_EQ(first.close(), 0);
}

TEST(BufferCount, OnlyEightOfMoreGrantedBuffersAreMapped) {
    configureVirtualKernel("platform=generic,grant=12");
    LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
    ASSERT_EQ(sensor.open(), 0);
    ASSERT_EQ(sensor.start(), 0);
    const std::string log = kernelLog();
    EXPECT_EQ(countLines(log, "mmap /dev/video0"), 8);
    EXPECT_EQ(countLines(log, "VIDIOC_QBUF index="), 8);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(countLines(kernelLog(), "munmap /dev/video0"), 8);
    sensor.close();
}

// ---- time-stamp grouping ----

struct StampCase {
    const char* stamps;
    uint64_t expected;
    int dequeues;
};

void PrintTo(const StampCase& c, std::ostream* os) { *os << c.stamps; }

class GroupTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(GroupTest, FourSubFramesCloseInTimeMakeAFrame) {
    const StampCase c = GetParam();
    configureVirtualKernel(std::string("platform=generic,ts=") + c.stamps);
    LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
    ASSERT_EQ(sensor.open(), 0);
    ASSERT_EQ(sensor.start(), 0);
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint64_t timestamp = 0;
    EXPECT_EQ(sensor.getFrame(frame.data(), &timestamp), 0);
    EXPECT_EQ(timestamp, c.expected);
    EXPECT_EQ(countLines(kernelLog(), "VIDIOC_DQBUF index="), c.dequeues);
    sensor.stop();
    sensor.close();
}

INSTANTIATE_TEST_SUITE_P(
    Stamps, GroupTest,
    ::testing::Values(StampCase{"1.010000/1.013000/1.016000/1.019000", 10190000, 4},
                      StampCase{"1.010000/1.013000/1.023000/1.026000/1.029000/1.032000", 10320000, 6},
                      StampCase{"5.999000/6.002000/6.003000/6.004000", 60040000, 4},
                      // the fourth sub-frame of a capture lost across a second
                      StampCase{"5.985000/5.988000/5.991000/6.018000/6.018500/6.019000/6.019500", 60195000, 7},
                      // time going backwards starts a new group
                      StampCase{"7.010000/7.013000/7.009000/7.009500/7.010000/7.010500", 70105000, 6},
                      StampCase{"12.300000/12.333000/12.336678/12.340678/12.345678", 123456780, 5}));

// ---- media-controller set-up ----

struct MediaCase {
    const char* settings;
    std::string output;   // expected standard output of open
    std::string error;    // expected standard error of open
    int32_t control;      // setControl(RANG, 4) afterwards: 0 with a sensor sub-device, 1 without
    const char* absent;   // a log entry that must not appear (or null)
};

void PrintTo(const MediaCase& c, std::ostream* os) { *os << c.settings; }

class MediaTest : public ::testing::TestWithParam<MediaCase> {};

TEST_P(MediaTest, SetsUpThePipelineOrExplainsWhy) {
    const MediaCase c = GetParam();
    configureVirtualKernel(c.settings);
    const bool pi5 = std::string(c.settings).find("rpi5") != std::string::npos;
    {
        LumivexTOFCSISensor sensor("/dev/video0", pi5 ? RASPBERRY_PI_5 : RASPBERRY_PI);
        int32_t result = -7;
        const auto output = capture([&] { result = sensor.open(); });
        EXPECT_EQ(result, 0);  // the set-up never fails the open
        EXPECT_EQ(output.out, c.output);
        EXPECT_EQ(output.err, c.error);
        int32_t control = -7;
        capture([&] { control = sensor.setControl(RANG, 4); });
        EXPECT_EQ(control, c.control);
        if (c.absent != nullptr) {
            EXPECT_FALSE(logHas(c.absent)) << kernelLog();
        }
        sensor.close();
    }
    EXPECT_EQ(lumivex_vk_open_descriptors(), 0);
}

constexpr const char* kSubdev = "v4l2_device_open_v4l2_subdev ***WARNING*** ";
constexpr const char* kMedia = "v4l2_device_open_media_device ***WARNING*** ";
const std::string kNoMedia = std::string(kSubdev) + "Cannot find media controller\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, MediaTest,
    ::testing::Values(
        MediaCase{"platform=rpi5", "", "", 0, nullptr},
        MediaCase{"platform=rpi5,entries=media1/media0", "", "", 0, "open /dev/media1"},
        MediaCase{"platform=rpi4", "", "", 0, "MEDIA_IOC_SETUP_LINK"},
        MediaCase{"platform=rpi4,extra_csi2", "", "", 0, "open /dev/v4l-subdev0"},
        MediaCase{"platform=rpi5,no_media", kNoMedia, "", 1, nullptr},
        MediaCase{"platform=rpi5,entries=./..", kNoMedia, "", 1, nullptr},
        MediaCase{"platform=rpi5,no_sensor", "", "", 1, nullptr},
        MediaCase{"platform=rpi5,fstat_fail", (std::string(kMedia) + "Cannot get fstat\n" + kNoMedia), "", 1,
                  nullptr},
        MediaCase{"platform=rpi5,not_char", (std::string(kMedia) + "FD is not char\n" + kNoMedia), "", 1,
                  nullptr},
        MediaCase{"platform=rpi5,scandir_fail",
                  (std::string(kMedia) + "Cannot scan: /sys/dev/char/81:0/device\n" + kNoMedia), "", 1,
                  nullptr},
        MediaCase{"platform=rpi5,no_receiver", (std::string(kSubdev) + "Failed to set link\n"),
                  "Query entity failed: Invalid argument\n", 1, "open /dev/v4l-subdev"},
        MediaCase{"platform=rpi5,link_fail", (std::string(kSubdev) + "Failed to set link\n"), "", 1,
                  "open /dev/v4l-subdev"},
        MediaCase{"platform=rpi5,subdev_fmt_fail", "", "Failed to set video format: Invalid argument\n", 1,
                  "open /dev/v4l-subdev2"},
        MediaCase{"platform=rpi5,readlink_fail=lumivex",
                  (std::string(kSubdev) + "Cannot readlink '/sys/dev/char/81:102'\n"), "", 1, nullptr},
        MediaCase{"platform=rpi5,readlink_fail=csi2",
                  (std::string(kSubdev) + "Cannot readlink '/sys/dev/char/81:100'\n"), "", 1,
                  "VIDIOC_SUBDEV_S_FMT"},
        MediaCase{"platform=rpi5,link_noslash=lumivex",
                  (std::string(kSubdev) + "Link 'v4l-subdev2' for '/sys/dev/char/81:102' does not end with '/'\n"),
                  "", 1, nullptr},
        MediaCase{"platform=rpi5,link_notsubdev=lumivex",
                  (std::string(kSubdev) +
                   "Link '../../devices/platform/axi/video4linux/video9' does not contain '/v4l-subdev'\n"),
                  "", 1, nullptr},
        MediaCase{"platform=rpi5,subdev_open_fail=v4l-subdev2",
                  (std::string(kSubdev) + "Cannot open '/dev/v4l-subdev2' (ret=-1)\n"), "", 1, nullptr},
        MediaCase{"platform=rpi4,subdev_open_fail=v4l-subdev1",
                  (std::string(kSubdev) + "Cannot open '/dev/v4l-subdev1' (ret=-1)\n"), "", 1, nullptr}));

// ---- a short stress run ----

TEST(CsiStress, RestartsReopensAndFaultsLeaveNothingBehind) {
    const char* faults[] = {"",
                            "ioctl=VIDIOC_DQBUF:ok*9/EIO",
                            "grant=3",
                            "ioctl=VIDIOC_QBUF:ok*12/EINVAL",
                            "dqbuf_index=11",
                            "mmap_fail=5",
                            "ioctl=VIDIOC_STREAMON:EINVAL",
                            "buflen=70000"};
    const char* platforms[] = {"rpi5", "rpi4", "xavier", "nano", "generic"};
    std::mt19937 rng(5);
    auto camera = std::make_unique<LumivexTOFCamera>();
    for (int cycle = 0; cycle < 24; ++cycle) {
        const std::string settings = std::string("platform=") + platforms[cycle % 5] + ",fps=120," +
                                     faults[rng() % (sizeof faults / sizeof *faults)];
        if (lumivex_vk_open_descriptors() == 0) configureVirtualKernel(settings);
        capture([&] {
            camera->open(CSI, 0);
            camera->start(cycle % 2 ? RAW : DEPTH);
            for (int i = 0; i < 3; ++i) {
                camera->setControl(RANG, rng() % 2 ? 2 : 4);
                if (LumivexFrameBuffer* frame = camera->requestFrame(60)) camera->releaseFrame(frame);
            }
            switch (rng() % 3) {
                case 0: camera->stop(); camera->close(); break;
                case 1: camera->close(); break;
                default: camera = std::make_unique<LumivexTOFCamera>(); break;
            }
        });
    }
    camera.reset();
    EXPECT_EQ(lumivex_vk_open_descriptors(), 0);
    EXPECT_EQ(lumivex_vk_live_mappings(), 0);
}

}  // namespace

namespace {

TEST(VirtualKernelLog, KeepsTheMostRecentEventsInMemoryAndAllInTheFile) {
    const std::string path = ::testing::TempDir() + "vkernel_log_" + std::to_string(getpid());
    std::remove(path.c_str());
    configureVirtualKernel("platform=generic,fps=120,log_size=50,log=" + path);
    {
        LumivexTOFCSISensor sensor("/dev/video0", UNKNOWN);
        ASSERT_EQ(sensor.open(), 0);
        ASSERT_EQ(sensor.start(), 0);
        std::vector<uint8_t> frame(kRawFrameBytes);
        uint64_t timestamp = 0;
        for (int i = 0; i < 10; ++i) ASSERT_EQ(sensor.getFrame(frame.data(), &timestamp), 0);
        EXPECT_EQ(sensor.stop(), 0);
        EXPECT_EQ(sensor.close(), 0);
    }
    const std::string memory = kernelLog();
    EXPECT_EQ(countLines(memory, "\n"), 50);
    EXPECT_NE(memory.find("close /dev/video0"), std::string::npos);  // the latest are kept
    std::string file;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) file.append(chunk, n);
        std::fclose(f);
    }
    EXPECT_GE(countLines(file, "VIDIOC_DQBUF index="), 40);
    EXPECT_EQ(countLines(file, "VIDIOC_QBUF index="), countLines(file, "VIDIOC_DQBUF index=") + 8);
    std::remove(path.c_str());
    configureVirtualKernel("platform=generic");
}

}  // namespace
