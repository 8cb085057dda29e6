// Control scripts: one Lua 5.4 interpreter per camera object. Registered
// controls are Lua chunks defining global functions; set_ctrl calls the one
// named with the (clamped) value. Scripts reach the camera through four
// native functions backed by the callbacks of the CtrlState.
//
// Numbers given where an unsigned 32-bit integer is expected convert by this
// rule: truncated toward zero, negative values and NaN become 0, values above
// 4294967295 (and +inf) become 4294967295.
#include <lua5.4/lua.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "lumivex_control_scripts.h"

namespace {
constexpr size_t kVendorBufferSize = 16;
constexpr const char* kStateGlobal = "ctrl_state";

uint32_t toUnsigned(lua_Number number) {
    if (std::isnan(number) || number <= 0) return 0;
    if (number >= 4294967295.0) return 4294967295u;
    return uint32_t(number);  // truncation toward zero
}

// Argument `index` as an unsigned 32-bit integer (missing or not a number: 0).
uint32_t unsignedArgument(lua_State* L, int index) {
    int isNumber = 0;
    const lua_Number number = lua_tonumberx(L, index, &isNumber);
    return isNumber ? toUnsigned(number) : 0;
}

// "ctrl_state" is the library's own global: read and written raw, so that a
// script guarding its globals with metamethods (strict-globals style) never
// sees it and cannot make its access fail.
CtrlState* currentState(lua_State* L) {
    lua_pushglobaltable(L);
    lua_pushstring(L, kStateGlobal);
    lua_rawget(L, -2);
    auto* state = static_cast<CtrlState*>(lua_touserdata(L, -1));
    lua_pop(L, 2);
    return state;
}

int scriptReadReg(lua_State* L) {
    CtrlState* state = currentState(L);
    const uint32_t address = unsignedArgument(L, 1);
    uint32_t value = 0;
    uint32_t result = 0;
    if (state != nullptr && state->readRegFn != nullptr) result = state->readRegFn(address, &value, state->context);
    lua_pushnumber(L, lua_Number(result));
    lua_pushnumber(L, lua_Number(value));
    return 2;
}

int scriptWriteReg(lua_State* L) {
    CtrlState* state = currentState(L);
    const uint32_t address = unsignedArgument(L, 1);
    const uint32_t value = unsignedArgument(L, 2);
    uint32_t result = 0;
    if (state != nullptr && state->writeRegFn != nullptr) result = state->writeRegFn(address, value, state->context);
    lua_pushnumber(L, lua_Number(result));
    return 1;
}

// "SendVR" and "GetVR": request, value, index, length, table of up to 16 bytes.
int scriptVendorRequest(lua_State* L, bool in) {
    CtrlState* state = currentState(L);
    const uint32_t request = unsignedArgument(L, 1);
    const uint32_t value = unsignedArgument(L, 2);
    const uint32_t index = unsignedArgument(L, 3);
    const uint32_t length = unsignedArgument(L, 4);
    if (!lua_istable(L, 5)) {
        std::fputs("SensorVR: The fifth parameter is not a table.\n", stderr);
        lua_pushnumber(L, -1);
        return 1;
    }
    const lua_Unsigned elements = lua_rawlen(L, 5);
    // The data buffer holds 16 bytes: a longer table or length is refused.
    if (elements > kVendorBufferSize || length > kVendorBufferSize) {
        lua_pushnumber(L, -1);
        return 1;
    }
    uint8_t buffer[kVendorBufferSize] = {};
    for (lua_Unsigned i = 1; i <= elements; ++i) {
        lua_rawgeti(L, 5, lua_Integer(i));
        buffer[i - 1] = uint8_t(unsignedArgument(L, -1));
        lua_pop(L, 1);
    }
    uint32_t result = 0;
    LumivexVendorRequestFn call = state == nullptr ? nullptr : in ? state->getVRFn : state->sendVRFn;
    if (call != nullptr) result = call(uint8_t(request), uint16_t(value), uint16_t(index), length, buffer, state->context);
    if (in) {
        for (lua_Unsigned i = 1; i <= elements; ++i) {
            lua_pushnumber(L, buffer[i - 1]);
            lua_rawseti(L, 5, lua_Integer(i));
        }
    }
    lua_pushnumber(L, lua_Number(result));
    return 1;
}

int scriptSendVR(lua_State* L) { return scriptVendorRequest(L, false); }
int scriptGetVR(lua_State* L) { return scriptVendorRequest(L, true); }

void report(CtrlState* state, const char* text) {
    if (state->printFn != nullptr) state->printFn(text != nullptr ? text : "(error object is not a string)");
}

// set_ctrl's work inside a protected call: any error a script's metamethods
// or the control function raise comes back to set_ctrl as a status.
struct ControlCall {
    CtrlState* state;
    const char* name;
    int64_t value;
    bool notAFunction;
};

int callControl(lua_State* L) {
    auto* call = static_cast<ControlCall*>(lua_touserdata(L, 1));
    lua_pushglobaltable(L);
    lua_pushstring(L, kStateGlobal);
    lua_pushlightuserdata(L, call->state);
    lua_rawset(L, -3);
    lua_pop(L, 1);
    lua_getglobal(L, call->name);
    if (!lua_isfunction(L, -1)) {
        call->notAFunction = true;
        return 0;
    }
    lua_pushnumber(L, lua_Number(call->value));
    lua_call(L, 1, 0);
    return 0;
}

// The control's name as a bounded string (the array may lack its NUL).
bool sameName(const Control& control, const char* name) {
    const size_t length = strnlen(control.name, sizeof control.name);
    return std::strlen(name) == length && std::memcmp(control.name, name, length) == 0;
}
}  // namespace

