// The camera session driven through a scripted back-end: pool order and
// recycling, time-outs, controls, lifecycle refusals and frame lifetime.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include <unistd.h>

#include "scripted_sensor.h"
#include "frame_pool.h"
#include "tof_camera.h"

using namespace Lumivex;
using LumivexTest::Script;
using LumivexTest::ScriptedSensor;

namespace {

constexpr const char* kNoModelFile = "/nonexistent/model";

uint64_t timestampOf(LumivexFrameBuffer* frame, FrameType type = DEPTH) {
    FrameDataFormat format{};
    EXPECT_EQ(frame->getFormat(type, format), 0);
    return format.timestamp;
}

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        camera = std::make_unique<LumivexTOFCamera>(kNoModelFile);
        ASSERT_EQ(camera->openWithSensor(std::make_unique<ScriptedSensor>(script), CSI, 0), 0);
    }
    void TearDown() override {
        script->endFrames();  // a worker blocked in getFrame can then be joined
        camera.reset();
    }
    // Lets the worker deliver `frames` more frames and waits until it has
    // published them (it has then entered the following getFrame).
    void deliver(int frames) {
        script->allow(frames);
        delivered += frames;
        ASSERT_TRUE(script->waitForCalls(delivered + 1));
    }

    // Stops the session (unblocking the worker) and starts it again; the new
    // worker is waiting in its first getFrame when this returns.
    int32_t restart(FrameType type) {
        script->endFrames();
        EXPECT_EQ(camera->stop(), 0);
        script->resumeFrames();
        const int calls = script->getFrameCalls.load();
        const int32_t result = camera->start(type);
        EXPECT_TRUE(script->waitForCalls(calls + 1));
        delivered = script->getFrameCalls.load() - 1;
        return result;
    }

    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::unique_ptr<LumivexTOFCamera> camera;
    int delivered = 0;
};

TEST_F(CameraTest, FramesComeOutInCaptureOrder) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(2);
    LumivexFrameBuffer* first = camera->requestFrame(0);
    LumivexFrameBuffer* second = camera->requestFrame(0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(timestampOf(first), 1u);
    EXPECT_EQ(timestampOf(second), 2u);
    EXPECT_EQ(camera->requestFrame(0), nullptr);
    EXPECT_EQ(camera->releaseFrame(first), 0);
    EXPECT_EQ(camera->releaseFrame(second), 0);
}

TEST_F(CameraTest, SlowCallerReceivesTheLatestFramesInOrder) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(5);  // frames 1 and 2 recycled; 3 reclaimed by the worker for frame 6
    std::vector<uint64_t> seen;
    while (LumivexFrameBuffer* frame = camera->requestFrame(0)) {
        seen.push_back(timestampOf(frame));
        camera->releaseFrame(frame);
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{4, 5}));
    deliver(1);
    LumivexFrameBuffer* next = camera->requestFrame(0);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(timestampOf(next), 6u);
    camera->releaseFrame(next);
}

TEST_F(CameraTest, ReadyFifoNeverHoldsMoreThanThreeFrames) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(2);
    LumivexFrameBuffer* held = camera->requestFrame(0);  // caller keeps frame 1
    deliver(6);
    std::vector<uint64_t> seen;
    while (LumivexFrameBuffer* frame = camera->requestFrame(0)) {
        seen.push_back(timestampOf(frame));
        camera->releaseFrame(frame);
    }
    // With one frame held, the worker fills one buffer while the other waits.
    EXPECT_LE(seen.size(), 3u);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 8u);
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1], seen[i]);
    EXPECT_EQ(timestampOf(held), 1u);  // a lent frame is never rewritten
    EXPECT_EQ(camera->releaseFrame(held), 0);
}

TEST_F(CameraTest, CallerHoldingEveryFrameStallsTheWorkerAndStopStillEndsIt) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    script->runFreely();
    std::vector<LumivexFrameBuffer*> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(camera->requestFrame(-1));
        ASSERT_NE(held.back(), nullptr);
    }
    const int calls = script->getFrameCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));  // several 20 ms slices
    EXPECT_EQ(script->getFrameCalls.load(), calls);
    // Waiting without limit could never end now: refused at once.
    EXPECT_EQ(camera->requestFrame(-1), nullptr);
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_FALSE(camera->isStreaming());
    for (auto* frame : held) EXPECT_EQ(camera->releaseFrame(frame), 0);
}

