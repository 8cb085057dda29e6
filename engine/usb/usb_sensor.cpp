#include "usb_sensor.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "csi/warning.h"
#include "default_setup.h"
#include "frame_types.h"
#include "lumivex_config_parser.h"

namespace Lumivex {

namespace {
constexpr uint32_t kSubFrameBytes = 86400;
constexpr uint64_t kGroupWindowTicks = 40000;  // 4 ms in 100 ns ticks
// getFrame gives up after this long without four sub-frames that belong
// together, so that the engine's stop always returns.
constexpr auto kFrameWait = std::chrono::seconds(2);
// The longest a capture call waits for the board, so that an interrupted
// getFrame returns within it.
constexpr int32_t kCaptureSliceMs = 100;
// Recovery: restarts back off from 50 ms to 1 s; a gone board is looked for
// every 250 ms.
constexpr auto kFirstBackOff = std::chrono::milliseconds(50);
constexpr auto kLongestBackOff = std::chrono::milliseconds(1000);
constexpr auto kLookForBoard = std::chrono::milliseconds(250);
constexpr auto kRecoverySlice = std::chrono::milliseconds(100);
constexpr uint32_t kMaxBoards = 32;  // boards a scan reports at most
// The range registers: 0x216C holds 0x08 in the 2 m set, 0x10 in the 4 m set.
constexpr uint32_t kRangeRegister = 0x216C;
// A frame whose board stamps lie further than this from the board time of
// the switch is not on the board's clock (or the clock jumped): its stamps
// cannot tell.
constexpr uint64_t kStampedWindowTicks = 100000000;  // 10 s
// A switch whose frames never come stamped after it (a board clock that
// stands still) is settled by the structural rule after this long.
constexpr auto kLongestStampedWait = std::chrono::milliseconds(500);

uint32_t kindOf(const ConfigFileEntry& e) { return e.type & 0xFFFF; }
uint32_t usbFilterOf(const ConfigFileEntry& e) { return (e.type >> 16) & 0xFF; }
}  // namespace

LumivexTOFUSBSensor::LumivexTOFUSBSensor(const char* path, uint32_t index)
    : configPath(path != nullptr ? path : ""), deviceIndex(index) {}

LumivexTOFUSBSensor::~LumivexTOFUSBSensor() {
    if (handle != nullptr) {
        if (streaming) Lumivex_endCaptureImage(handle);
        Lumivex_close(handle);
    }
}

int32_t LumivexTOFUSBSensor::open() {
    const int32_t result = configPath.empty() ? initBuiltIn(deviceIndex, false) : initWithFile(deviceIndex, false);
    if (result == 0) printSerialNumber();
    return result;
}

int32_t LumivexTOFUSBSensor::initBuiltIn(uint32_t index, bool quiet) {
    std::memset(&cfg, 0, sizeof cfg);
    cfg.width = kSensorWidth;
    cfg.height = kSensorHeight;
    cfg.bytesPerPixel = 2;
    cfg.bitWidth = 12;
    cfg.i2cAddress = 0x34;
    cfg.i2cMode = 2;
    cfg.format = 4;
    cfg.transferUnits = 0;
    const uint32_t result = Lumivex_open(&handle, &cfg, index);
    if (result != 0) {
        if (!quiet) warnOpenFailure("camera_init", result);
        return 1;
    }
    for (const ConfigFileEntry& e : defaultBoardConfig()) sendBoardRequest(e);
    // The built-in registers hold the 4 m set.
    for (const ConfigFileEntry& e : defaultSensorRegisters()) writeSensorRegister(e.params[0], e.params[1]);
    return 0;
}

int32_t LumivexTOFUSBSensor::initWithFile(uint32_t index, bool quiet) {
    std::memset(&cfg, 0, sizeof cfg);
    ConfigFileResult file;
    std::memset(&file, 0, sizeof file);
    if (lumivex_parse_config(configPath.c_str(), &file) != 0) {
        if (!quiet) {
            warn("camera_initWithFile", "Cannot find configuration file.");
            // The line above says the same for a file that exists but is no configuration file.
            if (::access(configPath.c_str(), R_OK) == 0)
                warn("camera_initWithFile", "%s was found but is not a camera configuration file (see the line "
                     "before for where)", configPath.c_str());
            else
                warn("camera_initWithFile", "%s: %s", configPath.c_str(), std::strerror(errno));
        }
        return 1;
    }
    cfg.width = file.width;
    cfg.height = file.height;
    cfg.bitWidth = file.bitsPerPixel;
    cfg.i2cAddress = file.i2cAddress;
    cfg.transferUnits = file.transferLevel;
    if (file.bitsPerPixel <= 8) cfg.bytesPerPixel = 1;
    else if (file.bitsPerPixel <= 16) cfg.bytesPerPixel = 2;
    if (file.i2cMode <= 4) cfg.i2cMode = file.i2cMode;
    if (file.formatMode <= 6) cfg.format = file.formatMode;
    // This back-end gathers sub-frames of the 240 x 180 sensor at 2 bytes a
    // sample: any other frame size is refused before the board is touched.
    if (uint64_t(cfg.width) * cfg.height * cfg.bytesPerPixel != kSubFrameBytes) {
        if (!quiet) warn("camera_initWithFile", "The file's frames of %u x %u x %u bytes are not the sensor's %u x %u x 2.",
             unsigned(cfg.width), unsigned(cfg.height), unsigned(cfg.bytesPerPixel), unsigned(kSensorWidth),
             unsigned(kSensorHeight));
        lumivex_release_config(&file);
        return 1;
    }
    const uint32_t result = Lumivex_open(&handle, &cfg, index);
    if (result != 0) {
        if (!quiet) warnOpenFailure("camera_initWithFile", result);
        lumivex_release_config(&file);  // the entry array is ours to free
        return 1;
    }
    for (int32_t i = 0; i < file.entryCount; ++i) {
        const ConfigFileEntry& e = file.entries[i];
        const uint32_t filter = usbFilterOf(e);
        if (filter != 0 && filter != cfg.usbType) continue;
        switch (kindOf(e)) {
            case LUMIVEX_ENTRY_SENSOR_REGISTER:
                writeSensorRegister(e.params[0], e.params[1]);
                break;
            case LUMIVEX_ENTRY_BOARD_REQUEST: {
                // Ten data bytes at most: a larger size would send bytes the
                // entry does not hold.
                if (e.params[3] > LUMIVEX_BOARD_DATA_MAX) {
                    if (!quiet) warn("camera_initWithFile", "Board configuration entry %d with %u data bytes refused (at most 10)",
                         int(i), unsigned(e.params[3]));
                    break;
                }
                sendBoardRequest(e);
                break;
            }
            case LUMIVEX_ENTRY_DELAY:
                std::this_thread::sleep_for(std::chrono::microseconds(uint64_t(e.params[0]) * 1000));
                break;
            default:
                break;
        }
    }
    lumivex_release_config(&file);
    return 0;
}

void LumivexTOFUSBSensor::warnOpenFailure(const char* name, uint32_t result) {
    if (result == USB_CAMERA_DEVICE_BUSY) {
        warn(name, "USB camera %u is in use (by another camera object or program)", unsigned(deviceIndex));
    } else {
        warn(name, "Cannot open camera.rtn_val = %d", int32_t(result));
    }
}

void LumivexTOFUSBSensor::writeSensorRegister(uint32_t address, uint32_t value) {
    Lumivex_writeSensorReg(handle, address, value);
    // The range is what the range register was last set to.
    if (address == kRangeRegister) appliedRange.store(value == 0x08 ? 2 : value == 0x10 ? 4 : 0);
}

void LumivexTOFUSBSensor::sendBoardRequest(const ConfigFileEntry& e) {
    // One data byte per parameter from parameter 4 on (at most ten).
    uint8_t data[LUMIVEX_BOARD_DATA_MAX] = {};
    for (uint32_t i = 0; i < e.params[3] && i < LUMIVEX_BOARD_DATA_MAX; ++i) data[i] = uint8_t(e.params[4 + i]);
    Lumivex_setboardConfig(handle, uint8_t(e.params[0]), uint16_t(e.params[1]), uint16_t(e.params[2]), e.params[3],
                           data);
}

std::vector<std::pair<std::string, std::string>> LumivexTOFUSBSensor::deviceFacts() const {
    std::vector<std::pair<std::string, std::string>> facts;
    std::string text;
    for (uint8_t c : serial) {
        if (c >= 0x20 && c < 0x7F) text += char(c);
    }
    if (!text.empty()) facts.emplace_back("serial", text);
    if (!firmware.empty()) facts.emplace_back("firmware", firmware);
    return facts;
}

void LumivexTOFUSBSensor::printSerialNumber() {
    Lumivex_readUserData(handle, 0x3F0, 16, serial);
    uint32_t version = 0;
    if (Lumivex_getFirmwareVersion(handle, &version) == 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%u.%02x", unsigned(version >> 8 & 0xFF), unsigned(version & 0xFF));  // 3.14
        firmware = text;
    }
    std::printf("Serial: %c%c%c%c-%c%c%c%c-%c%c%c%c\n", serial[0], serial[1], serial[2], serial[3], serial[4],
                serial[5], serial[6], serial[7], serial[8], serial[9], serial[10], serial[11]);
}

int32_t LumivexTOFUSBSensor::close() {
    if (handle != nullptr) Lumivex_close(handle);
    handle = nullptr;
    streaming = false;
    return 0;
}

int32_t LumivexTOFUSBSensor::start() {
    if (streaming) return -1;
    streaming = true;
    warnedSize = false;
    interrupted.store(false);
    link = Link::Streaming;
    rangeJudge.begin(appliedRange.load());
    lastFrameRange = appliedRange.load();
    restartedForSwitch = false;
    dropFrames = 0;
    // beginCapture empties the library's frame ring: nothing captured before
    // this start is handed out.
    const uint32_t result = handle != nullptr ? Lumivex_beginCaptureImage(handle) : USB_CAMERA_TRANSFER_STOPPED;
    if (result == USB_CAMERA_TRANSFER_STOPPED) {
        warn("start", "Error beginning capture, rtn_val = %d", int32_t(USB_CAMERA_TRANSFER_STOPPED));
        return -1;
    }
    return 0;
}

int32_t LumivexTOFUSBSensor::stop() {
    streaming = false;
    if (handle != nullptr) Lumivex_endCaptureImage(handle);
    return 0;
}

namespace {
bool near(uint64_t stamp, uint64_t reference) {
    return (stamp > reference ? stamp - reference : reference - stamp) < kStampedWindowTicks;
}
}  // namespace

bool LumivexTOFUSBSensor::takeSubFrame(const LumivexOutData* frame) {
    // Only whole sub-frames of the sensor: a frame of another length (or one
    // the board flags as special) would be read past its end or mixed in.
    if (frame->config.frameLength != kSubFrameBytes || frame->config.format == 8) {
        if (!warnedSize) {
            warn("getFrame", "Frame of %u bytes (format %u) dropped: a sub-frame has %u bytes",
                 unsigned(frame->config.frameLength), unsigned(frame->config.format), unsigned(kSubFrameBytes));
            warnedSize = true;
        }
        return false;
    }
    return true;
}

void LumivexTOFUSBSensor::restartCapture() {
    std::lock_guard<std::mutex> lock(libraryMutex);
    Lumivex_endCaptureImage(handle);
    if (Lumivex_beginCaptureImage(handle) == USB_CAMERA_TRANSFER_STOPPED)
        warn("getFrame", "Error beginning capture, rtn_val = %d", int32_t(USB_CAMERA_TRANSFER_STOPPED));
}

bool LumivexTOFUSBSensor::frameOfKnownRange(uint64_t firstStamp, uint64_t lastStamp, uint64_t widestGap) {
    if (rangeJudge.takeNewSwitch()) {
        restartedForSwitch = false;  // what is in flight now was in flight at this switch too
        dropFrames = 0;
        switchSeen = std::chrono::steady_clock::now();
    }
    if (!rangeJudge.pending()) return true;
    const uint64_t since = rangeJudge.pendingSince();
    if (since == RangeSwitchJudge::kUnderWay) return false;  // the registers are being written
    if (restartedForSwitch) {
        if (dropFrames > 0) {
            --dropFrames;  // may have begun before the restart, in the board's own memory
            return false;
        }
        return rangeJudge.settle();
    }
    // Judged on the board's own clock: the switch's board time against the
    // frame's stamps. The first sub-frame's exposure began up to one
    // sub-frame period before its stamp.
    if (rangeJudge.pendingStamped() && firstStamp != 0 && near(firstStamp, since) && near(lastStamp, since)) {
        if (rangeJudge.accept(firstStamp > widestGap ? firstStamp - widestGap : 0)) return true;
        if (std::chrono::steady_clock::now() - switchSeen < kLongestStampedWait) return false;
    }
    restartCapture();
    restartedForSwitch = true;
    dropFrames = 1;
    return false;
}

void LumivexTOFUSBSensor::streamFailed(uint32_t result) {
    warn("getFrame", "Error capture image, rtn_val = %u: the stream is restarted", unsigned(result));
    link = Link::Restarting;
    backOff = kFirstBackOff;
    nextAttempt = std::chrono::steady_clock::now() + backOff;
}

bool LumivexTOFUSBSensor::boardPresent() {
    uint8_t check[16] = {};
    return handle != nullptr && Lumivex_readUserData(handle, 0x3F0, 16, check) == 0;
}

void LumivexTOFUSBSensor::boardGone() {
    warn("getFrame", "USB camera %c%c%c%c-%c%c%c%c-%c%c%c%c is gone: waiting for it to come back", serial[0],
         serial[1], serial[2], serial[3], serial[4], serial[5], serial[6], serial[7], serial[8], serial[9], serial[10],
         serial[11]);
    std::lock_guard<std::mutex> lock(libraryMutex);
    if (handle != nullptr) {
        Lumivex_endCaptureImage(handle);
        Lumivex_close(handle);
        handle = nullptr;
    }
    gone.store(true);
    link = Link::Gone;
}

bool LumivexTOFUSBSensor::reopen() {
    LumivexIndexinfo boards[kMaxBoards];
    std::memset(boards, 0, sizeof boards);
    const uint32_t found = Lumivex_scan(boards);
    if (found == 0 || found > kMaxBoards) return false;
    for (uint32_t i = 0; i < found; ++i) {
        if (std::memcmp(boards[i].serialNumber, serial, sizeof serial) != 0) continue;
        std::lock_guard<std::mutex> lock(libraryMutex);
        // The same set-up as at open, then the range in force.
        const int32_t range = appliedRange.load();
        const int32_t result =
            configPath.empty() ? initBuiltIn(boards[i].index, true) : initWithFile(boards[i].index, true);
        if (result == 0 && (range == 2 || range == 4)) {
            for (const ConfigFileEntry& e : range == 2 ? rangeRegisters2m() : rangeRegisters4m())
                writeSensorRegister(e.params[0], e.params[1]);
        }
        if (result != 0 || Lumivex_beginCaptureImage(handle) == USB_CAMERA_TRANSFER_STOPPED) {
            if (handle != nullptr) Lumivex_close(handle);  // a failed open leaves one
            handle = nullptr;
            return false;
        }
        return true;
    }
    return false;
}

void LumivexTOFUSBSensor::resumedAfterRestart() {
    // Everything in flight went with the restart: a range switch pending
    // now is settled by the rule for boards whose stamps cannot tell.
    rangeJudge.takeNewSwitch();
    if (rangeJudge.pending()) {
        restartedForSwitch = true;
        dropFrames = 1;
    }
    link = Link::Streaming;
}

bool LumivexTOFUSBSensor::recover() {
    // One bounded step: waits in a slice for the next attempt, then makes it.
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAttempt) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(nextAttempt - now, kRecoverySlice));
        if (interrupted.load() || std::chrono::steady_clock::now() < nextAttempt) return false;
    }
    if (interrupted.load()) return false;
    if (link == Link::Restarting) {
        bool restarted = false;
        {
            std::lock_guard<std::mutex> lock(libraryMutex);
            Lumivex_endCaptureImage(handle);  // the halt, if any, is cleared as the capture begins again
            restarted = Lumivex_beginCaptureImage(handle) != USB_CAMERA_TRANSFER_STOPPED;
        }
        if (restarted) {
            resumedAfterRestart();
            return true;
        }
        if (!boardPresent()) {
            boardGone();
            nextAttempt = std::chrono::steady_clock::now();
            return false;
        }
        backOff = std::min<std::chrono::milliseconds>(backOff * 2, kLongestBackOff);
        nextAttempt = std::chrono::steady_clock::now() + backOff;
        return false;
    }
    // Gone: is a board with this serial number back on the bus?
    if (!reopen()) {
        nextAttempt = std::chrono::steady_clock::now() + kLookForBoard;
        return false;
    }
    warn("getFrame", "USB camera %c%c%c%c-%c%c%c%c-%c%c%c%c is back: the stream goes on", serial[0], serial[1],
         serial[2], serial[3], serial[4], serial[5], serial[6], serial[7], serial[8], serial[9], serial[10], serial[11]);
    gone.store(false);
    resumedAfterRestart();
    return true;
}

