// The CSI back-end: one V4L2 capture node with memory-mapped streaming.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "copy_routines.h"
#include "host_platform.h"
#include "range_switch_judge.h"
#include "tof_sensor.h"

namespace Lumivex {

// Whether a sub-frame with time stamp `current` starts a new group after one
// at `previous`: more than 5 ms later (4 ms across a second boundary), or
// earlier.
bool restartsGroup(const timeval& previous, const timeval& current);

// The frame time stamp in 100-nanosecond units.
inline uint64_t timestampTicks(const timeval& t) {
    return uint64_t(t.tv_sec) * 10000000u + uint64_t(t.tv_usec) * 10u;
}

class LumivexTOFCSISensor : public LumivexTOFSensor {
public:
    static constexpr int kBufferCount = 8;

    LumivexTOFCSISensor(const char* devicePath, HostPlatform platform);
    // Releases what stop and close left: mappings and descriptors.
    ~LumivexTOFCSISensor() override;

    LumivexTOFCSISensor(const LumivexTOFCSISensor&) = delete;
    LumivexTOFCSISensor& operator=(const LumivexTOFCSISensor&) = delete;

    int32_t open() override;
    int32_t close() override;
    int32_t start() override;
    int32_t stop() override;
    int32_t getFrame(uint8_t* rawFrame, uint64_t* timestamp) override;
    int32_t setControl(CameraCtrl ctrl, int32_t value) override;
    int32_t getControl(CameraCtrl ctrl, int32_t* value) override;
    int32_t frameRange() const override { return lastFrameRange; }
    void interruptCapture() override { interrupted.store(true); }

    // ioctl with up to five attempts; refuses everything while videoFd < 0.
    int xioctl(int fd, unsigned long request, void* argument);

    int32_t hostPlatform() const { return platform; }
    CopyRoutine chosenCopyRoutine() const { return copyRoutine; }

private:
    int32_t setVideoMode();
    int32_t requestBuffer();
    void unmapBuffer(int index);
    // The range control as the sensor holds it (2 or 4), or 0 if unreadable.
    int32_t readRange();
    bool queueHeldElsewhere();
    void noteSwitches();
    // Whether a gathered frame may be handed out: see RangeSwitchJudge.
    bool frameOfKnownRange(const timeval& first, int64_t widestGapMicros, bool monotonicStamps);

    int32_t videoFd = 0;
    int32_t ctrlFd = 0;
    int32_t inputIndex = 0;
    int32_t platform;
    char devicePath[80];
    void* bufferMaps[kBufferCount] = {};
    CopyRoutine copyRoutine = copyWhole;

    // Ownership the descriptor numbers alone cannot tell.
    bool videoOpen = false;
    int32_t subdevFd = -1;  // the sensor sub-device opened for the controls
    size_t mappedLengths[kBufferCount] = {};
    int mappedCount = 0;  // buffers granted and mapped by the last start

    // Range switches. Frames are judged by their driver time stamps (the
    // monotonic clock) against each switch. A driver whose stamps are on
    // another clock leaves a structural rule: a switch drops every buffer
    // that may have been filled before it, then one whole frame.
    RangeSwitchJudge rangeJudge;
    std::atomic<int32_t> rangeInForce{0};   // the caller's thread's view
    int32_t lastFrameRange = 0;             // the worker's: the last frame's
    int dropSubFrames = 0, dropFrames = 0;  // the structural rule's count
    std::atomic<bool> interrupted{false};   // set by interruptCapture, cleared by start
};

}  // namespace Lumivex
