// The USB back-end: the depth camera behind libLumivexLib's C interface, set
// up from built-in tables or a camera configuration file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "lumivex_config_parser.h"
#include "lumivex_usb.h"
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

private:
    int32_t initBuiltIn();
    int32_t initWithFile();
    void sendBoardRequest(const ConfigFileEntry& entry);
    void printSerialNumber();

    bool takeSubFrame(const LumivexOutData* frame);
    void noteRangeSwitch();

    LumivexHandle handle = nullptr;
    LumivexCfg cfg{};
    LumivexOutData* outData = nullptr;
    bool streaming = false;
    std::string configPath;
    uint32_t deviceIndex;
    // The range this back-end last put in force (its register set): 4 after
    // the built-in set-up, 0 (unknown) after a file's.
    int32_t appliedRange = 0;
    // Range switches (setControl, the caller's thread) as the worker's
    // getFrame sees them: how many so far, and the host's time (100 ns ticks
    // since 1601, the time base of the board's clock) when the last one's
    // register writes had returned. Sub-frames of the old range are dropped.
    std::atomic<uint32_t> rangeSwitches{0};
    std::atomic<uint64_t> rangeSwitchTime{0};
    uint32_t rangeSwitchesSeen = 0;
    uint64_t oldRangeBefore = 0;  // sub-frames stamped before this are of an old range
    bool warnedSize = false;      // a sub-frame of another size, once per start
};

}  // namespace Lumivex