int32_t LumivexTOFUSBSensor::getFrame(uint8_t* rawFrame, uint64_t* timestamp) {
    if (!streaming) return -1;  // nothing captured
    if (link != Link::Streaming && !recover()) return -1;
    if (handle == nullptr) return -1;
    int count = 0;
    size_t writePosition = 0;
    uint64_t lastTime = 0, firstTime = 0, widestGap = 0;
    const auto deadline = std::chrono::steady_clock::now() + kFrameWait;
    // Places one sub-frame read from the ring and releases it at once.
    int subFramesRead = 0;
    auto place = [&](const LumivexOutData* frame) {
        ++subFramesRead;
        if (count > 0 && frame->timestamp - lastTime > kGroupWindowTicks) {
            count = 0;  // too far from the previous one: the group starts again
            writePosition = 0;
        }
        if (count == 0) {
            firstTime = frame->timestamp;
            widestGap = 0;
        } else if (frame->timestamp - lastTime > widestGap) {
            widestGap = frame->timestamp - lastTime;
        }
        std::memcpy(rawFrame + writePosition, frame->data, kSubFrameBytes);
        writePosition += kSubFrameBytes;
        ++count;
        lastTime = frame->timestamp;
    };
    // Reads what the ring holds until a frame of a known range is gathered.
    auto drain = [&] {
        while (count < 4 && Lumivex_readImage(handle, &outData) == 0) {
            if (takeSubFrame(outData)) place(outData);
            Lumivex_del(handle);
            if (count < 4) continue;
            if (frameOfKnownRange(firstTime, lastTime, widestGap)) return;
            count = 0;  // of an earlier range, or not certainly of the new one
            writePosition = 0;
        }
    };
    drain();  // sub-frames a previous capture finished
    while (count < 4) {
        if (interrupted.load()) return -1;  // the session is stopping
        if (std::chrono::steady_clock::now() >= deadline) {
            if (subFramesRead == 0) {
                warn("getFrame", "No sub-frame from the camera in 2 s");
            } else {
                warn("getFrame", "No four sub-frames close enough in time for a frame");
            }
            return -1;
        }
        const uint32_t result = Lumivex_captureImageWithin(handle, kCaptureSliceMs);
        if (result == USB_CAMERA_TRANSFER_STOPPED) {  // the stream failed: the library has stopped it
            streamFailed(result);
            return -1;
        }
        if (result > 255) {
            warn("getFrame", "Error capture image, rtn_val = %u", unsigned(result));
            return -1;
        }
        // A capture that finished nothing (0) is not a sub-frame: only four
        // sub-frames of one group make a frame.
        drain();
    }
    *timestamp = lastTime;
    lastFrameRange = rangeJudge.range();
    return 0;
}

