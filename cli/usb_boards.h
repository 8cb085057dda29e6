// The maker's USB camera boards on this host, in the order the USB camera
// library counts them (the USB open() index), with their ids, speed, USB
// type, and serial and firmware when no other program holds the board.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace LumivexTools {

struct UsbBoard {
    int index;
    int bus, address;
    uint16_t vendor, product, bcdDevice;
    std::string speed, serial, firmware, state;  // state: "", "busy" or why it was not read
    int usbType;
};

// Every board; `error` says why none could be listed.
std::vector<UsbBoard> usbBoards(std::string& error);

}  // namespace LumivexTools
