// Finding the maker's boards, opening one and bringing it into a known state;
// reconfiguring and closing it.
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "usb_camera_session.h"

namespace {
constexpr uint16_t kMakerVendorA = 0x52CB;
constexpr uint16_t kMakerVendorB = 0x04B4;
constexpr uint32_t kControllerAddress = 0x46;
constexpr uint64_t kLargestFrameBuffer = 1ull << 30;  // larger slots are refused as out of memory

bool isMakerVendor(uint16_t vendor) { return vendor == kMakerVendorA || vendor == kMakerVendorB; }

bool matches(const libusb_device_descriptor& descriptor, uint16_t wanted) {
    return wanted == 0 ? isMakerVendor(descriptor.idVendor) : descriptor.idVendor == wanted;
}

uint8_t usbTypeFor(uint16_t product, int speed) {
    if (product == 0x52CB || product == 0x02F1) return 2;
    if (product == 0x03F1 || product == 0x03F2) return speed > LIBUSB_SPEED_HIGH ? 3 : 4;
    return 1;
}

// The owner of one libusb device list: freed (devices unreferenced) on every path.
class DeviceList {
public:
    DeviceList() {
        const ssize_t n = libusb_get_device_list(nullptr, &devices);
        count = n > 0 ? size_t(n) : 0;
        if (n < 0) devices = nullptr;
    }
    ~DeviceList() {
        if (devices != nullptr) libusb_free_device_list(devices, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    bool valid() const { return devices != nullptr; }
    size_t size() const { return count; }
    libusb_device* operator[](size_t i) const { return devices[i]; }

private:
    libusb_device** devices = nullptr;
    size_t count = 0;
};
}  // namespace

void printUSBVersion(uint16_t bcd) { std::printf("usb version:%d.%d\n", bcd >> 8, (bcd & 0xF0) >> 4); }

bool UsbCameraSession::acquireDefaultContext() {
    if (!holdsContext) holdsContext = libusb_init(nullptr) == 0;
    return holdsContext;
}

void UsbCameraSession::releaseDefaultContext() {
    if (holdsContext) libusb_exit(nullptr);
    holdsContext = false;
}

libusb_device_handle* UsbCameraSession::NewCyUSBDevice(USB2DriverInfo* info) {
    if (info == nullptr) return nullptr;
    if (info->handle != nullptr) return info->handle;
    info->handle = nullptr;
    info->reserved = 0;
    return nullptr;
}

uint32_t UsbCameraSession::scan(unsigned int* list, unsigned short wantedVendor) {
    // The context is given back at the end (the one place it was never
    // exited), so that scanning leaves libusb as it found it.
    const bool ownContext = !holdsContext;
    if (!acquireDefaultContext()) return 0;
    uint32_t result = 0;
    {
        DeviceList devices;
        for (size_t i = 0; devices.valid() && i < devices.size(); ++i) {
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) {
                result = USB_CAMERA_NO_DEVICE;
                break;
            }
            if (descriptor.idVendor != wantedVendor) continue;
            if (list != nullptr) list[result] = unsigned(i + 1);  // 1-based position in the whole list
            ++result;
        }
    }
    if (ownContext) releaseDefaultContext();
    return result;
}

uint32_t UsbCameraSession::scan(LumivexIndexinfo* list) {
    // Scanning borrows the object: an open board's record and flag come back.
    UsbDeviceRecord* openRecord = device;
    const uint8_t wasOpened = opened;
    const bool ownContext = !holdsContext;
    device = new (std::nothrow) UsbDeviceRecord{nullptr, 0xFF, 0xFFFFFFFFu};
    if (device == nullptr || !acquireDefaultContext()) {
        delete device;
        device = openRecord;
        return 0;
    }
    uint32_t count = 0;
    uint32_t result = 0;
    {
        DeviceList devices;
        for (size_t i = 0; devices.valid() && i < devices.size(); ++i) {
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) {
                result = USB_CAMERA_NO_DEVICE;
                break;
            }
            if (!isMakerVendor(descriptor.idVendor)) continue;
            if (list != nullptr) {
                libusb_device_handle* handle = nullptr;
                if (libusb_open(devices[i], &handle) == 0) {
                    opened = 1;
                    device->handle = handle;
                    readUserData(1008, 16, list[count].serialNumber);
                    libusb_release_interface(handle, 0);
                    libusb_close(handle);
                    device->handle = nullptr;
                }
                list[count].index = uint8_t(count);
            }
            ++count;
        }
    }
    opened = wasOpened;
    delete device;
    device = openRecord;
    if (ownContext) releaseDefaultContext();
    return result != 0 ? result : count;
}

