// The camera object with the state of its session in view, for the
// library's own tests (linked with the library's code, not the shared
// library, which does not export the session).
#pragma once

#include <atomic>
#include <cstring>

#include "usb_camera_session.h"

namespace LumivexTest {

// The camera object with its session's state in view.
class Probe : public HxUsbCameraLib {
public:
    UsbCameraSession& core = *session;
    void advanceWrite() { core.advanceWrite(); }
    decltype(core.completedLengths)& completedLengths = core.completedLengths;
    UsbDeviceInfo& deviceInfo = core.deviceInfo;
    int32_t& forceRead = core.forceRead;
    uint32_t& frameBufferSize = core.frameBufferSize;
    uint32_t& frameOffset = core.frameOffset;
    decltype(core.frameSlots)& frameSlots = core.frameSlots;
    ImageParameters& image = core.image;
    uint16_t& lastSequence = core.lastSequence;
    std::atomic<uint32_t>& readIndex = core.readIndex;
    uint32_t& transferSize = core.transferSize;
    std::atomic<uint32_t>& triggerMode = core.triggerMode;
    uint8_t& usbType = core.usbType;
    std::atomic<uint32_t>& writeIndex = core.writeIndex;
    // The design's flags, as views of the capture's phase.
    int32_t stopped() const { return core.captureState.stopped() ? 1 : 0; }
    int32_t capturing() const { return core.captureState.capturing() ? 1 : 0; }
    // A decoder set up without a board: the image parameters and the ring.
    uint32_t prepare(uint32_t width, uint32_t height, uint8_t bytesPerPixel, uint32_t format) {
        image.width = width;
        image.height = height;
        image.bytesPerPixel = bytesPerPixel;
        image.format = format;
        static const uint8_t pattern[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAA};
        std::memcpy(core.markerPattern, pattern, sizeof pattern);
        return core.InitVideoBuff();
    }
};

}  // namespace LumivexTest
