/* The control-script module: per-camera Lua 5.4 interpreters whose scripts
 * reach a camera through callbacks ("readReg", "writeReg", "SendVR",
 * "GetVR"). It knows nothing of the camera class. */
#ifndef LUMIVEX_CONTROL_SCRIPTS_H
#define LUMIVEX_CONTROL_SCRIPTS_H

#include <stdint.h>

#include "lumivex_usb.h"

#ifdef __cplusplus
extern "C" {
#endif

struct lua_State;

typedef uint32_t (*LumivexWriteRegFn)(uint32_t address, uint32_t value, void* context);
typedef uint32_t (*LumivexReadRegFn)(uint32_t address, uint32_t* value, void* context);
typedef uint32_t (*LumivexVendorRequestFn)(uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                                           uint8_t* buffer, void* context);
typedef void (*LumivexPrintFn)(const char* text);

typedef struct CtrlState {
    struct lua_State* L;
    Control* ctrls;      /* borrowed: the caller keeps the array alive */
    uint32_t ctrlCount;
    LumivexWriteRegFn writeRegFn;
    LumivexReadRegFn readRegFn;
    LumivexVendorRequestFn getVRFn;
    LumivexVendorRequestFn sendVRFn;
    LumivexPrintFn printFn;
    void* context;       /* set by each set_ctrl */
} CtrlState;

/* A new interpreter with the standard libraries and the four script
 * functions; null if it cannot be created. */
LUMIVEX_API struct lua_State* init_lua(void);
/* 0; *state is null when memory ran out. */
LUMIVEX_API int32_t init_controller(CtrlState** state, LumivexReadRegFn readRegFn, LumivexWriteRegFn writeRegFn,
                                    LumivexVendorRequestFn getVRFn, LumivexVendorRequestFn sendVRFn,
                                    LumivexPrintFn printFn);
/* 0, or minus the number of scripts that failed to load or run. */
LUMIVEX_API int32_t register_ctrls(CtrlState* state, Control* controls, uint32_t count);
/* 0 on success, -1 on any failure. */
LUMIVEX_API int32_t set_ctrl(CtrlState* state, const char* name, int64_t value, void* context);
LUMIVEX_API void deinit_controller(CtrlState* state);

#ifdef __cplusplus
}
#endif

#endif /* LUMIVEX_CONTROL_SCRIPTS_H */
