// libLumivexLib's class interface: UsbCameraLib and its implementation
// HxUsbCameraLib. One object drives one board; it starts no thread and takes
// no lock. libusb runs the transfer callbacks inside any call that handles
// events (capture, the transfer cancellation, every synchronous control
// transfer), possibly on another board's thread. Which thread may change
// what, and when, is set out with the session's state (not installed).
#pragma once

#include <cstdint>
#include <memory>

#include "lumivex_control_scripts.h"
#include "lumivex_usb.h"

struct libusb_transfer;
struct libusb_device_handle;
class UsbCameraSession;

// The operations, in slot order (the destructor comes after the last slot).
class LUMIVEX_API UsbCameraLib {
public:
    virtual uint32_t open(LumivexCfg* cfg) = 0;                                          // 0
    virtual uint32_t close() = 0;                                                        // 1
    virtual uint32_t capture() = 0;                                                      // 2
    virtual uint32_t read(LumivexOutData*& frame) = 0;                                   // 3
    virtual uint32_t del() = 0;                                                          // 4
    virtual uint32_t flush() = 0;                                                        // 5
    virtual uint32_t available() = 0;                                                    // 6
    virtual uint32_t writeSensorReg(uint32_t reg, uint32_t value) = 0;                   // 7
    virtual uint32_t readSensorReg(uint32_t reg, uint32_t* value) = 0;                   // 8
    virtual uint32_t getSensorCfg(LumivexCfg* cfg) = 0;                                  // 9
    virtual uint32_t scan(unsigned int* list, unsigned short vendorId) = 0;              // 10
    virtual uint32_t scan(LumivexIndexinfo* list) = 0;                                   // 11
    virtual uint32_t open(LumivexCfg* cfg, unsigned int index) = 0;                      // 12
    virtual uint32_t beginCapture() = 0;                                                 // 13
    virtual uint32_t endCapture() = 0;                                                   // 14
    virtual uint32_t shot() = 0;                                                         // 15
    virtual uint32_t writeReg_8_8(uint32_t address, uint32_t reg, uint32_t value) = 0;   // 16
    virtual uint32_t readReg_8_8(uint32_t address, uint32_t reg, uint32_t* value) = 0;   // 17
    virtual uint32_t writeReg_8_16(uint32_t address, uint32_t reg, uint32_t value) = 0;  // 18
    virtual uint32_t readReg_8_16(uint32_t address, uint32_t reg, uint32_t* value) = 0;  // 19
    virtual uint32_t writeReg_16_8(uint32_t address, uint32_t reg, uint32_t value) = 0;  // 20
    virtual uint32_t readReg_16_8(uint32_t address, uint32_t reg, uint32_t* value) = 0;  // 21
    virtual uint32_t writeReg_16_16(uint32_t address, uint32_t reg, uint32_t value) = 0; // 22
    virtual uint32_t readReg_16_16(uint32_t address, uint32_t reg, uint32_t* value) = 0; // 23
    virtual uint32_t writeReg_16_32(uint32_t address, uint32_t reg, uint32_t value) = 0; // 24
    virtual uint32_t readReg_16_32(uint32_t address, uint32_t reg, uint32_t* value) = 0; // 25
    virtual uint32_t SendVRCommand(uint8_t request, uint8_t direction, uint16_t value, uint16_t index,
                                   uint32_t length, uint8_t* buffer, uint32_t* transferred) = 0;  // 26
    virtual uint32_t enableForceRead() = 0;                                              // 27
    virtual uint32_t disableForceRead() = 0;                                             // 28
    virtual uint32_t readUserData(uint16_t address, uint8_t length, uint8_t* buffer) = 0;   // 29
    virtual uint32_t writeUserData(uint16_t address, uint8_t length, uint8_t* buffer) = 0;  // 30
    virtual uint32_t softTrigger() = 0;                                                  // 31
    virtual uint32_t isFrameReady() = 0;                                                 // 32
    virtual uint32_t getSingleFrame(LumivexOutData*& frame, int32_t timeoutMs) = 0;      // 33
    virtual uint32_t setMode(int32_t mode) = 0;                                          // 34
    virtual uint32_t getUsbType(uint8_t* usbType, uint8_t* speedClass) = 0;             // 35
    virtual uint32_t registerCtrls(Control* controls, uint32_t count) = 0;              // 36
    virtual uint32_t setCtrl(const char* name, int64_t value, void* userData) = 0;      // 37
    virtual uint32_t setCamCfg(LumivexCfg* cfg) = 0;                                     // 38
    virtual ~UsbCameraLib();
};

// The open board's device record.
struct UsbDeviceRecord {
    libusb_device_handle* handle;
    uint8_t index;      // the open index, 0xFF while scanning
    uint32_t reserved;  // always 0 once opened
};

// The driver-information record NewCyUSBDevice may be given.
struct USB2DriverInfo {
    libusb_device_handle* handle;
    uint32_t reserved;
};

struct UsbDeviceInfo {
    uint8_t controllerPresent;
    uint32_t controllerVersion;
    uint32_t date[3];          // controller registers 5, 6, 7
    uint32_t firmwareVersion;  // major in the high byte
    uint32_t usbType;          // as getUsbType classifies
    uint32_t speedClass;
    uint32_t vendorId;
    uint32_t productId;
};

// The active configuration's image parameters.
struct ImageParameters {
    uint32_t userValue;
    uint32_t width;
    uint32_t height;
    uint8_t bytesPerPixel;
    uint8_t bitWidth;
    uint32_t i2cMode;
    uint32_t format;
    uint32_t i2cAddress;
    uint16_t vendorId;
};

