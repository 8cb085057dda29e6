#include "tof_camera.h"

#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "csi/warning.h"
#include "depth_conversion.h"
#include "frame_pool.h"
#include "sensor_factory.h"
#include "tof_sensor.h"

namespace Lumivex {

namespace {
constexpr float kShortRangeFrequency = 75000000.0f;  // range 2 m
constexpr float kLongRangeFrequency = 37500000.0f;   // range 4 m

// The worker's pause after a frame: the design's 10 us, doubled while
// getFrame keeps failing (up to 100 ms), so that a failing camera neither
// floods standard output nor burns a core. Back to 10 us at the first success.
constexpr auto kFramePause = std::chrono::microseconds(10);
constexpr auto kLongestFailurePause = std::chrono::microseconds(100000);
constexpr auto kPauseSlice = std::chrono::milliseconds(10);
}  // namespace

LumivexTOFCamera::LumivexTOFCamera(const char* modelPath)
    : platform(detectHostPlatform(modelPath)), sampleShift(sampleShiftFor(platform)) {}

LumivexTOFCamera::~LumivexTOFCamera() {
    std::lock_guard<std::mutex> lock(sessionMutex);
    endStreaming();
    // The pools go with the camera unless someone else (a Python frame
    // object) still holds one.
}

int32_t LumivexTOFCamera::open(Connection c, int32_t index) {
    std::unique_lock<std::mutex> lock(sessionMutex);
    deviceIndex = index;
    connection = c;
    width = kSensorWidth;
    height = kSensorHeight;
    std::unique_ptr<LumivexTOFSensor> backEnd;
    if (c == CSI) {
        char devicePath[80];
        std::snprintf(devicePath, sizeof devicePath, "/dev/video%d", index);
        backEnd = createCsiSensor(devicePath, platform);
    } else if (c == USB) {
        backEnd = createUsbSensor("", index);
    } else {
        return -1;
    }
    if (!backEnd) return -1;
    return replaceSensor(std::move(backEnd));
}

int32_t LumivexTOFCamera::openWithFile(const char* configPath, float, int32_t index) {
    if (configPath == nullptr) return -1;
    std::unique_lock<std::mutex> lock(sessionMutex);
    deviceIndex = index;
    connection = USB;
    width = kSensorWidth;
    height = kSensorHeight;
    auto backEnd = createUsbSensor(configPath, index);
    if (!backEnd) return -1;
    return replaceSensor(std::move(backEnd));
}

int32_t LumivexTOFCamera::openWithSensor(std::unique_ptr<LumivexTOFSensor> backEnd,
                                         Connection c, int32_t index) {
    if (!backEnd) return -1;
    std::unique_lock<std::mutex> lock(sessionMutex);
    deviceIndex = index;
    connection = c;
    width = kSensorWidth;
    height = kSensorHeight;
    return replaceSensor(std::move(backEnd));
}

int32_t LumivexTOFCamera::replaceSensor(std::unique_ptr<LumivexTOFSensor> backEnd) {
    endStreaming();  // the worker uses the back-end: stop it first, as close does
    sensor = std::move(backEnd);  // the previous back-end is destroyed here
    return sensor->open();
}

void LumivexTOFCamera::replacePool(FrameType type) {
    auto fresh = std::make_shared<FramePool>(type, width, height);
    if (pool && pool->lentCount() > 0) retiredPools.push_back(std::move(pool));
    pool = std::move(fresh);
}

float LumivexTOFCamera::frequencyOf(int32_t frameRange) const {
    if (frameRange == 2) return kShortRangeFrequency;
    if (frameRange == 4) return kLongRangeFrequency;
    return modulationFrequency.load();  // a frame of no known range: as the session stands
}

int32_t LumivexTOFCamera::frameRangeOf(uint32_t switchesBefore) const {
    const int32_t known = sensor->frameRange();
    if (known != LumivexTOFSensor::kRangeFromSession) return known;
    // The back-end keeps no record: the frame is of the session's range only
    // if no switch was under way or made while it was captured.
    const int32_t sessionRange = range.load();
    const bool steady = switchesBefore % 2 == 0 && rangeSwitches.load() == switchesBefore;
    return steady ? sessionRange : kRangeUncertain;
}

void LumivexTOFCamera::setRange(int32_t value) {
    if (value == 2) modulationFrequency.store(kShortRangeFrequency);
    if (value == 4) modulationFrequency.store(kLongRangeFrequency);
    range.store(value);
}

int32_t LumivexTOFCamera::start(FrameType type) {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (!sensor || !stopped.load() || (type != RAW && type != DEPTH)) return -1;
    frameType = type;
    replacePool(type);

    int32_t value = 0;
    sensor->getControl(RANG, &value);
    setRange(value);

    const int32_t result = sensor->start();
    // A back-end that could not start (its device in use, gone, refusing
    // the format) gets no worker: one would only fail, or take another
    // program's frames, for as long as the session lasts.
    if (result != 0) return result;
    pool->setRangeInForce(range.load());
    pool->setProducing(true);
    stopped.store(false);
    try {
        worker = std::thread(&LumivexTOFCamera::captureLoop, this, pool,
                             CaptureSettings{type, width, height, captureTap,
                                             connection == CSI ? sampleShift : uint8_t(0)});
    } catch (...) {
        stopped.store(true);
        pool->setProducing(false);
        throw;
    }
    return result;
}

void LumivexTOFCamera::stopWorker() {
    stopped.store(true);
    sensor->interruptCapture();  // a silent device never holds stop or close
    worker.join();
}

void LumivexTOFCamera::endStreaming() {
    if (stopped.load()) return;
    stopWorker();
    sensor->stop();  // its result is not reported here
}

int32_t LumivexTOFCamera::stop() {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (!sensor || stopped.load()) return -1;
    stopWorker();
    return sensor->stop();
}

int32_t LumivexTOFCamera::close() {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (!sensor) return -1;
    endStreaming();
    return sensor->close();
}

std::vector<std::pair<std::string, std::string>> LumivexTOFCamera::deviceFacts() {
    std::lock_guard<std::mutex> lock(sessionMutex);
    return sensor ? sensor->deviceFacts() : std::vector<std::pair<std::string, std::string>>{};
}

void LumivexTOFCamera::setCaptureTap(CaptureTap tap) {
    std::lock_guard<std::mutex> lock(sessionMutex);
    captureTap = std::move(tap);
}

int32_t LumivexTOFCamera::setControl(CameraCtrl ctrl, int32_t value) {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (!sensor || ctrl != RANG || (value != 2 && value != 4)) return -1;
    // The switch counter is odd while a switch is under way, so that a
    // worker judging a frame by the session's range sees one step: the
    // back-end, the range and the counter change together.
    rangeSwitches.fetch_add(1);
    const bool accepted = sensor->setControl(RANG, value) == 0;
    if (accepted) {
        setRange(value);
        // Frames of the old range still waiting are not handed out after it.
        if (pool) pool->setRangeInForce(value);
    }
    rangeSwitches.fetch_add(1);
    return 0;  // a refusal changes nothing
}

int32_t LumivexTOFCamera::getControl(CameraCtrl ctrl, int32_t* value) {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (!sensor || ctrl != RANG || value == nullptr) return -1;
    return sensor->getControl(RANG, value);
}

LumivexFrameBuffer* LumivexTOFCamera::requestFrame(int16_t timeoutMs, const std::function<bool()>& interrupted) {
    std::shared_ptr<FramePool> current;
    {
        std::lock_guard<std::mutex> lock(sessionMutex);
        current = pool;
    }
    if (!current) return nullptr;
    LumivexFrameBuffer* frame = current->requestFrame(timeoutMs, interrupted);  // waits without the lock
    if (frame == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(sessionMutex);
    // A start on another thread may have replaced the pool during the wait:
    // keep it while it lends this frame.
    if (current != pool && std::find(retiredPools.begin(), retiredPools.end(), current) == retiredPools.end())
        retiredPools.push_back(current);
    return frame;
}

int32_t LumivexTOFCamera::releaseFrame(LumivexFrameBuffer* frame) {
    if (frame == nullptr) return -1;
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (pool && pool->holds(frame)) return pool->releaseFrame(frame);
    for (auto it = retiredPools.begin(); it != retiredPools.end(); ++it) {
        if (!(*it)->holds(frame)) continue;
        const int32_t result = (*it)->releaseFrame(frame);
        if ((*it)->lentCount() == 0) retiredPools.erase(it);
        return result;
    }
    return -1;
}

std::shared_ptr<FramePool> LumivexTOFCamera::poolHolding(const LumivexFrameBuffer* frame) {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (pool && pool->holds(frame)) return pool;
    for (const auto& retired : retiredPools) {
        if (retired->holds(frame)) return retired;
    }
    return nullptr;
}

void LumivexTOFCamera::pauseWhileRunning(std::chrono::microseconds pause) {
    // In slices, so that stop never waits for a long pause to end.
    while (pause.count() > 0 && !stopped.load()) {
        const auto slice = std::min<std::chrono::microseconds>(pause, kPauseSlice);
        std::this_thread::sleep_for(slice);
        pause -= slice;
    }
}

void LumivexTOFCamera::captureLoop(std::shared_ptr<FramePool> framePool, CaptureSettings settings) {
    // The worker's 10 us pauses: Linux lets a sleep overrun by the thread's
    // timer slack (50 us by default), which made each pause six times longer
    // than asked. A 1 us slack keeps the pause what it says.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    // Signals sent to the process (Ctrl-C, a terminal closing, a program's
    // own timers) go to the caller's threads, never here: one handled on
    // this thread would break the driver's or libusb's wait with EINTR, and
    // a capture that failed for it would warn of a fault there was not.
    // Faults of this thread's own (SIGSEGV and the like) are not blocked.
    sigset_t asynchronous;
    sigfillset(&asynchronous);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&asynchronous, fault);
    pthread_sigmask(SIG_BLOCK, &asynchronous, nullptr);
    uint8_t* raw = framePool->captureTarget();
    const DepthParameters depthParameters{0, &modulationFrequency, speedOfLight, pi, settings.sampleShift,
                                          pixelCount};
    auto pause = kFramePause;
    bool warnedUnknownRange = false;
    while (!stopped.load()) {
        BufferNode* node = framePool->popFreeForCapture();
        const bool reclaimed = node == nullptr;
        if (reclaimed) node = framePool->reclaimOldestReady();
        if (node == nullptr) {
            std::this_thread::sleep_for(std::chrono::microseconds(10));
            continue;
        }
        uint64_t timestamp = 0;
        const uint32_t switchesBefore = rangeSwitches.load();
        const bool captured = sensor->getFrame(raw, &timestamp) != -1;
        const int32_t exposedAt = captured ? frameRangeOf(switchesBefore) : kRangeUncertain;
        // Only a real capture of a known range is converted and handed out:
        // after a failure (the back-end has reported why), or a frame whose
        // range is not certain, the buffer goes back as it was.
        bool usable = exposedAt != kRangeUncertain;
        if (usable && exposedAt == 0 && settings.type == DEPTH) {
            usable = false;  // a distance computed at a guessed range is wrong
            if (!warnedUnknownRange) {
                warn("captureLoop", "The camera's set-up does not say its range: depth frames are dropped until "
                                    "setControl(RANG, 2 or 4)");
                warnedUnknownRange = true;
            }
        }
        if (usable) {
            if (settings.tap) settings.tap(raw, timestamp, exposedAt, frequencyOf(exposedAt));
            LumivexFrameBuffer* frame = node->frame.get();
            frame->setTimestamp(timestamp);
            frame->setRange(exposedAt);
            if (settings.type == RAW) {
                convertRaw(raw, static_cast<int16_t*>(frame->getData(RAW)), settings.width,
                           settings.height, settings.sampleShift);
            } else if (settings.type == DEPTH) {
                // The whole frame at the range it was exposed at.
                const std::atomic<float> frameFrequency{frequencyOf(exposedAt)};
                DepthParameters p = depthParameters;
                p.range = exposedAt;
                p.modulationFrequency = &frameFrequency;
                convertDepth(raw, static_cast<float*>(frame->getData(DEPTH)),
                             static_cast<float*>(frame->getData(AMPLITUDE)), p);
            }
            framePool->publish(node, exposedAt);
        } else {
            framePool->returnUnfilled(node, reclaimed);  // its content is untouched
            if (!captured) framePool->setSourceGone(sensor->deviceGone());
        }
        pauseWhileRunning(pause);
        pause = captured ? kFramePause : std::min(pause * 2, kLongestFailurePause);
    }
    framePool->setProducing(false);
}

}  // namespace Lumivex