TEST_F(CameraTest, RequestWithZeroTimeoutReturnsAtOnceAndNegativeWaitsForTheNextFrame) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    EXPECT_EQ(camera->requestFrame(0), nullptr);
    EXPECT_EQ(camera->requestFrame(5), nullptr);
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        script->allow(1);
    });
    LumivexFrameBuffer* frame = camera->requestFrame(-1);
    later.join();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(timestampOf(frame), 1u);
    camera->releaseFrame(frame);
}

TEST_F(CameraTest, UnboundedWaitEndsWhenNoWorkerIsLeftToDeliver) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    script->endFrames();
    ASSERT_EQ(camera->stop(), 0);
    // Failed captures hand nothing out: nothing is ready, and nothing more can come.
    EXPECT_EQ(camera->requestFrame(0), nullptr);
    EXPECT_EQ(camera->requestFrame(-1), nullptr);
}

TEST_F(CameraTest, FailedCapturesAreNeverHandedOutAndOtherResultsCountAsSuccess) {
    const uint16_t words[4] = {0, 0, 1, 0};  // depth 1 m, amplitude 8 at range 4
    script->fillPlaneWords(words);
    script->results = {0, -1, 1};
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(1);
    LumivexFrameBuffer* ok = camera->requestFrame(0);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(timestampOf(ok), 1u);
    EXPECT_EQ(camera->releaseFrame(ok), 0);
    deliver(1);
    EXPECT_EQ(camera->requestFrame(0), nullptr);  // the failed capture published nothing
    deliver(1);
    LumivexFrameBuffer* one = camera->requestFrame(0);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(timestampOf(one), 3u);
    EXPECT_EQ(static_cast<float*>(one->getData(DEPTH))[100], 1.0f);
    EXPECT_EQ(static_cast<float*>(one->getData(AMPLITUDE))[100], 8.0f);
    EXPECT_EQ(camera->releaseFrame(one), 0);
    EXPECT_EQ(camera->requestFrame(0), nullptr);
}

TEST_F(CameraTest, RawModeDeliversDecodedDeinterleavedLines) {
    const uint16_t words[4] = {0x0001, 0x03FF, 0x0400, 0x0800};
    script->fillPlaneWords(words);
    ASSERT_EQ(camera->start(RAW), 0);
    deliver(1);
    LumivexFrameBuffer* frame = camera->requestFrame(0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->getData(DEPTH), nullptr);
    const int16_t* raw = static_cast<int16_t*>(frame->getData(RAW));
    const int16_t expected[4] = {16, 16368, -16384, 0};
    for (int line : {0, 179}) {
        for (int element : {0, 239, 240, 479, 480, 719, 720, 959}) {
            EXPECT_EQ(raw[line * 960 + element], expected[element / 240]) << line << "," << element;
        }
    }
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(RAW, format), 0);
    EXPECT_EQ(format.width, 960u);
    EXPECT_EQ(format.height, 180u);
    camera->releaseFrame(frame);
}

