// The built-in set-up tables of the USB depth camera, in the 72-byte entry
// layout of camera configuration files.
#pragma once

#include <vector>

#include "lumivex_config_parser.h"

namespace Lumivex {

const std::vector<ConfigFileEntry>& defaultBoardConfig();      // 24 board requests
const std::vector<ConfigFileEntry>& defaultSensorRegisters();  // 120 register writes
const std::vector<ConfigFileEntry>& rangeRegisters2m();
const std::vector<ConfigFileEntry>& rangeRegisters4m();

}  // namespace Lumivex
