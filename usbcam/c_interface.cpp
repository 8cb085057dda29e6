// The flat C interface: each function forwards to one operation of the
// handle's camera object. The open and scan functions create objects;
// Lumivex_close destroys one. A null handle gets USB_CAMERA_NO_DEVICE.
#include <memory>
#include <new>

#include "lumivex_usb.h"
#include "usb_camera_lib.h"

namespace {
UsbCameraLib* camera(LumivexHandle handle) { return static_cast<UsbCameraLib*>(handle); }
// Every handle holds the library's own camera object (Lumivex_open): its
// operations beyond the class interface.
HxUsbCameraLib* ownCamera(LumivexHandle handle) { return static_cast<HxUsbCameraLib*>(camera(handle)); }
// A new camera object, or null when memory runs out (no exception leaves
// the C interface).
HxUsbCameraLib* newCamera() {
    try {
        return new HxUsbCameraLib();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

#define FORWARD(handle, call) \
    (handle) == nullptr ? USB_CAMERA_NO_DEVICE : camera(handle)->call

extern "C" {

uint32_t Lumivex_autoopen(LumivexHandle* handle, LumivexCfg* cfg) {
    if (handle == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    auto* object = newCamera();
    *handle = object;
    if (object == nullptr) return USB_CAMERA_NO_MEMORY;
    return object->open(cfg);
}

uint32_t Lumivex_open(LumivexHandle* handle, LumivexCfg* cfg, uint32_t index) {
    if (handle == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    auto* object = newCamera();
    *handle = object;
    if (object == nullptr) return USB_CAMERA_NO_MEMORY;
    return object->open(cfg, index);
}

uint32_t Lumivex_close(LumivexHandle handle) {
    if (handle == nullptr) return 0;
    camera(handle)->close();
    delete camera(handle);
    return 0;
}

uint32_t Lumivex_scan(LumivexIndexinfo* list) {
    std::unique_ptr<HxUsbCameraLib> scanner(newCamera());
    if (scanner == nullptr) return 0;
    return static_cast<UsbCameraLib&>(*scanner).scan(list);
}

uint32_t Lumivex_setCamCfg(LumivexHandle h, LumivexCfg* cfg) { return FORWARD(h, setCamCfg(cfg)); }
uint32_t Lumivex_getSensorCfg(LumivexHandle h, LumivexCfg* cfg) { return FORWARD(h, getSensorCfg(cfg)); }
uint32_t Lumivex_getUsbType(LumivexHandle h, uint8_t* type, uint8_t* speedClass) {
    return FORWARD(h, getUsbType(type, speedClass));
}

uint32_t Lumivex_beginCaptureImage(LumivexHandle h) { return FORWARD(h, beginCapture()); }
uint32_t Lumivex_endCaptureImage(LumivexHandle h) { return FORWARD(h, endCapture()); }
uint32_t Lumivex_captureImage(LumivexHandle h) { return FORWARD(h, capture()); }
uint32_t Lumivex_availableImage(LumivexHandle h) { return FORWARD(h, available()); }
uint32_t Lumivex_readImage(LumivexHandle h, LumivexOutData** frame) {
    if (frame == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    return FORWARD(h, read(*frame));
}
uint32_t Lumivex_del(LumivexHandle h) { return FORWARD(h, del()); }
uint32_t Lumivex_flush(LumivexHandle h) { return FORWARD(h, flush()); }
uint32_t Lumivex_softTrigger(LumivexHandle h) { return FORWARD(h, softTrigger()); }
uint32_t Lumivex_isFrameReady(LumivexHandle h) { return FORWARD(h, isFrameReady()); }
uint32_t Lumivex_getSingleFrame(LumivexHandle h, LumivexOutData** frame, int32_t timeoutMs) {
    if (frame == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    return FORWARD(h, getSingleFrame(*frame, timeoutMs));
}
uint32_t Lumivex_setMode(LumivexHandle h, int32_t mode) { return FORWARD(h, setMode(mode)); }
uint32_t Lumivex_enableForceRead(LumivexHandle h) { return FORWARD(h, enableForceRead()); }
uint32_t Lumivex_disableForceRead(LumivexHandle h) { return FORWARD(h, disableForceRead()); }
uint32_t Lumivex_captureImageWithin(LumivexHandle h, int32_t timeoutMs) {
    if (h == nullptr) return USB_CAMERA_NO_DEVICE;
    return ownCamera(h)->captureWithin(timeoutMs);
}
uint32_t Lumivex_getFirmwareVersion(LumivexHandle h, uint32_t* version) {
    if (version == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    if (h == nullptr) return USB_CAMERA_NO_DEVICE;
    return ownCamera(h)->getFirmwareVersion(*version);
}

uint32_t Lumivex_readFrameClock(LumivexHandle h, uint64_t* ticks) {
    if (ticks == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    if (h == nullptr) return USB_CAMERA_NO_DEVICE;
    return ownCamera(h)->readFrameClock(*ticks);
}

uint32_t Lumivex_writeSensorReg(LumivexHandle h, uint32_t reg, uint32_t value) {
    return FORWARD(h, writeSensorReg(reg, value));
}
uint32_t Lumivex_readSensorReg(LumivexHandle h, uint32_t reg, uint32_t* value) {
    return FORWARD(h, readSensorReg(reg, value));
}
uint32_t Lumivex_writeReg_8_8(LumivexHandle h, uint32_t a, uint32_t r, uint32_t v) { return FORWARD(h, writeReg_8_8(a, r, v)); }
uint32_t Lumivex_readReg_8_8(LumivexHandle h, uint32_t a, uint32_t r, uint32_t* v) { return FORWARD(h, readReg_8_8(a, r, v)); }
uint32_t Lumivex_writeReg_8_16(LumivexHandle h, uint32_t a, uint32_t r, uint32_t v) { return FORWARD(h, writeReg_8_16(a, r, v)); }
uint32_t Lumivex_readReg_8_16(LumivexHandle h, uint32_t a, uint32_t r, uint32_t* v) { return FORWARD(h, readReg_8_16(a, r, v)); }
uint32_t Lumivex_writeReg_16_8(LumivexHandle h, uint32_t a, uint32_t r, uint32_t v) { return FORWARD(h, writeReg_16_8(a, r, v)); }
uint32_t Lumivex_readReg_16_8(LumivexHandle h, uint32_t a, uint32_t r, uint32_t* v) { return FORWARD(h, readReg_16_8(a, r, v)); }
uint32_t Lumivex_writeReg_16_16(LumivexHandle h, uint32_t a, uint32_t r, uint32_t v) { return FORWARD(h, writeReg_16_16(a, r, v)); }
uint32_t Lumivex_readReg_16_16(LumivexHandle h, uint32_t a, uint32_t r, uint32_t* v) { return FORWARD(h, readReg_16_16(a, r, v)); }
uint32_t Lumivex_writeReg_16_32(LumivexHandle h, uint32_t a, uint32_t r, uint32_t v) { return FORWARD(h, writeReg_16_32(a, r, v)); }
uint32_t Lumivex_readReg_16_32(LumivexHandle h, uint32_t a, uint32_t r, uint32_t* v) { return FORWARD(h, readReg_16_32(a, r, v)); }
uint32_t Lumivex_readUserData(LumivexHandle h, uint16_t address, uint8_t length, uint8_t* buffer) {
    return FORWARD(h, readUserData(address, length, buffer));
}
uint32_t Lumivex_writeUserData(LumivexHandle h, uint16_t address, uint8_t length, uint8_t* buffer) {
    return FORWARD(h, writeUserData(address, length, buffer));
}
uint32_t Lumivex_setboardConfig(LumivexHandle h, uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                                uint8_t* buffer) {
    uint32_t moved = 0;  // not passed back: Lumivex_VRCMD reports it
    return FORWARD(h, SendVRCommand(request, 0x00, value, index, length, buffer, &moved));
}
uint32_t Lumivex_getboardConfig(LumivexHandle h, uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                                uint8_t* buffer) {
    uint32_t moved = 0;
    return FORWARD(h, SendVRCommand(request, 0x80, value, index, length, buffer, &moved));
}

uint32_t Lumivex_registerCtrls(LumivexHandle h, Control* controls, uint32_t count) {
    return FORWARD(h, registerCtrls(controls, count));
}
uint32_t Lumivex_setCtrl(LumivexHandle h, const char* name, int64_t value) {
    return FORWARD(h, setCtrl(name, value, h));  // the scripts act on this handle's camera
}

}  // extern "C"

uint32_t Lumivex_scan_old(unsigned int* list, unsigned short vendorId) {
    std::unique_ptr<HxUsbCameraLib> scanner(newCamera());
    if (scanner == nullptr) return 0;
    return static_cast<UsbCameraLib&>(*scanner).scan(list, vendorId);
}

uint32_t Lumivex_shot(void* h) { return FORWARD(h, shot()); }

uint32_t Lumivex_VRCMD(void* h, unsigned char request, unsigned char direction, unsigned short value,
                       unsigned short index, unsigned int length, unsigned char* buffer, unsigned int* transferred) {
    return FORWARD(h, SendVRCommand(request, direction, value, index, length, buffer, transferred));
}