int32_t LumivexTOFUSBSensor::setControl(CameraCtrl ctrl, int32_t value) {
    if (ctrl != RANG) return -1;
    const auto& table = value == 2 ? rangeRegisters2m() : rangeRegisters4m();
    const int32_t range = value == 2 ? 2 : 4;
    rangeJudge.announce(range);  // no frame is accepted until it is recorded
    uint64_t boardTime = 0;
    bool stamped = false;
    {
        std::lock_guard<std::mutex> lock(libraryMutex);
        for (const ConfigFileEntry& e : table) {
            if (handle != nullptr) writeSensorRegister(e.params[0], e.params[1]);
        }
        // From here on the board begins its frames at the new range: the
        // time on the clock that stamps them, where it does.
        stamped = handle != nullptr && Lumivex_readFrameClock(handle, &boardTime) == 0;
    }
    appliedRange.store(range);
    rangeJudge.record(range, boardTime, stamped);
    return 0;
}

// The range in force, when this back-end knows it: without it the session
// would start with the 4 m phase pairing whatever the camera measures (a 2 m
// camera would give wrong distances). Unknown (a set-up that wrote no range
// register, before any setControl): -1 and nothing written.
int32_t LumivexTOFUSBSensor::getControl(CameraCtrl ctrl, int32_t* value) {
    if (ctrl != RANG || value == nullptr || appliedRange.load() == 0) return -1;
    *value = appliedRange.load();
    return 0;
}

}  // namespace Lumivex
