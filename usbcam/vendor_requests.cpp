// Vendor requests on endpoint 0: the I2C register accessors, sensor register
// access by i2cMode, the user data area and the I2C status translation.
#include <libusb-1.0/libusb.h>

#include "usb_camera_session.h"

namespace {
constexpr uint8_t kIn = 0x80;
constexpr uint8_t kOut = 0x00;
constexpr unsigned kRequestTimeoutMs = 1000;
constexpr uint16_t kUserDataBase = 0x1C00;
constexpr uint32_t kUserDataSize = 1024;
constexpr uint32_t kUserDataChunk = 32;

uint16_t i2cValue(uint32_t address) { return uint16_t((address & 0xFF) << 8); }
uint16_t byteRegister(uint32_t reg) { return uint16_t((reg & 0xFF) << 8); }
}  // namespace

uint32_t UsbCameraSession::SendVRCommand(uint8_t request, uint8_t direction, uint16_t value, uint16_t index,
                                       uint32_t length, uint8_t* buffer, uint32_t* transferred) {
    if (!opened || device == nullptr || device->handle == nullptr) return USB_CAMERA_NO_DEVICE;
    const uint16_t wLength = uint16_t(length & 0xFFFF);
    if (buffer == nullptr && wLength > 0) return USB_CAMERA_CONTROL_ERROR;  // nothing to move the data
    const int result = libusb_control_transfer(device->handle, uint8_t(direction | 0x40), request, value, index,
                                               buffer, wLength, kRequestTimeoutMs);
    if (transferred != nullptr) *transferred = length;  // the length asked for, as documented
    return result < 0 ? USB_CAMERA_CONTROL_ERROR : 0;
}

uint32_t UsbCameraSession::writeReg_8_8(uint32_t address, uint32_t reg, uint32_t value) {
    uint8_t data[1] = {uint8_t(value)};
    uint32_t moved = 0;
    return SendVRCommand(0xD7, kOut, i2cValue(address), byteRegister(reg), 1, data, &moved);
}

uint32_t UsbCameraSession::readReg_8_8(uint32_t address, uint32_t reg, uint32_t* value) {
    uint8_t data[2] = {};
    uint32_t moved = 0;
    const uint32_t result = SendVRCommand(0xD6, kIn, i2cValue(address), byteRegister(reg), 2, data, &moved);
    if (value != nullptr) *value = data[0];
    if (result == 0 && deviceInfo.usbType == 3) return data[1];  // the board's status byte
    return result;
}

uint32_t UsbCameraSession::writeReg_8_16(uint32_t address, uint32_t reg, uint32_t value) {
    uint8_t data[2] = {uint8_t(value >> 8), uint8_t(value)};
    uint32_t moved = 0;
    return SendVRCommand(0xD5, kOut, i2cValue(address), byteRegister(reg), 2, data, &moved);
}

uint32_t UsbCameraSession::readReg_8_16(uint32_t address, uint32_t reg, uint32_t* value) {
    uint8_t data[3] = {};
    uint32_t moved = 0;
    const uint32_t result = SendVRCommand(0xD4, kIn, i2cValue(address), byteRegister(reg), 3, data, &moved);
    if (value != nullptr) *value = uint32_t(data[0]) * 256 + data[1];
    return result;
}

uint32_t UsbCameraSession::writeReg_16_8(uint32_t address, uint32_t reg, uint32_t value) {
    uint8_t data[1] = {uint8_t(value)};
    uint32_t moved = 0;
    return SendVRCommand(0xE0, kOut, i2cValue(address), uint16_t(reg), 1, data, &moved);
}

uint32_t UsbCameraSession::readReg_16_8(uint32_t address, uint32_t reg, uint32_t* value) {
    uint8_t data[2] = {};
    uint32_t moved = 0;
    const uint32_t result = SendVRCommand(0xDF, kIn, i2cValue(address), uint16_t(reg), 2, data, &moved);
    if (value != nullptr) *value = data[0];
    return result;
}

uint32_t UsbCameraSession::writeReg_16_16(uint32_t address, uint32_t reg, uint32_t value) {
    uint8_t data[2] = {uint8_t(value >> 8), uint8_t(value)};
    uint32_t moved = 0;
    return SendVRCommand(0xE1, kOut, i2cValue(address), uint16_t(reg), 2, data, &moved);
}

uint32_t UsbCameraSession::readReg_16_16(uint32_t address, uint32_t reg, uint32_t* value) {
    uint8_t data[3] = {};
    uint32_t moved = 0;
    const uint32_t result = SendVRCommand(0xE2, kIn, i2cValue(address), uint16_t(reg), 3, data, &moved);
    if (value != nullptr) *value = uint32_t(data[0]) * 256 + data[1];
    return result;
}

bool UsbCameraSession::firmwareAtLeast314() const {
    const uint32_t firmware = deviceInfo.firmwareVersion;
    return (firmware >> 8) == 3 && (firmware & 0xFF) >= 0x14;
}