extern "C" {

lua_State* init_lua(void) {
    lua_State* L = luaL_newstate();
    if (L == nullptr) return nullptr;
    luaL_openlibs(L);
    lua_pushcclosure(L, scriptSendVR, 0);
    lua_setglobal(L, "SendVR");
    lua_pushcclosure(L, scriptGetVR, 0);
    lua_setglobal(L, "GetVR");
    lua_pushcclosure(L, scriptWriteReg, 0);
    lua_setglobal(L, "writeReg");
    lua_pushcclosure(L, scriptReadReg, 0);
    lua_setglobal(L, "readReg");
    return L;
}

int32_t init_controller(CtrlState** state, LumivexReadRegFn readRegFn, LumivexWriteRegFn writeRegFn,
                        LumivexVendorRequestFn getVRFn, LumivexVendorRequestFn sendVRFn, LumivexPrintFn printFn) {
    if (state == nullptr) return 0;
    auto* created = new (std::nothrow) CtrlState();
    if (created != nullptr) {
        created->L = init_lua();
        created->readRegFn = readRegFn;
        created->writeRegFn = writeRegFn;
        created->getVRFn = getVRFn;
        created->sendVRFn = sendVRFn;
        created->printFn = printFn;
    }
    *state = created;
    return 0;
}

int32_t register_ctrls(CtrlState* state, Control* controls, uint32_t count) {
    if (state == nullptr || state->L == nullptr) return -int32_t(count > 0x7FFFFFFF ? 0x7FFFFFFF : count);
    state->ctrls = controls;
    state->ctrlCount = controls != nullptr ? count : 0;
    if (controls == nullptr || count == 0) return 0;
    lua_State* L = state->L;
    const int top = lua_gettop(L);
    int32_t result = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const char* script = controls[i].script;
        int status = script != nullptr ? luaL_loadstring(L, script) : LUA_ERRSYNTAX;
        if (script == nullptr) lua_pushstring(L, "control has no script");
        if (status == LUA_OK) status = lua_pcall(L, 0, LUA_MULTRET, 0);
        if (status != LUA_OK) {
            report(state, lua_tostring(L, -1));
            --result;
        }
        lua_settop(L, top);
    }
    return result;
}

int32_t set_ctrl(CtrlState* state, const char* name, int64_t value, void* context) {
    if (state == nullptr || state->L == nullptr || name == nullptr) return -1;
    lua_State* L = state->L;
    const int top = lua_gettop(L);
    state->context = context;
    for (uint32_t i = 0; i < state->ctrlCount; ++i) {
        if (!sameName(state->ctrls[i], name)) continue;
        if (value < state->ctrls[i].minimum) value = state->ctrls[i].minimum;
        if (value > state->ctrls[i].maximum) value = state->ctrls[i].maximum;
        break;
    }
    ControlCall call{state, name, value, false};
    lua_pushcfunction(L, callControl);
    lua_pushlightuserdata(L, &call);
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
        report(state, lua_tostring(L, -1));
        lua_settop(L, top);
        return -1;
    }
    lua_settop(L, top);
    if (!call.notAFunction) return 0;
    char message[256];
    std::snprintf(message, sizeof message, "%s not a function\n", name);
    report(state, message);
    return -1;
}

void deinit_controller(CtrlState* state) {
    if (state == nullptr) return;
    if (state->L != nullptr) lua_close(state->L);
    delete state;
}

}  // extern "C"