TEST_F(CameraTest, StartReadsTheRangeFromTheBackEnd) {
    script->rangeValue = 2;
    ASSERT_EQ(camera->start(DEPTH), 0);
    EXPECT_EQ(camera->currentRange(), 2);
    EXPECT_EQ(camera->currentModulationFrequency(), 75000000.0f);

    // A back-end that writes nothing: range 0, the frequency stays, and no
    // depth frame is computed at a guessed range until the range is set.
    script->writesRange = false;
    const uint16_t words[4] = {0, 0, 1, 0};
    script->fillPlaneWords(words);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(restart(DEPTH), 0);
    EXPECT_EQ(camera->currentRange(), 0);
    EXPECT_EQ(camera->currentModulationFrequency(), 75000000.0f);
    deliver(2);
    EXPECT_EQ(camera->requestFrame(0), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "captureLoop ***WARNING*** The camera's set-up does not say its range: depth frames are dropped until "
              "setControl(RANG, 2 or 4)\n");
    ASSERT_EQ(camera->setControl(RANG, 4), 0);
    deliver(2);  // the capture the switch overlapped is dropped; the next is whole at 4 m
    LumivexFrameBuffer* frame = camera->requestFrame(0);
    ASSERT_NE(frame, nullptr);
    // The 4 m phase pair (y = 16, x = 0) at 37.5 MHz: 1 m.
    EXPECT_EQ(static_cast<float*>(frame->getData(DEPTH))[0], 1.0f);
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(DEPTH, format), 0);
    EXPECT_EQ(format.range, 4);
    camera->releaseFrame(frame);

    // Raw frames need no range: they come, saying range 0.
    ASSERT_EQ(restart(RAW), 0);
    EXPECT_EQ(camera->currentRange(), 0);
    deliver(1);
    frame = camera->requestFrame(0);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->getFormat(RAW, format), 0);
    EXPECT_EQ(format.range, 0);
    camera->releaseFrame(frame);
}

struct ControlCase {
    CameraCtrl ctrl;
    int32_t value;
    int32_t backEndResult;
    int32_t expectedResult;
    bool reachesBackEnd;
    int32_t expectedRange;
};

void PrintTo(const ControlCase& c, std::ostream* os) {
    *os << "ctrl " << c.ctrl << " value " << c.value << " back-end " << c.backEndResult;
}

class SetControlTest : public CameraTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(SetControlTest, AnswersAndUpdatesTheRange) {
    const ControlCase c = GetParam();
    script->setControlResult = c.backEndResult;
    EXPECT_EQ(camera->setControl(c.ctrl, c.value), c.expectedResult);
    EXPECT_EQ(script->setControlCalls.load(), c.reachesBackEnd ? 1 : 0);
    EXPECT_EQ(camera->currentRange(), c.expectedRange);
    EXPECT_EQ(camera->currentModulationFrequency(),
              c.expectedRange == 2 ? 75000000.0f : 37500000.0f);
}

INSTANTIATE_TEST_SUITE_P(Cases, SetControlTest,
                         ::testing::Values(ControlCase{RANG, 3, 0, -1, false, 4},
                                           ControlCase{RANG, 0, 0, -1, false, 4},
                                           ControlCase{EXPOSURE, 2, 0, -1, false, 4},
                                           ControlCase{RANG, 2, 1, 0, true, 4},
                                           ControlCase{RANG, 2, -1, 0, true, 4},
                                           ControlCase{RANG, 2, 0, 0, true, 2},
                                           ControlCase{RANG, 4, 0, 0, true, 4}));

TEST_F(CameraTest, GetControlReadsTheRangeOnly) {
    script->rangeValue = 2;
    int32_t value = 77;
    EXPECT_EQ(camera->getControl(EXPOSURE, &value), -1);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(camera->getControl(RANG, &value), 0);
    EXPECT_EQ(value, 2);
}

TEST_F(CameraTest, ReleaseRefusesNullForeignAndNotLentFrames) {
    EXPECT_EQ(camera->releaseFrame(nullptr), -1);  // no pool yet
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(1);
    LumivexFrameBuffer* frame = camera->requestFrame(0);
    ASSERT_NE(frame, nullptr);
    RawData foreign(FrameDataFormat{960, 180, RAW, 0, 0});
    EXPECT_EQ(camera->releaseFrame(nullptr), -1);
    EXPECT_EQ(camera->releaseFrame(&foreign), -1);
    EXPECT_EQ(camera->releaseFrame(frame), 0);
    EXPECT_EQ(camera->releaseFrame(frame), -1);  // already free
    // The freed buffer is refilled and waits in the ready FIFO: still not lent.
    deliver(3);
    EXPECT_EQ(camera->releaseFrame(frame), -1);
    int count = 0;
    while (LumivexFrameBuffer* f = camera->requestFrame(0)) {
        EXPECT_EQ(camera->releaseFrame(f), 0);
        ++count;
    }
    EXPECT_EQ(count, 2);  // nothing was lost or duplicated by the refused releases
}

