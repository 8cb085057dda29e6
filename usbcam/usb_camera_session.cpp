// The session's life: construction with its control-script state,
// destruction, and the hooks through which control scripts reach the board.
#include <cstdio>

#include "usb_camera_session.h"

namespace {
// Each hook treats the context as the camera object the script acts on.
uint32_t writeSensorHook(uint32_t address, uint32_t value, void* context) {
    return context != nullptr ? static_cast<UsbCameraLib*>(context)->writeSensorReg(address, value) : 0;
}

uint32_t readSensorHook(uint32_t address, uint32_t* value, void* context) {
    return context != nullptr ? static_cast<UsbCameraLib*>(context)->readSensorReg(address, value) : 0;
}

uint32_t vendorInHook(uint8_t request, uint16_t value, uint16_t index, uint32_t length, uint8_t* buffer,
                      void* context) {
    uint32_t moved = 0;
    return context != nullptr
               ? static_cast<UsbCameraLib*>(context)->SendVRCommand(request, 0x80, value, index, length, buffer,
                                                                    &moved)
               : 0;
}

uint32_t vendorOutHook(uint8_t request, uint16_t value, uint16_t index, uint32_t length, uint8_t* buffer,
                       void* context) {
    uint32_t moved = 0;
    return context != nullptr
               ? static_cast<UsbCameraLib*>(context)->SendVRCommand(request, 0x00, value, index, length, buffer,
                                                                    &moved)
               : 0;
}

void printHook(const char* text) { std::printf("%s\n", text); }
}  // namespace

UsbCameraSession::UsbCameraSession() { InitController(); }

UsbCameraSession::~UsbCameraSession() {
    // A board left open (a class user who never called close) is released
    // as close would: transfers in flight must not be freed under libusb.
    if (opened || holdsContext) close();
    freeFrameBuffers();
    deinit_controller(controller);
    controller = nullptr;
}

uint32_t UsbCameraSession::InitController() {
    init_controller(&controller, readSensorHook, writeSensorHook, vendorInHook, vendorOutHook, printHook);
    return 0;
}

uint32_t UsbCameraSession::registerCtrls(Control* controls, uint32_t count) {
    return uint32_t(register_ctrls(controller, controls, count));
}

uint32_t UsbCameraSession::setCtrl(const char* name, int64_t value, void* userData) {
    return uint32_t(set_ctrl(controller, name, value, userData));
}
