// Range switches as programs make them, on both camera paths and every kind
// of USB board clock: every frame handed out after setControl(RANG, r) was
// exposed at r, says so, and shows the scene's distances at r; frames come
// out in capture order. A program that is busy before each switch leaves
// finished frames waiting in the pool, the driver's queue and the bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tof_camera.h"
#include "vkernel_control.h"
#include "vusb_control.h"

using namespace Lumivex;

namespace {

struct SwitchCase {
    const char* name;
    Connection connection;
    const char* settings;  // of the virtual kernel (CSI) or the virtual bus (USB)
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name << " (" << c.settings << ")"; }

class RangeSwitchTest : public ::testing::TestWithParam<SwitchCase> {
protected:
    void SetUp() override {
        const SwitchCase& c = GetParam();
#if defined(__SANITIZE_THREAD__)
        // A chunk stream's sub-frames carry the host's decode time, and the
        // four of a frame must be decoded within 4 ms of each other: more
        // than a host slowed down tenfold by ThreadSanitizer manages.
        if (std::string(c.settings).find("stream=chunk") != std::string::npos)
            GTEST_SKIP() << "chunk-stream frames do not group at ThreadSanitizer's speed";
#endif
        if (c.connection == CSI) {
            ASSERT_EQ(lumivex_vk_configure(c.settings), 0) << c.settings;
        } else {
            // A Jetson Xavier host, whose CSI receiver shifts samples: a USB
            // board's come unshifted all the same.
            ASSERT_EQ(lumivex_vk_configure("platform=xavier"), 0);
            ASSERT_EQ(lumivex_vusb_configure(c.settings), 0) << c.settings;
        }
        for (int range : {2, 4}) {
            std::vector<float>& truth = depthAt[range == 2 ? 0 : 1];
            std::vector<float> amplitude(kPixelCount);
            truth.resize(kPixelCount);
            ASSERT_EQ(lumivex_vk_scene_truth("default", range, truth.data(), amplitude.data()), 0);
        }
    }

    // Whether the frame's depth is the scene's at `range` (sampled pixels).
    bool showsTheSceneAt(LumivexFrameBuffer* frame, int range) const {
        const float* d = static_cast<const float*>(frame->getData(DEPTH));
        const std::vector<float>& truth = depthAt[range == 2 ? 0 : 1];
        for (uint32_t i = 0; i < kPixelCount; i += 97) {
            if (std::abs(d[i] - truth[i]) > 0.02f) return false;
        }
        return true;
    }

    // Runs `body` with standard output captured; what it printed is shown
    // if a check failed (gtest's own messages go there too).
    template <typename F>
    std::string printedBy(F&& body) {
        ::testing::internal::CaptureStdout();
        body();
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (HasFailure()) std::cout << out;
        return out;
    }