uint32_t UsbCameraSession::open(LumivexCfg* cfg) {
    if (cfg == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    if (opened) close();  // one board per object: the previous one is released
    uint32_t result = USB_CAMERA_NO_DEVICE;
    NewCyUSBDevice(nullptr);
    if (!acquireDefaultContext()) return USB_CAMERA_DEVICE_LIST_ERROR;
    DeviceList devices;
    if (!devices.valid()) return USB_CAMERA_DEVICE_LIST_ERROR;
    for (size_t i = 0; i < devices.size(); ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) return USB_CAMERA_NO_DEVICE;
        if (!matches(descriptor, cfg->vendorId)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(devices[i], &handle) != 0) continue;
        if (libusb_claim_interface(handle, 0) == LIBUSB_ERROR_BUSY) {  // in use: try the next board
            libusb_close(handle);
            result = USB_CAMERA_DEVICE_BUSY;
            continue;
        }
        cfg->vendorId = descriptor.idVendor;
        opened = 1;
        const uint8_t bus = libusb_get_bus_number(devices[i]);
        uint32_t code = InitUsbContext(handle, cfg->usbType, 0, bus);
        if (code == 0) code = InitCameraPara(cfg);
        if (code == 0) code = InitVideoBuff();
        if (code == 0) return 0;
        // This board did not initialise: release it before trying the next.
        opened = 0;
        libusb_close(handle);
        delete device;
        device = nullptr;
        freeFrameBuffers();
        result = code;
    }
    return result;
}

uint32_t UsbCameraSession::open(LumivexCfg* cfg, unsigned int index) {
    if (cfg == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    if (opened) close();
    NewCyUSBDevice(nullptr);
    if (!acquireDefaultContext()) return USB_CAMERA_DEVICE_LIST_ERROR;
    libusb_device_handle* handle = nullptr;
    uint8_t bus = 0;
    {
        DeviceList devices;
        if (!devices.valid()) return USB_CAMERA_DEVICE_LIST_ERROR;
        unsigned int position = 0;
        for (size_t i = 0; i < devices.size(); ++i) {
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) return USB_CAMERA_NO_DEVICE;
            if (!matches(descriptor, cfg->vendorId)) continue;
            if (position++ != index) continue;
            if (libusb_open(devices[i], &handle) == 0) {
                // The board is this object's from its open on: another handle
                // or program that holds its interface would share its stream.
                if (libusb_claim_interface(handle, 0) == LIBUSB_ERROR_BUSY) {
                    libusb_close(handle);
                    return USB_CAMERA_DEVICE_BUSY;
                }
                cfg->vendorId = descriptor.idVendor;
                opened = 1;
                bus = libusb_get_bus_number(devices[i]);
            }
            break;
        }
    }
    if (!opened) return USB_CAMERA_NO_DEVICE;
    InitUsbContext(handle, cfg->usbType, uint8_t(index), bus);
    const uint32_t code = InitCameraPara(cfg);
    if (code != 0) return code;
    return InitVideoBuff();
}

