// The virtual USB bus's settings: boards separated by ';', each a list of
// key=value pairs separated by ','.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "usb_config.h"

namespace LumivexSim {

namespace {
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

bool toNumber(const std::string& text, long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return *end == '\0';
}

bool inRange(const std::string& text, long low, long high, long& value) {
    return toNumber(text, value) && value >= low && value <= high;
}

bool applyBoardSetting(BoardConfig& b, const std::string& key, const std::string& value) {
    long n = 0;
    if (key == "vid") return inRange(value, 0, 0xFFFF, n) && (b.vendorId = uint16_t(n), true);
    if (key == "pid") return inRange(value, 0, 0xFFFF, n) && (b.productId = uint16_t(n), true);
    if (key == "bcd") return inRange(value, 0, 0xFFFF, n) && (b.bcdDevice = uint16_t(n), true);
    if (key == "fw") return inRange(value, 0, 0xFFFF, n) && (b.firmware = uint16_t(n), true);
    if (key == "speed") {
        if (value == "full") b.speed = 2;
        else if (value == "high") b.speed = 3;
        else if (value == "super") b.speed = 4;
        else return false;
        return true;
    }
    if (key == "ctrl") {
        if (value == "none") return (b.controller = false, true);
        return inRange(value, 0, 0xFF, n) && (b.controllerVersion = uint8_t(n), true);
    }
    if (key == "date") {
        const auto parts = split(value, '/');
        if (parts.size() != 3) return false;
        for (int i = 0; i < 3; ++i) {
            if (!inRange(parts[size_t(i)], 0, 255, n)) return false;
            b.date[i] = uint8_t(n);
        }
        return true;
    }
    if (key == "serial") return value.size() <= 16 && (b.serial = value, true);
    if (key == "status") return inRange(value, 0, 255, n) && (b.i2cStatus = uint8_t(n), true);
    if (key == "stream") return (value == "marker" || value == "chunk") && (b.stream = value, true);
    if (key == "frame_bytes") return inRange(value, 1, 64 << 20, n) && (b.frameBytes = uint32_t(n), true);
    if (key == "content") return (value == "pattern" || value == "jpeg") && (b.content = value, true);
    if (key == "fps") return inRange(value, 1, 2000, n) && (b.fps = double(n), true);
    if (key == "link") {
        if (value != "full" && value != "short") return false;
        b.shortTransfers = value == "short";
        return true;
    }
    if (key == "stamps") {
        for (const std::string& part : split(value, '/')) {
            char* end = nullptr;
            const unsigned long long stamp = std::strtoull(part.c_str(), &end, 0);
            if (part.empty() || *end != '\0') return false;
            b.stamps.push_back(stamp);
        }
        return true;
    }
    if (key == "clock_skew") {  // MS, signed: the board clock runs this far ahead of the host's (behind if < 0)
        char* end = nullptr;
        const long long ms = std::strtoll(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || ms < -1000000000LL || ms > 1000000000LL) return false;
        b.clockSkewTicks = ms * 10000;
        return true;
    }
    if (key == "lens") {
        std::string why;
        return parseLens(value, b.lens, why);
    }
    if (key == "scene") return isKnownScene(value) && (b.scene = value, true);
    if (key == "pipeline") return inRange(value, 0, 8 << 20, n) && (b.pipelineBytes = size_t(n), true);
    if (key == "seq_start") return inRange(value, 0, 0xFFFF, n) && (b.sequenceStart = uint16_t(n), true);
    if (key == "ctrl_delay") {  // MS, or MS:REQUEST
        const auto parts = split(value, ':');
        if (parts.empty() || parts.size() > 2 || !inRange(parts[0], 0, 60000, n)) return false;
        b.controlDelayMs = int(n);
        if (parts.size() == 2) return inRange(parts[1], 0, 255, n) && (b.controlDelayRequest = int(n), true);
        return true;
    }
    if (key == "noise") return inRange(value, 1, 0xFFFFFFFFL, n) && (b.noiseSeed = uint32_t(n), true);
    if (key == "moving") return (b.moving = true, true);
    if (key == "replay") return !value.empty() && (b.replayPath = value, true);
    if (key == "replay_fast") return (b.replayFast = true, true);
    if (key == "replay_loop") return (b.replayLoop = true, true);
    if (key == "desc_fail") return (b.descriptorFail = true, true);
    if (key == "open_fail") return (b.openFail = true, true);
    if (key == "stall") return (b.stall = true, true);
    if (key == "busy") return (b.busy = true, true);
    if (key == "ctrl_error") {
        if (value == "all") return (b.controlError = -2, true);
        return inRange(value, 0, 255, n) && (b.controlError = int(n), true);
    }
    long* counters[] = {&b.timeoutAfter, &b.errorAt, &b.disconnectAt, &b.haltAt, &b.gapAt, &b.shortAt,
                        &b.specialAt, &b.noJpegStartAt, &b.noJpegEndAt, &b.submitFailAt, &b.replugAfterMs,
                        &b.dropPacketAt};
    const char* names[] = {"timeout_after", "error_at", "disconnect_at", "halt_at", "gap_at", "short_at",
                           "special_at", "no_jpeg_start_at", "no_jpeg_end_at", "submit_fail_at", "replug_after",
                           "drop_packet_at"};
    for (size_t i = 0; i < sizeof names / sizeof *names; ++i) {
        if (key == names[i]) return inRange(value, 0, 1L << 40, n) && (*counters[i] = n, true);
    }
    return false;
}
// Opens the USB recording a depth camera replays; the board then shows the
// recorded camera's serial number and firmware.
bool openReplay(BoardConfig& b, long copies, std::string& error) {
    if (!b.depthCamera || copies != 1) {
        error = "replay=" + b.replayPath + " (only one camera=depth replays a recording)";
        return false;
    }
    std::FILE* file = std::fopen(b.replayPath.c_str(), "rb");
    if (file == nullptr) {
        error = b.replayPath + ": " + std::strerror(errno);
        return false;
    }
    auto source = std::make_shared<ReplaySource>();
    if (!source->open(file, b.replayPath, b.replayLoop, error)) return false;
    if (!source->fromUsb()) {
        error = b.replayPath + " is a recording of a CSI camera, not of the USB depth camera";
        return false;
    }
    const std::string serial = source->header().get("serial");
    if (!serial.empty() && serial.size() <= 16) b.serial = serial;
    unsigned major = 0, minor = 0;  // "3.14": major in decimal, minor in hex
    if (std::sscanf(source->header().get("firmware").c_str(), "%u.%x", &major, &minor) == 2 && major < 256 &&
        minor < 256)
        b.firmware = uint16_t(major << 8 | minor);
    b.replay = std::move(source);
    return true;
}
}  // namespace

bool parseBusSettings(const std::string& text, BusSettings& settings, std::string& error) {
    for (const std::string& item : split(text, ';')) {
        if (item.empty() || item == "none") continue;
        BoardConfig board;
        bool isBoard = false;
        long copies = 1;
        // "camera=depth" first sets the depth camera's defaults; the item's
        // other settings then apply on top, in any order.
        if (("," + item + ",").find(",camera=depth,") != std::string::npos) {
            board.depthCamera = true;
            board.productId = 0x03F2;
            board.speed = 3;  // a USB 2 port: transfers filled end to end, sub-frames straddle them
            board.shortTransfers = false;
            board.frameBytes = 86400;
            board.fps = 30;
            board.serial = "LMVXT0F00001";  // printed as LMVX-T0F0-0001
        }
        for (const std::string& pair : split(item, ',')) {
            if (pair.empty()) continue;
            const size_t equals = pair.find('=');
            const std::string key = pair.substr(0, equals);
            const std::string value = equals == std::string::npos ? "" : pair.substr(equals + 1);
            bool ok = true;
            if (key == "list_fail") {
                settings.listFail = true;
            } else if (key == "log") {
                settings.logPath = value;
            } else if (key == "log_size") {
                long n = 0;
                ok = inRange(value, 16, 100000000, n);
                if (ok) settings.logCapacity = size_t(n);
            } else if (key == "count") {
                ok = inRange(value, 1, 16, copies);
                isBoard = true;
            } else if (key == "board") {
                isBoard = true;
            } else if (key == "camera") {
                ok = value == "depth";
                isBoard = true;
            } else {
                ok = applyBoardSetting(board, key, value);
                isBoard = true;
            }
            if (!ok) {
                error = pair;
                return false;
            }
        }
        if (isBoard && !board.replayPath.empty() && !openReplay(board, copies, error)) return false;
        for (long i = 0; isBoard && i < copies; ++i) {
            BoardConfig copy = board;
            if (copies > 1 && !copy.serial.empty()) copy.serial.back() = char('0' + (i % 10));
            settings.boards.push_back(copy);
        }
    }
    return true;
}

}  // namespace LumivexSim
