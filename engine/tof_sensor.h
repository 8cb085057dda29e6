// The engine's one seam: the abstract sensor back-end.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "camera_controls.h"

namespace Lumivex {

class LumivexTOFSensor {
public:
    virtual ~LumivexTOFSensor() = default;
    virtual int32_t open() = 0;
    virtual int32_t close() = 0;
    virtual int32_t start() = 0;
    virtual int32_t stop() = 0;
    // Blocks until one raw phase frame (345,600 bytes) is written at `rawFrame`
    // and its time stamp stored; returns anything but -1 on success.
    virtual int32_t getFrame(uint8_t* rawFrame, uint64_t* timestamp) = 0;
    // 0: accepted and in force; anything else: not accepted.
    virtual int32_t setControl(CameraCtrl ctrl, int32_t value) = 0;
    virtual int32_t getControl(CameraCtrl ctrl, int32_t* value) = 0;

    // The range (2 or 4 m) the frame of the last successful getFrame was
    // exposed at, as the back-end knows it from the frame's own time stamp
    // against its range switches; 0 when the camera's set-up never said.
    // A back-end that cannot tell hands out no frame of an uncertain range
    // (getFrame drops it and goes on). kRangeFromSession: the back-end keeps
    // no such record, and the session judges by its own switches.
    static constexpr int32_t kRangeFromSession = -1;
    virtual int32_t frameRange() const { return kRangeFromSession; }

    // Called on the caller's thread while the worker may be inside getFrame,
    // before the session joins the worker: getFrame returns -1 soon (within
    // about 0.1 s), whatever the device does, until the next start.
    virtual void interruptCapture() {}
    // True while the device is gone (unplugged) and the back-end waits for
    // it to come back: the session hands out nothing meanwhile, at once.
    virtual bool deviceGone() const { return false; }
    // What the device says of itself, in a recording header's words
    // (a USB board: "serial", "firmware"); empty when it says nothing.
    virtual std::vector<std::pair<std::string, std::string>> deviceFacts() const { return {}; }
};

}  // namespace Lumivex