TEST_F(CameraTest, LifecycleOperationsOutOfOrderAreRefused) {
    EXPECT_EQ(camera->stop(), -1);  // no worker
    EXPECT_EQ(script->stopCalls.load(), 0);
    EXPECT_EQ(camera->requestFrame(0), nullptr);  // no pool
    EXPECT_EQ(camera->start(AMPLITUDE), -1);
    EXPECT_EQ(camera->start(CACHE), -1);
    EXPECT_EQ(script->startCalls.load(), 0);
    EXPECT_FALSE(camera->isStreaming());

    ASSERT_EQ(camera->start(DEPTH), 0);
    EXPECT_EQ(camera->start(DEPTH), -1);  // already streaming: worker undisturbed
    EXPECT_EQ(script->startCalls.load(), 1);
    deliver(1);
    EXPECT_TRUE(camera->isStreaming());
    script->endFrames();
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_EQ(camera->stop(), -1);
    EXPECT_EQ(script->stopCalls.load(), 1);
    EXPECT_EQ(camera->close(), 0);
}

TEST(CameraWithoutBackEnd, RefusesEverything) {
    LumivexTOFCamera camera(kNoModelFile);
    int32_t value = 5;
    EXPECT_EQ(camera.start(DEPTH), -1);
    EXPECT_EQ(camera.stop(), -1);
    EXPECT_EQ(camera.close(), -1);
    EXPECT_EQ(camera.setControl(RANG, 2), -1);
    EXPECT_EQ(camera.getControl(RANG, &value), -1);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(camera.requestFrame(0), nullptr);
    EXPECT_EQ(camera.requestFrame(-1), nullptr);
    EXPECT_EQ(camera.releaseFrame(nullptr), -1);
    EXPECT_EQ(camera.openWithFile(nullptr, 1.0f, 3), -1);
    EXPECT_EQ(camera.currentDeviceIndex(), 0);
    EXPECT_EQ(camera.currentConnection(), CSI);
    EXPECT_EQ(camera.open(static_cast<Connection>(7), 2), -1);
    EXPECT_EQ(camera.currentDeviceIndex(), 2);
    EXPECT_EQ(camera.currentRange(), 4);
    EXPECT_EQ(camera.currentModulationFrequency(), 37500000.0f);
}

TEST_F(CameraTest, CloseStopsARunningWorkerFirst) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    script->runFreely();
    EXPECT_EQ(camera->close(), 0);
    EXPECT_FALSE(camera->isStreaming());
    EXPECT_EQ(script->stopCalls.load(), 1);
    EXPECT_EQ(script->closeCalls.load(), 1);
}

// A back-end that could not start gets no worker: nothing captures from a
// device that another program may hold, and the session can start again.
TEST_F(CameraTest, BackEndStartFailureIsReportedAndNoWorkerRuns) {
    script->startResult = -7;
    EXPECT_EQ(camera->start(RAW), -7);
    EXPECT_FALSE(camera->isStreaming());
    EXPECT_EQ(camera->requestFrame(-1), nullptr);  // nothing can come: at once
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(script->getFrameCalls.load(), 0);
    EXPECT_EQ(camera->stop(), -1);  // nothing runs
    script->startResult = 0;
    ASSERT_EQ(camera->start(RAW), 0);
    deliver(1);
    LumivexFrameBuffer* frame = camera->requestFrame(0);
    ASSERT_NE(frame, nullptr);
    camera->releaseFrame(frame);
}

