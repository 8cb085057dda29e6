// The USB back-end: the depth camera behind libLumivexLib's C interface, set
// up from built-in tables or a camera configuration file.
#pragma once

#include <atomic>
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

private:
    int32_t initBuiltIn();
    int32_t initWithFile();
    void sendBoardRequest(const ConfigFileEntry& entry);
    void printSerialNumber();

    bool takeSubFrame(const LumivexOutData* frame);
    void writeSensorRegister(uint32_t address, uint32_t value);
    void warnOpenFailure(const char* name, uint32_t result);
    // Whether a gathered frame may be handed out (see RangeSwitchJudge);
    // `onHostTime`: its device stamps are plausibly on the host's clock.
    bool frameOfKnownRange(uint64_t exposedFrom, bool onHostTime);
    void restartCapture();

    LumivexHandle handle = nullptr;
    LumivexCfg cfg{};
    LumivexOutData* outData = nullptr;
    bool streaming = false;
    std::string configPath;
    uint32_t deviceIndex;
    // The range this back-end last put in force, from the range register
    // its set-up or setControl wrote (0: the set-up wrote none).
    std::atomic<int32_t> appliedRange{0};

    // Range switches. A frame is judged by its board time stamps where they
    // follow the host's clock (the time base of the switch times). Without
    // that (no device clock, a chunk stream stamped by the host, a clock that
    // does not follow), a switch restarts the capture, which drops all
    // decoded or in flight, and the first whole frame after it is dropped.
    RangeSwitchJudge rangeJudge;
    int32_t lastFrameRange = 0;   // the worker's: the range of the last frame
    bool restartedForSwitch = false;
    int dropFrames = 0;
    // Register writes (the caller's thread) and a capture restart (the
    // worker's) never overlap on the library.
    std::mutex libraryMutex;
    bool warnedSize = false;      // a sub-frame of another size, once per start
};

}  // namespace Lumivex