uint32_t UsbCameraSession::writeReg_16_32(uint32_t address, uint32_t reg, uint32_t value) {
    if (!firmwareAtLeast314()) return USB_CAMERA_NOT_SUPPORTED;
    uint8_t data[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    uint32_t moved = 0;
    return SendVRCommand(0xE5, kOut, i2cValue(address), uint16_t(reg), 4, data, &moved);
}

uint32_t UsbCameraSession::readReg_16_32(uint32_t address, uint32_t reg, uint32_t* value) {
    if (!firmwareAtLeast314()) return USB_CAMERA_NOT_SUPPORTED;
    uint8_t data[5] = {};
    uint32_t moved = 0;
    const uint32_t result = SendVRCommand(0xE6, kIn, i2cValue(address), uint16_t(reg), 5, data, &moved);
    if (result != 0) return result;  // the value is not written
    if (value != nullptr)
        *value = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
    return data[4];  // the board's status byte
}

uint32_t UsbCameraSession::readReg(uint32_t address, uint32_t reg, uint32_t* value) {
    uint8_t data[3] = {};
    uint32_t moved = 0;
    // Boards up to bcdDevice 0x17 send no status byte.
    const uint32_t length = (productWord & 0xFFFF) <= 0x17 ? 2 : 3;
    const uint16_t wValue = uint16_t(((address & 0xFF) << 8) + reg);
    const uint32_t result = SendVRCommand(0xE2, kIn, wValue, uint16_t(reg), length, data, &moved);
    if (value != nullptr) *value = uint32_t(data[0]) * 256 + data[1];
    return CheckI2cStatus(data[2], result);
}

uint32_t UsbCameraSession::writeReg(uint32_t address, uint32_t reg, uint32_t value) {
    // One data byte: the value's low byte (the request's own width).
    uint8_t data[1] = {uint8_t(value)};
    uint32_t moved = 0;
    const uint32_t result = SendVRCommand(0xE1, kOut, i2cValue(address), uint16_t(reg), 1, data, &moved);
    return CheckI2cStatus(data[0], result);
}

uint32_t UsbCameraSession::CheckI2cStatus(uint8_t status, uint32_t result) {
    if ((productWord & 0xFFFF) <= 0x17) return result;
    switch (status) {
        case 6: return USB_CAMERA_I2C_STATUS6_ERROR;
        case 7: return USB_CAMERA_I2C_STATUS7_ERROR;
        case 10: return USB_CAMERA_I2C_STATUS10_ERROR;
        default: return result;
    }
}

uint32_t UsbCameraSession::writeSensorReg(uint32_t reg, uint32_t value) {
    const uint32_t address = image.i2cAddress;
    switch (image.i2cMode) {
        case 0: return writeReg_8_8(address, reg, value);
        case 1: return writeReg_8_16(address, reg, value);
        case 2: return writeReg_16_8(address, reg, value);
        case 3: return writeReg_16_16(address, reg, value);
        case 4: return writeReg_16_32(address, reg, value);
        default: return USB_CAMERA_CONTROL_ERROR;
    }
}

uint32_t UsbCameraSession::readSensorReg(uint32_t reg, uint32_t* value) {
    const uint32_t address = image.i2cAddress;
    switch (image.i2cMode) {
        case 0: return readReg_8_8(address, reg, value);
        case 1: return readReg_8_16(address, reg, value);
        case 2: return readReg_16_8(address, reg, value);
        case 3: return readReg_16_16(address, reg, value);
        case 4: return readReg_16_32(address, reg, value);
        default: return USB_CAMERA_CONTROL_ERROR;
    }
}

uint32_t UsbCameraSession::getSensorCfg(LumivexCfg* cfg) {
    if (cfg == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    cfg->width = image.width;
    cfg->height = image.height;
    cfg->bytesPerPixel = image.bytesPerPixel;
    cfg->bitWidth = image.bitWidth;
    cfg->i2cMode = image.i2cMode;
    cfg->format = image.format;
    cfg->i2cAddress = image.i2cAddress;
    cfg->vendorId = image.vendorId;
    cfg->usbType = usbType;
    cfg->transferUnits = transferUnits;
    return 0;
}

uint32_t UsbCameraSession::readUserData(uint16_t address, uint8_t length, uint8_t* buffer) {
    if (uint32_t(address) + length > kUserDataSize) return USB_CAMERA_USER_DATA_RANGE;
    if (length > kUserDataChunk) return USB_CAMERA_USER_DATA_TOO_LONG;
    uint32_t moved = 0;
    return SendVRCommand(0xF7, kIn, uint16_t(kUserDataBase + address), uint16_t(length << 8), length, buffer,
                         &moved);
}

uint32_t UsbCameraSession::writeUserData(uint16_t address, uint8_t length, uint8_t* buffer) {
    if (uint32_t(address) + length > kUserDataSize) return USB_CAMERA_USER_DATA_RANGE;
    if (length > kUserDataChunk) return USB_CAMERA_USER_DATA_TOO_LONG;
    uint32_t moved = 0;
    return SendVRCommand(0xF8, kOut, uint16_t(kUserDataBase + address), uint16_t(length << 8), length, buffer,
                         &moved);
}
