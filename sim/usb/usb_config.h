// The virtual USB bus's settings text: boards separated by ';', each a list
// of key=value pairs separated by ','. Shared by the virtual bus and the
// FunctionFS front-end that puts the same board model on a real USB stack.
#pragma once

#include <string>
#include <vector>

#include "usb_board.h"

namespace LumivexSim {

struct BusSettings {
    std::vector<BoardConfig> boards;
    bool listFail = false;
    std::string logPath;
    size_t logCapacity = 20000;
};

bool parseBusSettings(const std::string& text, BusSettings& settings, std::string& error);

}  // namespace LumivexSim
