// Control scripts: registration, clamping, the four script functions, errors
// and the interpreter stack, with callbacks of the test's own and through a
// board on the virtual bus.
#include <lua5.4/lua.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "lumivex_control_scripts.h"
#include "virtual_bus.h"

using namespace LumivexTest;

extern "C" uint32_t c_caller_open(LumivexHandle* handle, uint32_t index);

namespace {

Control control(const char* name, int64_t minimum, int64_t maximum, const char* script) {
    Control c;
    std::memset(&c, 0, sizeof c);
    c.minimum = minimum;
    c.maximum = maximum;
    std::snprintf(c.name, sizeof c.name, "%s", name);
    c.script = script;
    return c;
}

// What the callbacks saw.
struct Seen {
    std::vector<std::string> printed;
    std::vector<uint32_t> writes;  // address, value pairs
    uint8_t request = 0;
    uint16_t value = 0, index = 0;
    uint32_t length = 0;
    uint8_t buffer[16] = {};
    void* context = nullptr;
} seen;

uint32_t writeReg(uint32_t address, uint32_t value, void* context) {
    seen.writes.push_back(address);
    seen.writes.push_back(value);
    seen.context = context;
    return 5;
}
uint32_t readReg(uint32_t address, uint32_t* value, void*) {
    *value = address + 1;
    return 0;
}
uint32_t vendor(uint8_t request, uint16_t value, uint16_t index, uint32_t length, uint8_t* buffer, void*) {
    seen.request = request;
    seen.value = value;
    seen.index = index;
    seen.length = length;
    std::memcpy(seen.buffer, buffer, 16);
    for (int i = 0; i < 16; ++i) buffer[i] = uint8_t(0xF0 + i);
    return 0;
}
void print(const char* text) { seen.printed.emplace_back(text); }

class Scripts : public ::testing::Test {
protected:
    void SetUp() override {
        seen = Seen{};
        ASSERT_EQ(init_controller(&state, readReg, writeReg, vendor, vendor, print), 0);
        ASSERT_NE(state, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(lua_gettop(state->L), 0);  // the stack is left as found
        deinit_controller(state);
    }
    // Runs a chunk through a control and returns set_ctrl's result.
    int32_t run(const char* script, int64_t value = 0) {
        controls.push_back(control("probe", INT64_MIN, INT64_MAX, script));
        EXPECT_EQ(register_ctrls(state, &controls.back(), 1), 0);
        return set_ctrl(state, "probe", value, &context);
    }
    double global(const char* name) {
        lua_getglobal(state->L, name);
        const double v = lua_tonumber(state->L, -1);
        lua_pop(state->L, 1);
        return v;
    }
    CtrlState* state = nullptr;
    std::vector<Control> controls = std::vector<Control>();
    int context = 0;
    Scripts() { controls.reserve(8); }
};

TEST_F(Scripts, ASyntaxErrorInTheMiddleIsReportedAndLaterScriptsAreDefined) {
    Control list[3] = {control("a", 0, 9, "function a(v) A = v end"), control("b", 0, 9, "function b(v) B = v"),
                       control("c", 0, 9, "function c(v) C = v end")};
    EXPECT_EQ(register_ctrls(state, list, 3), -1);
    ASSERT_EQ(seen.printed.size(), 1u);
    EXPECT_NE(seen.printed[0].find("'end' expected"), std::string::npos) << seen.printed[0];
    EXPECT_EQ(set_ctrl(state, "c", 4, nullptr), 0);
    EXPECT_EQ(global("C"), 4.0);
    Control failing[2] = {control("x", 0, 1, "error('no')"), control("y", 0, 1, nullptr)};
    EXPECT_EQ(register_ctrls(state, failing, 2), -2);  // a run-time error and a missing script
    EXPECT_EQ(register_ctrls(state, list, 0), 0);
}

TEST_F(Scripts, ValuesAreClampedToTheRecordAndArriveAsFloats) {
    Control list[1] = {control("gain", -3, 10, "function gain(v) G = v; T = math.type(v) end")};
    ASSERT_EQ(register_ctrls(state, list, 1), 0);
    EXPECT_EQ(set_ctrl(state, "gain", 50, nullptr), 0);
    EXPECT_EQ(global("G"), 10.0);
    EXPECT_EQ(set_ctrl(state, "gain", -50, nullptr), 0);
    EXPECT_EQ(global("G"), -3.0);
    EXPECT_EQ(set_ctrl(state, "gain", 5, nullptr), 0);
    lua_getglobal(state->L, "T");
    EXPECT_STREQ(lua_tostring(state->L, -1), "float");
    lua_pop(state->L, 1);
    // A function without a record is called with the value unclamped.
    luaL_dostring(state->L, "function free(v) F = v end");
    lua_settop(state->L, 0);
    EXPECT_EQ(set_ctrl(state, "free", 123456, nullptr), 0);
    EXPECT_EQ(global("F"), 123456.0);
}

TEST_F(Scripts, ANameWithNeitherRecordNorFunctionFailsAHundredTimesAndStaysUsable) {
    for (int i = 0; i < 100; ++i) EXPECT_EQ(set_ctrl(state, "missing", 1, nullptr), -1);
    ASSERT_EQ(seen.printed.size(), 100u);
    EXPECT_EQ(seen.printed[0], "missing not a function\n");
    EXPECT_EQ(run("function probe(v) P = v * 2 end", 21), 0);
    EXPECT_EQ(global("P"), 42.0);
    std::string longName(300, 'n');
    EXPECT_EQ(set_ctrl(state, longName.c_str(), 1, nullptr), -1);
    EXPECT_EQ(seen.printed.back().size(), 255u);  // cut to the 256-byte buffer
}

TEST_F(Scripts, AnErrorInTheControlFunctionIsReported) {
    EXPECT_EQ(run("function probe(v) error('refused ' .. v) end", 3), -1);
    EXPECT_NE(seen.printed.back().find("refused 3"), std::string::npos);
}

TEST_F(Scripts, StrictGlobalsScriptsCannotAbortTheProcess) {
    // A script in the strict-globals style: reading or defining an unknown
    // global raises. set_ctrl reports the error and the interpreter stays usable.
    Control list[2] = {control("gain", 0, 9, "G = 0 function gain(v) G = v end"),
                       control("strict", 0, 0,
                               "setmetatable(_G, {__index = function(t, k) error('unknown global ' .. k) end,"
                               " __newindex = function(t, k) error('new global ' .. k) end})")};
    ASSERT_EQ(register_ctrls(state, list, 2), 0);
    EXPECT_EQ(set_ctrl(state, "missing", 1, nullptr), -1);
    ASSERT_FALSE(seen.printed.empty());
    EXPECT_NE(seen.printed.back().find("unknown global missing"), std::string::npos) << seen.printed.back();
    EXPECT_EQ(set_ctrl(state, "gain", 4, &context), 0);  // "ctrl_state" is set past the guard
    EXPECT_EQ(global("G"), 4.0);
    Control late[1] = {control("probe", 0, 9, "function probe(v) P = v end")};
    EXPECT_EQ(register_ctrls(state, late, 1), -1);  // the guard refuses the new global
    EXPECT_NE(seen.printed.back().find("new global probe"), std::string::npos) << seen.printed.back();
    EXPECT_EQ(set_ctrl(state, "probe", 1, nullptr), -1);
    EXPECT_EQ(set_ctrl(state, "gain", 5, &context), 0);
    EXPECT_EQ(global("G"), 5.0);
}

TEST_F(Scripts, RegisterFunctionsReachTheCallbacksWithTheContext) {
    EXPECT_EQ(run("function probe(v) R, V = readReg(0x41); W = writeReg(v, 7) end", 0x20), 0);
    EXPECT_EQ(global("R"), 0.0);
    EXPECT_EQ(global("V"), 0x42);
    EXPECT_EQ(global("W"), 5.0);
    ASSERT_EQ(seen.writes.size(), 2u);
    EXPECT_EQ(seen.writes[0], 0x20u);
    EXPECT_EQ(seen.context, &context);
}

TEST_F(Scripts, NumbersConvertToUnsignedByTheDocumentedRule) {
    EXPECT_EQ(run("function probe(v) writeReg(-5, 1e20); writeReg(7.9, 0/0); writeReg(4294967295, 1/0) end"), 0);
    EXPECT_EQ(seen.writes, (std::vector<uint32_t>{0, 4294967295u, 7, 0, 4294967295u, 4294967295u}));
}

TEST_F(Scripts, GetVRWritesBackExactlyTheTablesElements) {
    EXPECT_EQ(run("function probe(v) t = {1, 2, 300, 4}; r = GetVR(0x1234, 0x10002, 3, 2, t); n = #t end"), 0);
    EXPECT_EQ(seen.request, 0x34);  // cut to 8 bits
    EXPECT_EQ(seen.value, 2);       // cut to 16 bits
    EXPECT_EQ(seen.length, 2u);
    EXPECT_EQ(seen.buffer[2], 300 % 256);
    EXPECT_EQ(global("n"), 4.0);
    luaL_dostring(state->L, "return t[1], t[4], t[5]");
    EXPECT_EQ(lua_tonumber(state->L, 1), 0xF0);
    EXPECT_EQ(lua_tonumber(state->L, 2), 0xF3);
    EXPECT_TRUE(lua_isnil(state->L, 3));
    lua_settop(state->L, 0);
}

TEST_F(Scripts, SendVRLeavesItsTableAsItWas) {
    EXPECT_EQ(run("function probe(v) t = {300, 2.5, 'x'}; r = SendVR(1, 2, 3, 3, t) end"), 0);
    EXPECT_EQ(seen.buffer[0], 300 % 256);
    EXPECT_EQ(seen.buffer[1], 2);
    EXPECT_EQ(seen.buffer[2], 0);
    luaL_dostring(state->L, "return t[1], t[2], t[3]");
    EXPECT_EQ(lua_tonumber(state->L, 1), 300.0);
    EXPECT_EQ(lua_tonumber(state->L, 2), 2.5);
    EXPECT_STREQ(lua_tostring(state->L, 3), "x");
    lua_settop(state->L, 0);
}

TEST_F(Scripts, VendorRequestsBeyondSixteenBytesOrWithoutATableAreRefused) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run("function probe(v) a = SendVR(1, 0, 0, 1, 'text'); b = GetVR(1, 0, 0, 1) end"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "SensorVR: The fifth parameter is not a table.\nSensorVR: The fifth parameter is not a table.\n");
    EXPECT_EQ(global("a"), -1.0);
    EXPECT_EQ(global("b"), -1.0);
    seen.request = 0;
    EXPECT_EQ(run("function probe(v) t = {} for i = 1, 17 do t[i] = i end c = GetVR(9, 0, 0, 4, t) "
                  "d = SendVR(9, 0, 0, 17, {1}) end"),
              0);
    EXPECT_EQ(global("c"), -1.0);
    EXPECT_EQ(global("d"), -1.0);
    EXPECT_EQ(seen.request, 0);  // nothing was sent
}

TEST_F(Scripts, ScriptFunctionsReachNoDeviceWhileRegistering) {
    Control list[1] = {control("early", 0, 1, "R, V = readReg(5); W = writeReg(1, 2)")};
    EXPECT_EQ(register_ctrls(state, list, 1), 0);
    EXPECT_EQ(global("R"), 0.0);
    EXPECT_EQ(global("V"), 0.0);
    EXPECT_EQ(global("W"), 0.0);
    EXPECT_TRUE(seen.writes.empty());
}

// Through the camera object and a board on the virtual bus.
TEST_F(BusTest, ScriptsSetTheBoardsRegistersThroughSetCtrl) {
    configureBus("pid=0x00F1");
    LumivexHandle handle = nullptr;
    ASSERT_EQ(c_caller_open(&handle, 0), 0u);
    static Control list[2] = {
        control("exposure", 1, 200, "function exposure(v) writeReg(0x3012, v) end"),
        control("readback", 0, 0, "function readback(v) local r, x = readReg(0x3012); writeReg(0x3013, x + 1) end")};
    ASSERT_EQ(Lumivex_registerCtrls(handle, list, 2), 0u);
    EXPECT_EQ(Lumivex_setCtrl(handle, "exposure", 500), 0u);
    uint32_t value = 0;
    lumivex_vusb_register(0, 0x34, 0x3012, &value);
    EXPECT_EQ(value, 200u);
    EXPECT_EQ(Lumivex_setCtrl(handle, "readback", 0), 0u);
    lumivex_vusb_register(0, 0x34, 0x3013, &value);
    EXPECT_EQ(value, 201u);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Lumivex_setCtrl(handle, "nothing", 0), 0xFFFFFFFFu);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "nothing not a function\n\n");
    Lumivex_close(handle);
}