uint32_t UsbCameraSession::InitUsbContext(libusb_device_handle* handle, uint8_t& usbTypeOut, uint8_t index,
                                        uint8_t) {
    bufferRoundUnit = 1024;
    transferSize = 131072;
    packetSize = 512;
    markerLength = 10;
    static const uint8_t kPattern[10] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xAA};
    std::memcpy(markerPattern, kPattern, sizeof markerPattern);

    delete device;
    device = new UsbDeviceRecord{handle, index, 0};

    libusb_device* usbDevice = libusb_get_device(handle);
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(usbDevice, &descriptor);
    vendorId = descriptor.idVendor;
    productId = descriptor.idProduct;
    productWord = uint32_t(descriptor.idProduct) << 16 | descriptor.bcdDevice;

    usbType = usbTypeFor(descriptor.idProduct, libusb_get_device_speed(usbDevice));
    usbTypeWord = usbType;
    usbTypeOut = usbType;

    syncTimer(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    syncTimer(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    syncTimer(true);
    return 0;
}

uint32_t UsbCameraSession::InitCameraPara(LumivexCfg* cfg) {
    if (cfg == nullptr) return USB_CAMERA_PARAMETER_ERROR;
    const bool valid = cfg->width >= 1 && cfg->width <= 65535 && cfg->height >= 1 && cfg->height <= 65535 &&
                       cfg->bytesPerPixel >= 1 && cfg->bytesPerPixel <= 2 && cfg->transferUnits <= 128;
    if (!valid) return USB_CAMERA_PARAMETER_ERROR;
    image.userValue = cfg->userValue;
    image.width = cfg->width;
    image.height = cfg->height;
    image.bytesPerPixel = cfg->bytesPerPixel;
    image.bitWidth = cfg->bitWidth;
    image.i2cMode = cfg->i2cMode;
    image.format = cfg->format;
    image.i2cAddress = cfg->i2cAddress;
    image.vendorId = cfg->vendorId;
    transferUnits = cfg->transferUnits;
    GetDeviceInfo();
    if (image.i2cMode == 4 && !firmwareAtLeast314()) return USB_CAMERA_NOT_SUPPORTED;
    return 0;
}

uint32_t UsbCameraSession::getFirmwareVersion(uint32_t& version) {
    if (!opened) return USB_CAMERA_NO_DEVICE;
    version = deviceInfo.firmwareVersion;
    return 0;
}

uint32_t UsbCameraSession::expectedFrameBytes() const {
    const uint64_t w = image.width, h = image.height, b = image.bytesPerPixel;
    uint64_t bytes;
    switch (image.format) {
        case 1:
        case 2: bytes = 2 * w * h; break;
        case 5:
        case 6: bytes = 2 * w * h * b; break;
        default: bytes = w * h * b; break;  // 0, 3 (the buffer of a JPEG), 4 and unknown formats
    }
    return bytes > 0xFFFFFFFFull ? 0 : uint32_t(bytes);
}

void UsbCameraSession::freeFrameBuffers() {
    for (auto& slot : frameSlots) {
        delete[] slot.data;
        slot.data = nullptr;
    }
}

uint32_t UsbCameraSession::InitVideoBuff() {
    frameSize = image.width * image.height * image.bytesPerPixel;
    const uint32_t expected = expectedFrameBytes();
    readIndex = 0;
    writeIndex = 0;
    frameOffset = 0;
    frameLent.store(false);  // the ring starts empty: nothing is lent
    freeFrameBuffers();
    const uint64_t rounded = (uint64_t(expected) + 1023) / 1024 * 1024;
    if (expected == 0 || rounded > kLargestFrameBuffer) {
        frameBufferSize = 0;
        return USB_CAMERA_NO_MEMORY;
    }
    frameBufferSize = USB_GetBufferSize(expected);
    for (auto& slot : frameSlots) {
        slot.data = new (std::nothrow) uint8_t[frameBufferSize];
        if (slot.data == nullptr) {
            freeFrameBuffers();
            return USB_CAMERA_NO_MEMORY;
        }
        std::memset(slot.data, 0, frameBufferSize);
    }
    return 0;
}

uint32_t UsbCameraSession::GetDeviceInfo() {
    deviceInfo = UsbDeviceInfo{};
    deviceInfo.controllerPresent = uint8_t(detectCpld());
    if (deviceInfo.controllerPresent) {
        uint32_t value = 0;
        if (readReg_8_8(kControllerAddress, 0, &value) == 0) deviceInfo.controllerVersion = value;
        if (deviceInfo.controllerVersion > 0x22) {
            for (uint32_t i = 0; i < 3; ++i) {
                if (readReg_8_8(kControllerAddress, 5 + i, &value) == 0) deviceInfo.date[i] = value;
            }
        }
    }
    uint8_t version[2] = {};
    uint32_t moved = 0;
    if (SendVRCommand(0x80, 0x80, 0, 0, 2, version, &moved) == 0)
        deviceInfo.firmwareVersion = uint32_t(version[0]) * 256 + version[1];
    uint8_t type = 0, speedClass = 0;
    getUsbType(&type, &speedClass);
    deviceInfo.usbType = type;
    deviceInfo.speedClass = speedClass;
    deviceInfo.vendorId = vendorId;
    deviceInfo.productId = productId;
    return 0;
}

uint32_t UsbCameraSession::detectCpld() {
    uint32_t current = 0;
    if (readReg_8_8(kControllerAddress, 4, &current) != 0) return 0;
    // A private generator (xorshift, seeded from the clock): the process-wide
    // rand() sequence of the host program is left alone.
    if (randomState == 0) {
        randomState = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()) | 1u;
    }
    uint32_t probe;
    do {
        randomState ^= randomState << 13;
        randomState ^= randomState >> 17;
        randomState ^= randomState << 5;
        probe = randomState % 255;
    } while (probe == current);
    uint32_t readBack = 0;
    if (writeReg_8_8(kControllerAddress, 4, probe) != 0) return 0;
    if (readReg_8_8(kControllerAddress, 4, &readBack) != 0 || readBack != probe) return 0;
    writeReg_8_8(kControllerAddress, 4, current);
    return 1;
}

uint32_t UsbCameraSession::getUsbType(uint8_t* type, uint8_t* speedClass) {
    int speed = LIBUSB_SPEED_UNKNOWN;
    if (device != nullptr && device->handle != nullptr)
        speed = libusb_get_device_speed(libusb_get_device(device->handle));
    uint8_t kind = 1;
    if (productId == 0x52CB || productId == 0x02F1) kind = 2;
    if (productId == 0x03F1 || productId == 0x03F2) kind = 3;
    if (type != nullptr) *type = kind;
    if (speedClass != nullptr) *speedClass = speed > LIBUSB_SPEED_HIGH ? 3 : 2;
    return 0;
}

uint32_t UsbCameraSession::close() {
    if (opened) {
        // Transfers in flight may not be freed: end the capture first.
        if (captureState.phase() != LumivexUsb::CapturePhase::Idle || transfers[0] != nullptr) endCapture();
        writeReg_8_8(kControllerAddress, 1, 0x0F);
        if (device != nullptr && device->handle != nullptr) {
            libusb_release_interface(device->handle, 0);
            libusb_close(device->handle);
        }
        freeTransfers();
        opened = 0;
    }
    delete device;
    device = nullptr;
    freeFrameBuffers();
    // Idle (stopped), so that a capture after close reports 0xFF20 instead
    // of pumping events on a context that is gone.
    captureState.idle();
    releaseDefaultContext();
    return 0;
}
