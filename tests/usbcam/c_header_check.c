/* The public headers compile as plain C, with the same record layouts. */
#include <stddef.h>

#include "lumivex_control_scripts.h"
#include "lumivex_usb.h"

_Static_assert(sizeof(LumivexIndexinfo) == 17, "LumivexIndexinfo is 17 bytes");
_Static_assert(sizeof(LumivexCfg) == 44, "LumivexCfg layout");
_Static_assert(offsetof(LumivexOutData, timestamp) == 48, "LumivexOutData layout");
_Static_assert(offsetof(LumivexOutData, data) == 56, "LumivexOutData layout");
_Static_assert(sizeof(Control) == 112, "Control layout");

/* Called from the C++ tests: the configuration a C caller fills. */
uint32_t c_caller_open(LumivexHandle* handle, uint32_t index) {
    LumivexCfg cfg = {0};
    cfg.width = 1024;
    cfg.height = 1;
    cfg.bytesPerPixel = 1;
    cfg.i2cAddress = 0x34;
    cfg.i2cMode = 2;
    return Lumivex_open(handle, &cfg, index);
}
