// A scripted back-end for driving the camera session through its sensor seam.
// The test keeps the Script; the camera owns the ScriptedSensor.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "frame_types.h"
#include "tof_sensor.h"

namespace LumivexTest {

struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    int permits = 0;          // frames getFrame may still deliver
    bool unlimited = false;   // deliver without waiting for permits
    bool shutdown = false;    // every waiting and later getFrame returns -1
    uint64_t nextTimestamp = 1;
    std::vector<int32_t> results;  // getFrame results in turn; then 0
    std::vector<uint8_t> rawFrame = std::vector<uint8_t>(Lumivex::kRawFrameBytes, 0);

    bool writesRange = true;
    int32_t rangeValue = 4;
    int32_t setControlResult = 0;
    int32_t startResult = 0;

    std::atomic<int> getFrameCalls{0};
    std::atomic<int> startCalls{0}, stopCalls{0}, closeCalls{0}, setControlCalls{0};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> destroyedDuringGetFrame{false};
    std::atomic<bool> inGetFrame{false};

    void allow(int frames) {
        std::lock_guard<std::mutex> lock(mutex);
        permits += frames;
        changed.notify_all();
    }
    void runFreely() {
        std::lock_guard<std::mutex> lock(mutex);
        unlimited = true;
        changed.notify_all();
    }
    void endFrames() {
        std::lock_guard<std::mutex> lock(mutex);
        shutdown = true;
        changed.notify_all();
    }
    void resumeFrames() {
        std::lock_guard<std::mutex> lock(mutex);
        shutdown = false;
    }
    // Waits until getFrame has been entered `calls` times: the frame of the
    // call before it has then been published.
    bool waitForCalls(int calls, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (getFrameCalls.load() < calls) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
    // Every word of plane `plane` set to `word`, other planes zero.
    void fillPlaneWords(const uint16_t words[4]) {
        for (uint32_t k = 0; k < 4; ++k) {
            for (uint32_t i = 0; i < Lumivex::kPixelCount; ++i) {
                rawFrame[k * Lumivex::kPhasePlaneBytes + 2 * i] = uint8_t(words[k] & 0xFF);
                rawFrame[k * Lumivex::kPhasePlaneBytes + 2 * i + 1] = uint8_t(words[k] >> 8);
            }
        }
    }
};

class ScriptedSensor : public Lumivex::LumivexTOFSensor {
public:
    explicit ScriptedSensor(std::shared_ptr<Script> script) : script(std::move(script)) {}
    ~ScriptedSensor() override {
        if (script->inGetFrame.load()) script->destroyedDuringGetFrame = true;
        script->destroyed = true;
    }
    int32_t open() override { return 0; }
    int32_t close() override { return ++script->closeCalls, 0; }
    int32_t start() override { return ++script->startCalls, script->startResult; }
    int32_t stop() override { return ++script->stopCalls, 0; }

    int32_t getFrame(uint8_t* raw, uint64_t* timestamp) override {
        script->inGetFrame = true;
        ++script->getFrameCalls;
        std::unique_lock<std::mutex> lock(script->mutex);
        script->changed.wait(lock, [this] {
            return script->shutdown || script->unlimited || script->permits > 0;
        });
        int32_t result = -1;
        if (!script->shutdown) {
            if (!script->unlimited) --script->permits;
            result = 0;
            if (!script->results.empty()) {
                result = script->results.front();
                script->results.erase(script->results.begin());
            }
            if (result != -1) {
                std::memcpy(raw, script->rawFrame.data(), script->rawFrame.size());
                *timestamp = script->nextTimestamp;
            }
            ++script->nextTimestamp;
        }
        script->inGetFrame = false;
        return result;
    }

    int32_t setControl(Lumivex::CameraCtrl, int32_t value) override {
        ++script->setControlCalls;
        std::lock_guard<std::mutex> lock(script->mutex);
        if (script->setControlResult == 0) script->rangeValue = value;
        return script->setControlResult;
    }
    int32_t getControl(Lumivex::CameraCtrl, int32_t* value) override {
        std::lock_guard<std::mutex> lock(script->mutex);
        if (!script->writesRange) return -1;
        *value = script->rangeValue;
        return 0;
    }

private:
    std::shared_ptr<Script> script;
};

}  // namespace LumivexTest