// Every flat function reaches its operation: a null handle is refused, and
// a live one puts the operation's request on the wire.
TEST_F(BusTest, FlatCaptureFunctionsForwardToTheirOperations) {
    EXPECT_EQ(Lumivex_captureImage(nullptr), USB_CAMERA_NO_DEVICE);
    EXPECT_EQ(Lumivex_readImage(nullptr, nullptr), USB_CAMERA_PARAMETER_ERROR);
    configureBus("vid=0x52CB,pid=0x52CB,fps=400,link=short");
    LumivexHandle handle = nullptr;
    ASSERT_EQ(c_caller_open(&handle, 0), 0u);
    EXPECT_EQ(Lumivex_enableForceRead(handle), 0u);
    EXPECT_EQ(Lumivex_disableForceRead(handle), 0u);
    EXPECT_EQ(Lumivex_beginCaptureImage(handle), 0u);
    uint32_t result = 0;
    for (int i = 0; i < 50 && Lumivex_availableImage(handle) == 0; ++i) result = Lumivex_captureImage(handle);
    EXPECT_GE(result, 1u);
    LumivexOutData* frame = nullptr;
    EXPECT_EQ(Lumivex_readImage(handle, &frame), 0u);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->config.frameLength, 1024u);
    EXPECT_EQ(Lumivex_del(handle), 0u);
    EXPECT_EQ(Lumivex_flush(handle), 0u);
    EXPECT_EQ(Lumivex_availableImage(handle), 0u);
    EXPECT_EQ(Lumivex_endCaptureImage(handle), 0u);
    lumivex_vusb_clear_log();
    EXPECT_EQ(Lumivex_setMode(handle, 1), 0u);
    EXPECT_EQ(Lumivex_softTrigger(handle), 0u);
    EXPECT_EQ(Lumivex_isFrameReady(handle), 0u);
    EXPECT_EQ(Lumivex_getSingleFrame(handle, &frame, 1000), 0u);
    const std::string log = busLog();
    EXPECT_NE(log.find("wIndex=0x0800 wLength=1 data=[81]"), std::string::npos);
    EXPECT_NE(log.find("wIndex=0x0300 wLength=1 data=[60]"), std::string::npos);
    EXPECT_NE(log.find("bRequest=0xD6 wValue=0x4600 wIndex=0x0900"), std::string::npos);
    Lumivex_close(handle);
}

}  // namespace
