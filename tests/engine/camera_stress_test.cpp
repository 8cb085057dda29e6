// A caller thread borrows frames with random time-outs while another thread
// switches ranges and restarts the session; run under ASan and TSan.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "scripted_sensor.h"
#include "tof_camera.h"

using namespace Lumivex;

TEST(CameraStress, BorrowingWhileRestartingAndSwitchingRanges) {
    auto script = std::make_shared<LumivexTest::Script>();
    script->runFreely();
    const uint16_t words[4] = {0, 0, 1, 0};
    script->fillPlaneWords(words);
    LumivexTOFCamera camera("/nonexistent/model");
    ASSERT_EQ(camera.openWithSensor(std::make_unique<LumivexTest::ScriptedSensor>(script), CSI, 0),
              0);

    std::atomic<bool> done{false};
    std::atomic<int> received{0};
    std::thread caller([&] {
        std::mt19937 rng(7);
        std::vector<LumivexFrameBuffer*> held;
        while (!done.load()) {
            const int16_t timeout = int16_t(std::uniform_int_distribution<int>(-1, 5)(rng));
            LumivexFrameBuffer* frame = camera.requestFrame(timeout < 0 ? 30 : timeout);
            if (frame != nullptr) {
                ++received;
                // Read the frame while it is lent: it must never be rewritten meanwhile.
                FrameDataFormat format{};
                const bool depth = frame->getFormat(DEPTH, format) == 0;
                const void* plane = frame->getData(depth ? DEPTH : RAW);
                EXPECT_NE(plane, nullptr);
                if (depth) {
                    const float d = static_cast<const float*>(plane)[1000];
                    EXPECT_TRUE(d == 0.0f || d == 1.0f || d == 0.5f) << d;
                }
                held.push_back(frame);
            }
            if (held.size() > 2 || (!held.empty() && rng() % 2)) {
                EXPECT_EQ(camera.releaseFrame(held.front()), 0);
                EXPECT_EQ(camera.releaseFrame(held.front()), -1);
                held.erase(held.begin());
            }
        }
        for (auto* frame : held) EXPECT_EQ(camera.releaseFrame(frame), 0);
    });

    std::mt19937 rng(11);
    for (int cycle = 0; cycle < 60; ++cycle) {
        const FrameType type = (cycle % 3 == 2) ? RAW : DEPTH;
        camera.start(type);
        for (int i = 0; i < 5; ++i) {
            camera.setControl(RANG, (rng() % 2) ? 2 : 4);
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        }
        if (cycle % 7 == 0) {
            camera.close();
        } else {
            camera.stop();
        }
    }
    done = true;
    caller.join();
    EXPECT_GT(received.load(), 0);
    EXPECT_FALSE(camera.isStreaming());
}
