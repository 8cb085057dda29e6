// The USB back-end: the depth camera behind libLumivexLib's C interface, set
// up from built-in tables or a camera configuration file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "lumivex_config_parser.h"
#include "lumivex_usb.h"
#include "range_switch_judge.h"
#include "tof_sensor.h"

namespace Lumivex {

class LumivexTOFUSBSensor : public LumivexTOFSensor {
public:
    // An empty path selects the built-in set-up.
    LumivexTOFUSBSensor(const char* configPath, uint32_t deviceIndex);
    // Closes a handle that close did not (a failed open leaves one).
    ~LumivexTOFUSBSensor() override;

    LumivexTOFUSBSensor(const LumivexTOFUSBSensor&) = delete;
    LumivexTOFUSBSensor& operator=(const LumivexTOFUSBSensor&) = delete;

    int32_t open() override;
    int32_t close() override;
    int32_t start() override;
    int32_t stop() override;
    int32_t getFrame(uint8_t* rawFrame, uint64_t* timestamp) override;
    int32_t setControl(CameraCtrl ctrl, int32_t value) override;
    int32_t getControl(CameraCtrl ctrl, int32_t* value) override;
    int32_t frameRange() const override { return lastFrameRange; }
    void interruptCapture() override { interrupted.store(true); }
    bool deviceGone() const override { return gone.load(); }
    std::vector<std::pair<std::string, std::string>> deviceFacts() const override;

private:
    // The set-up on the board at `index`; `quiet`: no warning (a re-open
    // after an unplug, retried until it works).
    int32_t initBuiltIn(uint32_t index, bool quiet);
    int32_t initWithFile(uint32_t index, bool quiet);
    void sendBoardRequest(const ConfigFileEntry& entry);
    void printSerialNumber();

    bool takeSubFrame(const LumivexOutData* frame);
    void writeSensorRegister(uint32_t address, uint32_t value);
    void warnOpenFailure(const char* name, uint32_t result);
    // Whether a gathered frame (its first and last sub-frame's stamps, the
    // widest gap between two of them) may be handed out: see RangeSwitchJudge.
    bool frameOfKnownRange(uint64_t firstStamp, uint64_t lastStamp, uint64_t widestGap);
    void restartCapture();

    // Recovery, on the worker's thread: after the stream fails (a transfer
    // error, a halt), the capture is ended and begun again, with a back-off
    // of 50 ms doubling to 1 s; after an unplug the board is waited for (by
    // its serial number) and set up again as it was, range included.
    enum class Link { Streaming, Restarting, Gone };
    void streamFailed(uint32_t result);
    bool recover();  // bounded (about 0.1 s); true once streaming again
    bool boardPresent();
    void boardGone();
    bool reopen();
    void resumedAfterRestart();

    LumivexHandle handle = nullptr;
    LumivexCfg cfg{};
    LumivexOutData* outData = nullptr;
    bool streaming = false;
    std::string configPath;
    uint32_t deviceIndex;
    // The range this back-end last put in force, from the range register
    // its set-up or setControl wrote (0: the set-up wrote none).
    std::atomic<int32_t> appliedRange{0};

    // Range switches. A frame is judged by its board time stamps against the
    // board time read right after the switch's register writes (one clock,
    // whatever its epoch or its drift from the host's). Where the stamps
    // cannot tell (no device clock, a chunk stream stamped as it is decoded,
    // a clock that stands still or jumps), a switch restarts the capture,
    // which drops all decoded or in flight, and the first whole frame after
    // it is dropped too.
    RangeSwitchJudge rangeJudge;
    int32_t lastFrameRange = 0;   // the worker's: the range of the last frame
    bool restartedForSwitch = false;
    int dropFrames = 0;
    std::chrono::steady_clock::time_point switchSeen;  // when the worker saw the pending switch
    // Register writes (the caller's thread) and a capture restart (the
    // worker's) never overlap on the library.
    std::mutex libraryMutex;
    bool warnedSize = false;
    std::atomic<bool> interrupted{false};  // set by interruptCapture, cleared by start
    uint8_t serial[16] = {};                // user data 0x3F0..0x3FF, read at open
    std::string firmware;                   // "3.14", read at open (request 0x80)
    Link link = Link::Streaming;            // the worker's
    std::chrono::steady_clock::time_point nextAttempt;
    std::chrono::milliseconds backOff{50};
    std::atomic<bool> gone{false};          // unplugged and not back yet      // a sub-frame of another size, once per start
};

}  // namespace Lumivex