TEST_F(CameraTest, TheCaptureTapSeesEveryCapturedFrameBeforeConversionAndNoFailedOne) {
    struct Seen {
        uint64_t timestamp;
        int32_t range;
        float frequency;
        uint16_t firstWord;
    };
    std::vector<Seen> seen;  // the worker appends; read after stop
    camera->setCaptureTap([&seen](const uint8_t* raw, uint64_t timestamp, int32_t range, float frequency) {
        seen.push_back({timestamp, range, frequency, uint16_t(raw[0] | raw[1] << 8)});
    });
    const uint16_t words[4] = {0x0123, 0, 1, 0};
    script->fillPlaneWords(words);
    script->results = {0, -1, 0};
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(1);
    ASSERT_EQ(camera->setControl(RANG, 2), 0);
    deliver(2);
    script->endFrames();
    ASSERT_EQ(camera->stop(), 0);
    ASSERT_EQ(seen.size(), 2u);  // the failed capture is not shown
    EXPECT_EQ(seen[0].timestamp, 1u);
    EXPECT_EQ(seen[0].range, 4);
    EXPECT_EQ(seen[0].frequency, 37500000.0f);
    EXPECT_EQ(seen[1].timestamp, 3u);
    EXPECT_EQ(seen[1].range, 2);
    EXPECT_EQ(seen[1].frequency, 75000000.0f);
    EXPECT_EQ(seen[0].firstWord, 0x0123);  // the raw words, not converted
    while (LumivexFrameBuffer* frame = camera->requestFrame(0)) camera->releaseFrame(frame);
}

TEST_F(CameraTest, AFrameWhoseCaptureARangeSwitchOverlappedIsDropped) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(1);  // frame 1; the worker now waits inside the capture of frame 2
    ASSERT_EQ(camera->setControl(RANG, 2), 0);
    deliver(2);  // frame 2 ends after the switch: dropped; frame 3 is whole at 2 m
    // Frame 1, of the old range and still waiting, is not handed out after
    // the switch either.
    std::vector<uint64_t> stamps;
    while (LumivexFrameBuffer* frame = camera->requestFrame(0)) {
        stamps.push_back(timestampOf(frame));
        camera->releaseFrame(frame);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{3}));
}

TEST_F(CameraTest, AnInterruptedWaitGivesUpBetweenSlices) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    int asked = 0;
    EXPECT_EQ(camera->requestFrame(-1, [&asked] { return ++asked == 3; }), nullptr);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(camera->requestFrame(30000, [] { return true; }), nullptr);
}

TEST_F(CameraTest, DestroyingAStreamingCameraStopsWorkerAndBackEnd) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    script->runFreely();
    camera.reset();
    EXPECT_TRUE(script->destroyed.load());
    EXPECT_FALSE(script->destroyedDuringGetFrame.load());
    EXPECT_EQ(script->stopCalls.load(), 1);
    EXPECT_EQ(script->closeCalls.load(), 0);
}

TEST_F(CameraTest, ReopeningAStreamingCameraStopsTheWorkerBeforeReplacingTheBackEnd) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    script->runFreely();
    auto second = std::make_shared<Script>();
    EXPECT_EQ(camera->openWithSensor(std::make_unique<ScriptedSensor>(second), USB, 1), 0);
    EXPECT_TRUE(script->destroyed.load());
    EXPECT_FALSE(script->destroyedDuringGetFrame.load());
    EXPECT_EQ(script->stopCalls.load(), 1);
    EXPECT_FALSE(camera->isStreaming());
    EXPECT_EQ(camera->currentConnection(), USB);
    EXPECT_EQ(camera->currentDeviceIndex(), 1);
}

TEST_F(CameraTest, LentFrameStaysValidAcrossARestartThatRebuildsThePool) {
    const uint16_t words[4] = {0, 0, 1, 0};
    script->fillPlaneWords(words);
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(1);
    LumivexFrameBuffer* old = camera->requestFrame(0);
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(restart(RAW), 0);
    // The replaced pool is kept while it lends a frame (ASan would see a use after free).
    EXPECT_EQ(static_cast<float*>(old->getData(DEPTH))[43199], 1.0f);
    EXPECT_NE(camera->poolHolding(old), nullptr);
    EXPECT_EQ(camera->releaseFrame(old), 0);
    EXPECT_EQ(camera->releaseFrame(old), -1);
    EXPECT_EQ(camera->poolHolding(old), nullptr);  // the old pool is gone now
}

TEST_F(CameraTest, LentFrameStaysValidAfterTheCameraIsDestroyedWhileItsPoolIsHeld) {
    const uint16_t words[4] = {0, 0, 1, 0};
    script->fillPlaneWords(words);
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(1);
    LumivexFrameBuffer* frame = camera->requestFrame(0);
    ASSERT_NE(frame, nullptr);
    std::shared_ptr<FramePool> keep = camera->poolHolding(frame);
    script->endFrames();
    camera.reset();
    EXPECT_EQ(static_cast<float*>(frame->getData(AMPLITUDE))[0], 8.0f);
    EXPECT_TRUE(keep->isLent(frame));
}

