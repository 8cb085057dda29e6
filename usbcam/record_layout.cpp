// The records that cross the library boundary have exact layouts.
#include <cstddef>

#include "lumivex_usb.h"

static_assert(sizeof(LumivexIndexinfo) == 17, "LumivexIndexinfo is 17 bytes with no gaps");
static_assert(offsetof(LumivexIndexinfo, serialNumber) == 1, "serial number follows the index");

static_assert(offsetof(LumivexCfg, userValue) == 0, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, vendorId) == 4, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, width) == 8, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, height) == 12, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, bytesPerPixel) == 16, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, bitWidth) == 17, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, i2cAddress) == 20, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, frameLength) == 24, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, usbType) == 28, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, i2cMode) == 32, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, format) == 36, "LumivexCfg layout");
static_assert(offsetof(LumivexCfg, transferUnits) == 40, "LumivexCfg layout");
static_assert(sizeof(LumivexCfg) == 44, "LumivexCfg layout");

static_assert(offsetof(LumivexOutData, config) == 0, "LumivexOutData layout");
static_assert(offsetof(LumivexOutData, timestamp) == 48, "LumivexOutData layout");
static_assert(offsetof(LumivexOutData, data) == 56, "LumivexOutData layout");
static_assert(sizeof(LumivexOutData) == 64, "LumivexOutData layout");

static_assert(offsetof(Control, minimum) == 0 && offsetof(Control, maximum) == 8, "Control layout");
static_assert(offsetof(Control, name) == 36, "Control layout");
static_assert(offsetof(Control, script) == 104 && sizeof(Control) == 112, "Control layout");