    std::vector<float> depthAt[2];
};

TEST_P(RangeSwitchTest, ASlowProgramGetsOnlyFramesOfTheRangeItSetInCaptureOrder) {
    LumivexTOFCamera camera;  // the host as the virtual kernel models it
    int wrong = 0, backwards = 0;
    const std::string out = printedBy([&] {
        ASSERT_EQ(camera.open(GetParam().connection, 0), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        uint64_t previousStamp = 0;
        for (int range : {2, 4, 2, 4, 2, 4}) {
            // Busy elsewhere: frames of the old range finish and wait meanwhile.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ASSERT_EQ(camera.setControl(RANG, range), 0);
            for (int n = 0; n < 4; ++n) {
                LumivexFrameBuffer* frame = camera.requestFrame(3000);
                ASSERT_NE(frame, nullptr) << "range " << range << " frame " << n;
                FrameDataFormat depth{}, amplitude{};
                ASSERT_EQ(frame->getFormat(DEPTH, depth), 0);
                ASSERT_EQ(frame->getFormat(AMPLITUDE, amplitude), 0);
                EXPECT_EQ(depth.range, range) << "frame " << n;
                EXPECT_EQ(amplitude.range, range) << "frame " << n;
                if (!showsTheSceneAt(frame, range)) {
                    ++wrong;
                    ADD_FAILURE() << "frame " << n << " after the switch to " << range << " m shows "
                                  << (showsTheSceneAt(frame, 6 - range) ? "the other range's scene" : "neither range's scene")
                                  << " (time stamp " << depth.timestamp << ")";
                }
                // (A board without a device clock stamps every frame 0.)
                backwards += depth.timestamp != 0 && depth.timestamp <= previousStamp;
                previousStamp = depth.timestamp;
                ASSERT_EQ(camera.releaseFrame(frame), 0);
            }
        }
        EXPECT_EQ(camera.stop(), 0);
        EXPECT_EQ(camera.close(), 0);
    });
    EXPECT_EQ(wrong, 0) << "frames whose depth is not the scene's at their range";
    EXPECT_EQ(backwards, 0) << "frames older than the one before";
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
}

// The first frame after each switch, read at once: the switch's own frames
// are the ones most at risk (exposed before it, handed out after it).
TEST_P(RangeSwitchTest, TheFirstFrameAfterASwitchIsOfTheNewRange) {
    LumivexTOFCamera camera;
    printedBy([&] {
        ASSERT_EQ(camera.open(GetParam().connection, 0), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        for (int range : {2, 4, 2, 4, 2, 4, 2, 4}) {
            ASSERT_EQ(camera.setControl(RANG, range), 0);
            LumivexFrameBuffer* frame = camera.requestFrame(3000);
            ASSERT_NE(frame, nullptr) << "range " << range;
            FrameDataFormat format{};
            ASSERT_EQ(frame->getFormat(DEPTH, format), 0);
            EXPECT_EQ(format.range, range);
            EXPECT_TRUE(showsTheSceneAt(frame, range)) << "range " << range;
            ASSERT_EQ(camera.releaseFrame(frame), 0);
        }
        EXPECT_EQ(camera.stop(), 0);
        EXPECT_EQ(camera.close(), 0);
    });
}

// A silent camera holds neither stop nor close: whatever the device does,
// the worker's capture is interrupted (a silent USB board's transfers would
// otherwise keep the capture for their whole 5 s time-out).
class SilentCameraTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SilentCameraTest, StopAndCloseReturnSoon) {
    const SwitchCase& c = GetParam();
    if (c.connection == CSI) {
        ASSERT_EQ(lumivex_vk_configure(c.settings), 0);
    } else {
        ASSERT_EQ(lumivex_vusb_configure(c.settings), 0);
    }
    for (const bool closing : {false, true}) {
        LumivexTOFCamera camera;
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(camera.open(c.connection, 0), 0);
        ASSERT_EQ(camera.start(DEPTH), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the worker waits inside its capture
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(closing ? camera.close() : camera.stop(), 0);
        const auto took = std::chrono::steady_clock::now() - began;
        ::testing::internal::GetCapturedStdout();
        // A bound, far above what it takes (about 0.1 s) and far below the
        // transfer time-out that held it before.
        EXPECT_LT(took, std::chrono::milliseconds(1500)) << (closing ? "close" : "stop");
        camera.close();
    }
}

INSTANTIATE_TEST_SUITE_P(Cameras, SilentCameraTest,
                         ::testing::Values(SwitchCase{"Csi", CSI, "platform=rpi4,fps=30,stall_after=0"},
                                           SwitchCase{"Usb", USB, "camera=depth,stall"}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Cameras, RangeSwitchTest,
    ::testing::Values(
        SwitchCase{"Csi", CSI, "platform=rpi5,fps=30"},
        SwitchCase{"CsiAt120Fps", CSI, "platform=xavier,fps=120"},
        SwitchCase{"CsiStampsOfUnknownClock", CSI, "platform=rpi4,fps=30,stamp_clock=unknown"},
        SwitchCase{"UsbShortPackets", USB, "camera=depth,speed=super,link=short"},
        SwitchCase{"UsbFullTransfers", USB, "camera=depth,speed=high,link=full"},
        // Stamps that cannot tell: the host's decode time (chunk stream), no
        // device clock (firmware 3.13), a clock ahead of the host's, one
        // behind it, one in another epoch.
        SwitchCase{"UsbChunkStream", USB, "camera=depth,pid=0x03F1,speed=super,stream=chunk"},
        SwitchCase{"UsbWithoutDeviceClock", USB, "camera=depth,fw=0x0313"},
        SwitchCase{"UsbClockAhead", USB, "camera=depth,clock_skew=30"},
        SwitchCase{"UsbClockBehind", USB, "camera=depth,clock_skew=-300"},
        SwitchCase{"UsbClockInAnotherEpoch", USB, "camera=depth,clock_skew=-3600000"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
