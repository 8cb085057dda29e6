// The camera session: owns the sensor back-end, the frame pool and the worker
// thread that captures and converts frames.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "camera_controls.h"
#include "csi/host_platform.h"
#include "frame_buffer.h"

namespace Lumivex {

// Internal to the engine (a caller of openWithSensor includes tof_sensor.h).
class LumivexTOFSensor;
class FramePool;

enum Connection : int32_t {
    CSI = 0,  // camera on a MIPI CSI-2 port
    USB = 1,  // camera behind the USB camera library
};

class LumivexTOFCamera {
public:
    // Detects the host platform from the device-tree model file at `modelPath`.
    explicit LumivexTOFCamera(const char* modelPath = kDeviceTreeModelPath);
    // Stops a running worker and the back-end first, then drops the frame
    // pools. C++ callers release every frame before destroying the camera: a
    // frame still lent then is freed with its pool. (A holder of the pool, as
    // the Python module's frame objects are through poolHolding, keeps it.)
    ~LumivexTOFCamera();

    LumivexTOFCamera(const LumivexTOFCamera&) = delete;
    LumivexTOFCamera& operator=(const LumivexTOFCamera&) = delete;

    int32_t open(Connection connection, int32_t index);
    int32_t openWithFile(const char* configPath, float unused, int32_t index);
    // Opens the camera through a back-end supplied by the caller (another
    // kind of sensor, or a scripted one); replaces the current back-end.
    int32_t openWithSensor(std::unique_ptr<LumivexTOFSensor> backEnd, Connection connection,
                           int32_t index);
    int32_t start(FrameType type);
    int32_t stop();
    int32_t close();
    int32_t setControl(CameraCtrl ctrl, int32_t value);
    // RANG: the back-end's result with the range written at `value`; -1 for
    // other controls or without a back-end.
    int32_t getControl(CameraCtrl ctrl, int32_t* value);

    // The oldest frame captured since start, waiting up to timeoutMs (< 0:
    // as long as one can come; see FramePool::requestFrame); null on
    // time-out. Failed captures are never handed out. `interrupted`, if
    // given, is asked between slices of the wait whether to give up.
    LumivexFrameBuffer* requestFrame(int16_t timeoutMs, const std::function<bool()>& interrupted = nullptr);
    int32_t releaseFrame(LumivexFrameBuffer* frame);

    // The pool that holds `frame` (current or replaced but still lending), or
    // null. Holding it keeps the frame's memory valid.
    std::shared_ptr<FramePool> poolHolding(const LumivexFrameBuffer* frame);

    // Called on the worker thread with every frame captured, before its
    // conversion: the raw phase frame as the back-end delivered it (345,600
    // bytes, valid during the call only), its time stamp, and the range and
    // modulation frequency in force. Set it before start (an empty one
    // clears it); it takes effect at the next start.
    using CaptureTap = std::function<void(const uint8_t* rawFrame, uint64_t timestamp, int32_t range,
                                          float modulationFrequency)>;
    void setCaptureTap(CaptureTap tap);

    HostPlatform hostPlatform() const { return platform; }
    uint8_t rawSampleShift() const { return sampleShift; }
    int32_t currentRange() const { return range.load(); }
    float currentModulationFrequency() const { return modulationFrequency.load(); }
    int32_t currentDeviceIndex() const { return deviceIndex; }
    Connection currentConnection() const { return connection; }
    bool isStreaming() const { return !stopped.load(); }
    // What the open device says of itself (LumivexTOFSensor::deviceFacts).
    std::vector<std::pair<std::string, std::string>> deviceFacts();

private:
    int32_t replaceSensor(std::unique_ptr<LumivexTOFSensor> backEnd);
    void stopWorker();     // caller holds sessionMutex; worker must be running
    void endStreaming();   // if a worker runs: stop it, then the back-end
    void replacePool(FrameType type);
    // What the worker works with, copied at start so that later calls on the
    // caller's thread never race with it.
    struct CaptureSettings {
        FrameType type;
        uint32_t width;
        uint32_t height;
        CaptureTap tap;
        // The host's sample shift applies to what its CSI receiver stores;
        // a USB board sends its samples unshifted on every host.
        uint8_t sampleShift;
    };
    void captureLoop(std::shared_ptr<FramePool> framePool, CaptureSettings settings);
    void pauseWhileRunning(std::chrono::microseconds pause);
    void setRange(int32_t value);
    // The range the frame just captured was exposed at (2, 4; 0 when the
    // set-up never said), or kRangeUncertain: such a frame is dropped.
    static constexpr int32_t kRangeUncertain = -1;
    int32_t frameRangeOf(uint32_t switchesBefore) const;
    float frequencyOf(int32_t frameRange) const;

    int32_t deviceIndex = 0;
    Connection connection = CSI;
    FrameType frameType = DEPTH;
    uint32_t width = kSensorWidth;
    uint32_t height = kSensorHeight;
    std::unique_ptr<LumivexTOFSensor> sensor;
    std::shared_ptr<FramePool> pool;
    std::thread worker;
    std::atomic<bool> stopped{true};
    HostPlatform platform;
    uint8_t sampleShift;
    std::atomic<int32_t> range{4};
    std::atomic<float> modulationFrequency{37500000.0f};
    // Twice the range switches setControl made, odd while one is under way:
    // with a back-end that does not say each frame's range, a frame whose
    // capture a switch overlapped is dropped, never one of two ranges.
    std::atomic<uint32_t> rangeSwitches{0};
    float speedOfLight = kSpeedOfLight;
    float pi = kPi;
    uint32_t pixelCount = kPixelCount;

    // Serialises the session operations of several caller threads and guards
    // `pool` and `retiredPools`; never held while waiting for a frame.
    std::mutex sessionMutex;
    // Pools replaced by a later start while frames were still lent from them.
    std::vector<std::shared_ptr<FramePool>> retiredPools;
    CaptureTap captureTap;  // guarded by sessionMutex; the worker has its own copy
};

}  // namespace Lumivex
