#include "usb_boards.h"

#include <libusb-1.0/libusb.h>

#include <cstdio>

namespace LumivexTools {

namespace {
constexpr unsigned kRequestTimeoutMs = 1000;

const char* speedName(int speed) {
    switch (speed) {
        case LIBUSB_SPEED_LOW: return "low";
        case LIBUSB_SPEED_FULL: return "full";
        case LIBUSB_SPEED_HIGH: return "high";
        case LIBUSB_SPEED_SUPER: return "super";
        case LIBUSB_SPEED_SUPER_PLUS: return "super+";
        default: return "unknown";
    }
}

// The board kinds as the USB camera library tells them apart.
int usbTypeOf(uint16_t product, int speed) {
    if (product == 0x52CB || product == 0x02F1) return 2;
    if (product == 0x03F1 || product == 0x03F2) return speed > LIBUSB_SPEED_HIGH ? 3 : 4;
    return 1;
}

// Serial and firmware, read only when this program can claim the board.
void readBoard(libusb_device* device, UsbBoard& board) {
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened != 0) {
        board.state = opened == LIBUSB_ERROR_ACCESS ? "no access (install the udev rules)" : libusb_error_name(opened);
        return;
    }
    const int claimed = libusb_claim_interface(handle, 0);
    if (claimed == LIBUSB_ERROR_BUSY) {
        board.state = "busy";  // another program holds it: nothing is sent
    } else if (claimed != 0) {
        board.state = libusb_error_name(claimed);
    } else {
        uint8_t version[2] = {};
        if (libusb_control_transfer(handle, 0xC0, 0x80, 0, 0, version, 2, kRequestTimeoutMs) == 2) {
            char firmware[16];
            std::snprintf(firmware, sizeof firmware, "%d.%02x", version[0], version[1]);  // 0x0314: 3.14
            board.firmware = firmware;
        }
        uint8_t serial[16] = {};  // user data bytes 1008 to 1023
        if (libusb_control_transfer(handle, 0xC0, 0xF7, 0x1C00 + 1008, 16 << 8, serial, 16, kRequestTimeoutMs) == 16) {
            for (uint8_t c : serial) {
                if (c >= 0x20 && c < 0x7F) board.serial += char(c);
            }
        }
        libusb_release_interface(handle, 0);
    }
    libusb_close(handle);
}

}  // namespace

std::vector<UsbBoard> usbBoards(std::string& error) {
    std::vector<UsbBoard> found;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        error = "libusb cannot start";
        return found;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) error = "the USB devices cannot be listed";
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
        if (descriptor.idVendor != 0x52CB && descriptor.idVendor != 0x04B4) continue;  // the maker's boards
        const int speed = libusb_get_device_speed(list[i]);
        UsbBoard board{int(found.size()), libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]),
                       descriptor.idVendor, descriptor.idProduct, descriptor.bcdDevice, speedName(speed), "", "", "",
                       usbTypeOf(descriptor.idProduct, speed)};
        readBoard(list[i], board);
        found.push_back(board);
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    libusb_exit(context);
    return found;
}

}  // namespace LumivexTools