// The implementation: each operation is carried out by the object's session
// (usbcam/usb_camera_session.h, not installed), so the class's layout is a
// vtable pointer and that pointer whatever the session holds.
class LUMIVEX_API HxUsbCameraLib : public UsbCameraLib {
public:
    static constexpr int kTransferCount = 32;
    static constexpr int kFrameSlots = 6;

    HxUsbCameraLib();
    ~HxUsbCameraLib() override;
    HxUsbCameraLib(const HxUsbCameraLib&) = delete;
    HxUsbCameraLib& operator=(const HxUsbCameraLib&) = delete;

    uint32_t open(LumivexCfg* cfg) override;
    uint32_t close() override;
    uint32_t capture() override;
    uint32_t read(LumivexOutData*& frame) override;
    uint32_t del() override;
    uint32_t flush() override;
    uint32_t available() override;
    uint32_t writeSensorReg(uint32_t reg, uint32_t value) override;
    uint32_t readSensorReg(uint32_t reg, uint32_t* value) override;
    uint32_t getSensorCfg(LumivexCfg* cfg) override;
    uint32_t scan(unsigned int* list, unsigned short vendorId) override;
    uint32_t scan(LumivexIndexinfo* list) override;
    uint32_t open(LumivexCfg* cfg, unsigned int index) override;
    uint32_t beginCapture() override;
    uint32_t endCapture() override;
    uint32_t shot() override;
    uint32_t writeReg_8_8(uint32_t address, uint32_t reg, uint32_t value) override;
    uint32_t readReg_8_8(uint32_t address, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_8_16(uint32_t address, uint32_t reg, uint32_t value) override;
    uint32_t readReg_8_16(uint32_t address, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_16_8(uint32_t address, uint32_t reg, uint32_t value) override;
    uint32_t readReg_16_8(uint32_t address, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_16_16(uint32_t address, uint32_t reg, uint32_t value) override;
    uint32_t readReg_16_16(uint32_t address, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_16_32(uint32_t address, uint32_t reg, uint32_t value) override;
    uint32_t readReg_16_32(uint32_t address, uint32_t reg, uint32_t* value) override;
    uint32_t SendVRCommand(uint8_t request, uint8_t direction, uint16_t value, uint16_t index, uint32_t length,
                           uint8_t* buffer, uint32_t* transferred) override;
    uint32_t enableForceRead() override;
    uint32_t disableForceRead() override;
    uint32_t readUserData(uint16_t address, uint8_t length, uint8_t* buffer) override;
    uint32_t writeUserData(uint16_t address, uint8_t length, uint8_t* buffer) override;
    uint32_t softTrigger() override;
    uint32_t isFrameReady() override;
    uint32_t getSingleFrame(LumivexOutData*& frame, int32_t timeoutMs) override;
    uint32_t setMode(int32_t mode) override;
    uint32_t getUsbType(uint8_t* usbType, uint8_t* speedClass) override;
    uint32_t registerCtrls(Control* controls, uint32_t count) override;
    uint32_t setCtrl(const char* name, int64_t value, void* userData) override;
    uint32_t setCamCfg(LumivexCfg* cfg) override;

    // Device discovery and session.
    uint32_t InitUsbContext(libusb_device_handle* handle, uint8_t& usbTypeOut, uint8_t index,
                            uint8_t busNumber = 0);
    uint32_t InitCameraPara(LumivexCfg* cfg);
    uint32_t InitVideoBuff();
    uint32_t GetDeviceInfo();
    libusb_device_handle* NewCyUSBDevice(USB2DriverInfo* info);
    uint32_t detectCpld();

    // Register access.
    uint32_t writeReg(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readReg(uint32_t address, uint32_t reg, uint32_t* value);
    uint32_t CheckI2cStatus(uint8_t status, uint32_t result);

    // Streaming.
    static void read_callback(libusb_transfer* transfer);
    uint32_t beginCaptureOneShot(int32_t timeoutMs);
    uint32_t cancel_libusb_transfer();
    uint32_t getSingleFrame2(LumivexOutData*& frame, int32_t timeoutMs);
    uint32_t clearImageFlag();
    uint32_t supportSingleMode();
    uint32_t syncTimer(bool force);
    // The board clock that stamps the frames, now (request 0xB0): 0 with
    // `ticks` set, USB_CAMERA_NOT_SUPPORTED when the frames carry no board
    // time (no device clock, or a chunk stream stamped as it is decoded), or
    // the request's error.
    uint32_t readFrameClock(uint64_t& ticks);
    // The firmware version read at open (major in the high byte): 0, or
    // USB_CAMERA_NO_DEVICE when no board is open.
    uint32_t getFirmwareVersion(uint32_t& version);
    // capture, waiting at most `milliseconds` for a transfer to complete
    // (0 when none did): a caller that must stop soon is never held by a
    // silent board for a whole transfer time-out.
    uint32_t captureWithin(int32_t milliseconds);

    // Frame decoding.
    uint32_t USB_GetBufferSize(uint32_t n);
    uint32_t IsMarker(const uint8_t* packet);
    void AssignTimeStamp(const uint8_t* packet);
    uint32_t DecodeFrameUseMarker(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames);
    uint32_t DecodeFrameUseUVC(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames);
    void FillImagePara(LumivexCfg* slotConfig, const uint8_t* packet);

    // Control scripts.
    uint32_t InitController();


protected:
    std::unique_ptr<UsbCameraSession> session;
};

// Prints "usb version:%d.%d\n" for a binary-coded-decimal version.
LUMIVEX_API void printUSBVersion(uint16_t bcd);
// The position of the JPEG end marker's D9 in `data`, or -1.
LUMIVEX_API int32_t checkJPG(const uint32_t& length, uint8_t* data);