TEST_F(CameraTest, PoolsGoWithTheCameraUnlessSomeoneHoldsThem) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(2);
    LumivexFrameBuffer* first = camera->requestFrame(0);
    ASSERT_NE(first, nullptr);
    std::weak_ptr<FramePool> firstPool = camera->poolHolding(first);
    ASSERT_EQ(restart(RAW), 0);  // the first pool is retired while it lends
    deliver(1);
    LumivexFrameBuffer* second = camera->requestFrame(0);
    ASSERT_NE(second, nullptr);
    std::weak_ptr<FramePool> secondPool = camera->poolHolding(second);
    EXPECT_FALSE(firstPool.expired());
    script->endFrames();
    camera.reset();  // frames never released
    EXPECT_TRUE(firstPool.expired());
    EXPECT_TRUE(secondPool.expired());
}

TEST_F(CameraTest, TwoUnboundedWaitersForTheLastFreeFrameDoNotBothWait) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    script->runFreely();
    std::vector<LumivexFrameBuffer*> held{camera->requestFrame(1000), camera->requestFrame(1000)};
    ASSERT_NE(held[0], nullptr);
    ASSERT_NE(held[1], nullptr);
    // The worker cycles the last buffer: the caller that does not get it
    // must see that the callers now hold every buffer.
    auto waiter = [this] { return camera->requestFrame(-1); };
    auto a = std::async(std::launch::async, waiter);
    auto b = std::async(std::launch::async, waiter);
    const bool bothReturned = a.wait_for(std::chrono::seconds(5)) == std::future_status::ready &&
                              b.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!bothReturned) {
        script->endFrames();
        camera->stop();  // ends the stuck waiter so the test can report
    }
    EXPECT_TRUE(bothReturned);
    LumivexFrameBuffer* x = a.get();
    LumivexFrameBuffer* y = b.get();
    EXPECT_EQ((x != nullptr) + (y != nullptr), 1);
    for (auto* frame : {held[0], held[1], x, y}) {
        if (frame != nullptr) {
            EXPECT_EQ(camera->releaseFrame(frame), 0);
        }
    }
}

// The Python module's wait: unbounded, on another thread, asking between
// slices whether to give up (as the module does for signals, with the
// interpreter lock taken back just for that), while this thread stops or
// closes the camera: the wait returns null, and nothing races.
TEST_F(CameraTest, StopOrCloseOnAnotherThreadEndsAnUnboundedWait) {
    for (const bool closing : {false, true}) {
        SCOPED_TRACE(closing ? "close" : "stop");
        if (closing) {
            script->resumeFrames();
            ASSERT_EQ(camera->openWithSensor(std::make_unique<ScriptedSensor>(script), CSI, 0), 0);
        }
        ASSERT_EQ(camera->start(DEPTH), 0);  // the scripted sensor sends nothing
        std::atomic<int> asked{0};
        auto waiting = std::async(std::launch::async, [&] {
            return camera->requestFrame(-1, [&asked] { return ++asked < 0; });
        });
        while (asked.load() < 2) std::this_thread::yield();  // inside the wait, between slices
        script->endFrames();  // the worker's capture returns, so it can be joined
        EXPECT_EQ(closing ? camera->close() : camera->stop(), 0);
        ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(waiting.get(), nullptr);
    }
}

TEST_F(CameraTest, AFailedCaptureIntoAReclaimedFrameLosesNothing) {
    // Three frames fill the pool; from then on each capture reclaims the
    // oldest ready frame, and these fail (the fourth, then those until stop):
    // each time that frame goes back where it was.
    script->results = {0, 0, 0, -1};
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(4);
    script->endFrames();
    ASSERT_EQ(camera->stop(), 0);
    std::vector<uint64_t> stamps;
    while (LumivexFrameBuffer* frame = camera->requestFrame(0)) {
        stamps.push_back(timestampOf(frame));
        EXPECT_EQ(camera->releaseFrame(frame), 0);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{1, 2, 3}));
}

// A reclaimed frame whose new capture failed goes back as it was; if a
// newer frame was handed out meanwhile, it is never handed out after it.
TEST_F(CameraTest, AFrameOlderThanOneHandedOutIsNeverHandedOut) {
    script->results = {0, 0, 0, -1};
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(3);  // frames 1 to 3 ready; the worker reclaimed frame 1 for its fourth capture
    LumivexFrameBuffer* second = camera->requestFrame(0);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(timestampOf(second), 2u);
    deliver(1);  // that capture fails: frame 1 goes back, older than frame 2
    script->endFrames();
    ASSERT_EQ(camera->stop(), 0);
    std::vector<uint64_t> stamps;
    while (LumivexFrameBuffer* frame = camera->requestFrame(0)) {
        stamps.push_back(timestampOf(frame));
        EXPECT_EQ(camera->releaseFrame(frame), 0);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{3}));
    EXPECT_EQ(camera->releaseFrame(second), 0);
}

TEST_F(CameraTest, FramesStillReadyAfterStopCanBeRequested) {
    ASSERT_EQ(camera->start(DEPTH), 0);
    deliver(2);
    script->endFrames();
    ASSERT_EQ(camera->stop(), 0);
    // Until stop takes effect the worker's captures fail; failed captures
    // hand nothing out and keep the ready frames in their order.
    std::vector<uint64_t> stamps;
    while (LumivexFrameBuffer* frame = camera->requestFrame(0)) {
        stamps.push_back(timestampOf(frame));
        EXPECT_EQ(camera->releaseFrame(frame), 0);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{1, 2}));
}

TEST_F(CameraTest, OpeningAgainWhileNotStreamingDropsTheOldBackEndWithoutStopOrClose) {
    auto second = std::make_shared<Script>();
    ASSERT_EQ(camera->openWithSensor(std::make_unique<ScriptedSensor>(second), CSI, 1), 0);
    EXPECT_TRUE(script->destroyed.load());
    EXPECT_EQ(script->stopCalls.load(), 0);
    EXPECT_EQ(script->closeCalls.load(), 0);
    second->endFrames();
}

TEST_F(CameraTest, RepeatedCaptureFailuresBackOffAndRecoverAtTheFirstSuccess) {
    {
        std::lock_guard<std::mutex> lock(script->mutex);
        script->results.assign(100000, -1);
    }
    script->runFreely();
    ASSERT_EQ(camera->start(RAW), 0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int failures = script->getFrameCalls.load();
    // 10 us doubling to 100 ms: about 22 calls in the first second (10,000
    // without the back-off).
    EXPECT_LE(failures, 40);
    EXPECT_GE(failures, 5);
    {
        std::lock_guard<std::mutex> lock(script->mutex);
        script->results.clear();  // the camera recovers
    }
    // Back to short pauses: five more captures take far less than the five
    // 100 ms pauses of the back-off (even under emulation).
    ASSERT_TRUE(script->waitForCalls(script->getFrameCalls.load() + 1));
    const int from = script->getFrameCalls.load();
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(script->waitForCalls(from + 5));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(400));
    LumivexFrameBuffer* frame = camera->requestFrame(1000);
    ASSERT_NE(frame, nullptr);
    EXPECT_NE(timestampOf(frame, RAW), 0u);
    camera->releaseFrame(frame);
}

TEST(CameraPlatform, SampleShiftFollowsTheHostAtConstruction) {
    const std::string path = ::testing::TempDir() + "xavier_model_" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("NVIDIA Jetson AGX Xavier Developer Kit", f);
    std::fputc('\0', f);
    std::fclose(f);
    LumivexTOFCamera xavier(path.c_str());
    EXPECT_EQ(xavier.hostPlatform(), JETSON_XAVIER);
    EXPECT_EQ(xavier.rawSampleShift(), 4);
    LumivexTOFCamera unknown(kNoModelFile);
    EXPECT_EQ(unknown.hostPlatform(), UNKNOWN);
    EXPECT_EQ(unknown.rawSampleShift(), 0);
    std::remove(path.c_str());
}

}  // namespace
