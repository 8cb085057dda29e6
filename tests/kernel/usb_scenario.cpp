// The USB camera library on a real USB stack: Debian's libusb and a Linux
// kernel's host and gadget sides (dummy_hcd), against our board model behind
// FunctionFS (lumivex-ffs-board). Run by tools/usb-kernel-test.sh inside a
// virtual machine, with two gadgets bound:
//   the pattern board 04B4:00F1 (65,536-byte frames of a byte pattern, 100 a
//   second, device time stamps) and the depth camera 04B4:03F2.
//
// Usage: usb_scenario GADGET_DIR UDC BOARD_PID_FILE
//   GADGET_DIR: the pattern board's gadget in configfs (its UDC file unbinds
//   and rebinds it: an unplug); UDC: its controller; BOARD_PID_FILE: the
//   pattern board program's pid (SIGUSR1 halts its bulk IN endpoint).
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "usb_camera_session.h"
#include "usb_clock.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr uint16_t kPatternProduct = 0x00F1;
constexpr uint16_t kDepthProduct = 0x03F2;
constexpr uint32_t kPatternBytes = 65536;
constexpr uint32_t kSubFrameBytes = 86400;

int failures = 0;

bool check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
    return ok;
}

// The library object, with the product id in view.
class Camera : public HxUsbCameraLib {
public:
    uint32_t product() const { return session->productId; }
};

LumivexCfg configFor(uint16_t product) {
    LumivexCfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.bytesPerPixel = product == kDepthProduct ? 2 : 1;
    cfg.width = product == kDepthProduct ? 240 : 256;
    cfg.height = product == kDepthProduct ? 180 : 256;
    cfg.bitWidth = 12;
    cfg.i2cAddress = 0x34;
    cfg.i2cMode = 2;
    cfg.format = product == kDepthProduct ? 4 : 0;
    return cfg;
}

// The open index of the board with this product id (boards enumerate in no
// fixed order), or -1.
int indexOf(uint16_t product) {
    for (unsigned index = 0; index < 4; ++index) {
        Camera camera;
        LumivexCfg cfg = configFor(product);
        if (camera.open(&cfg, index) != 0) continue;
        const bool found = camera.product() == product;
        camera.close();
        if (found) return int(index);
    }
    return -1;
}

bool openBoard(Camera& camera, uint16_t product) {
    const int index = indexOf(product);
    LumivexCfg cfg = configFor(product);
    return index >= 0 && camera.open(&cfg, unsigned(index)) == 0;
}

// The pattern board's frame n: byte k is k + 3n.
bool intact(const LumivexOutData* frame) {
    if (frame->config.frameLength != kPatternBytes) return false;
    const uint8_t n = frame->data[0];
    for (uint32_t k = 0; k < kPatternBytes; ++k) {
        if (frame->data[k] != uint8_t(k + n)) return false;
    }
    return true;
}

struct Tally {
    int frames = 0, broken = 0, backwards = 0, lengthErrors = 0, gaps = 0;
    uint64_t lastStamp = 0;
};

// Captures until `wanted` frames were read or `limit` passed; checks every
// frame with `good` and that device time never goes backwards.
Tally readFrames(Camera& camera, int wanted, std::chrono::milliseconds limit,
                 const std::function<bool(const LumivexOutData*)>& good, std::chrono::milliseconds perFrame = {}) {
    Tally t;
    const auto end = Clock::now() + limit;
    while (t.frames < wanted && Clock::now() < end) {
        const uint32_t result = camera.capture();
        if (result == USB_CAMERA_DATA_LEN_ERROR) ++t.lengthErrors;
        if (result == USB_CAMERA_SEQUENCE_GAP) ++t.gaps;
        if (result == USB_CAMERA_TRANSFER_STOPPED) break;
        LumivexOutData* frame = nullptr;
        while (t.frames < wanted && camera.read(frame) == 0) {
            if (!good(frame)) ++t.broken;
            if (frame->timestamp <= t.lastStamp) ++t.backwards;
            t.lastStamp = frame->timestamp;
            std::this_thread::sleep_for(perFrame);
            camera.del();
            ++t.frames;
        }
    }
    return t;
}

std::string describe(const Tally& t) {
    return std::to_string(t.frames) + " frames, " + std::to_string(t.broken) + " broken, " +
           std::to_string(t.backwards) + " backwards, " + std::to_string(t.lengthErrors) + " length errors, " +
           std::to_string(t.gaps) + " gaps";
}

bool clean(const Tally& t, int wanted) {
    return t.frames == wanted && t.broken == 0 && t.backwards == 0 && t.lengthErrors == 0;
}

void registersAndUserData() {
    Camera camera;
    if (!check(openBoard(camera, kPatternProduct), "the pattern board opens")) return;
    struct Width {
        const char* name;
        uint32_t (HxUsbCameraLib::*write)(uint32_t, uint32_t, uint32_t);
        uint32_t (HxUsbCameraLib::*read)(uint32_t, uint32_t, uint32_t*);
        uint32_t reg, value;
    };
    const Width widths[] = {
        {"8_8", &HxUsbCameraLib::writeReg_8_8, &HxUsbCameraLib::readReg_8_8, 0x12, 0x5A},
        {"8_16", &HxUsbCameraLib::writeReg_8_16, &HxUsbCameraLib::readReg_8_16, 0x13, 0xBEEF},
        {"16_8", &HxUsbCameraLib::writeReg_16_8, &HxUsbCameraLib::readReg_16_8, 0x2100, 0xA5},
        {"16_16", &HxUsbCameraLib::writeReg_16_16, &HxUsbCameraLib::readReg_16_16, 0x2102, 0x1234},
        {"16_32", &HxUsbCameraLib::writeReg_16_32, &HxUsbCameraLib::readReg_16_32, 0x2104, 0xDEADBEEF},
    };
    for (const Width& w : widths) {
        uint32_t value = 0;
        const uint32_t written = (camera.*w.write)(0x34, w.reg, w.value);
        const uint32_t read = (camera.*w.read)(0x34, w.reg, &value);
        check(written == 0 && read == 0 && value == w.value, std::string("register round trip ") + w.name);
    }
    uint8_t out[16], in[16] = {};
    for (int i = 0; i < 16; ++i) out[i] = uint8_t(0xA0 + i);
    check(camera.writeUserData(32, 16, out) == 0 && camera.readUserData(32, 16, in) == 0 &&
              std::memcmp(in, out, 16) == 0,
          "user data round trip");
    camera.close();
}

void framesByteForByte() {
    Camera camera;
    if (!openBoard(camera, kPatternProduct) || camera.beginCapture() != 0) {
        check(false, "200 frames: capture starts");
        return;
    }
    const Tally t = readFrames(camera, 200, std::chrono::seconds(60), intact);
    check(clean(t, 200) && t.gaps == 0, "200 frames byte for byte, in order (" + describe(t) + ")");
    camera.endCapture();
    camera.close();
}

void sessionCycles() {
    int good = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        Camera camera;
        if (!openBoard(camera, kPatternProduct) || camera.beginCapture() != 0) continue;
        const Tally t = readFrames(camera, 2, std::chrono::seconds(10), intact);
        good += t.frames == 2 && t.broken == 0 && t.lengthErrors == 0 && t.gaps == 0;
        camera.endCapture();
        camera.close();
    }
    check(good == 20, "20 open/start/frame/stop/close cycles, each starting clean (" + std::to_string(good) + " of 20)");
}

void slowConsumer() {
    Camera camera;
    if (!openBoard(camera, kPatternProduct) || camera.beginCapture() != 0) {
        check(false, "slow consumer: capture starts");
        return;
    }
    // A register reader on another thread: completions run inside its
    // control transfers too.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint32_t value = 0;
        while (!done.load()) camera.readReg_8_8(0x34, 0x12, &value);
    });
    const Tally t = readFrames(camera, 30, std::chrono::seconds(60), intact, std::chrono::milliseconds(100));
    done.store(true);
    reader.join();
    check(clean(t, 30), "a consumer taking 100 ms a frame gets whole frames in order (" + describe(t) + ")");
    camera.endCapture();
    camera.close();
}

void twoBoards() {
    Tally tallies[2];
    // Which index is which board is learnt first, by opening each in turn: a
    // board is one object's while it is open, so two threads probing at once
    // would find each other's board in use.
    const int indexes[2] = {indexOf(kPatternProduct), indexOf(kDepthProduct)};
    auto run = [&](uint16_t product, Tally* tally) {
        Camera camera;
        LumivexCfg cfg = configFor(product);
        const int index = indexes[product == kPatternProduct ? 0 : 1];
        if (index < 0 || camera.open(&cfg, unsigned(index)) != 0 || camera.beginCapture() != 0) return;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            uint32_t value = 0;
            while (!done.load()) camera.readReg_8_8(0x34, 0x12, &value);
        });
        auto good = [product](const LumivexOutData* f) {
            return product == kPatternProduct ? intact(f) : f->config.frameLength == kSubFrameBytes;
        };
        *tally = readFrames(camera, 60, std::chrono::seconds(60), good);
        done.store(true);
        reader.join();
        camera.endCapture();
        camera.close();
    };
    std::thread a(run, kPatternProduct, &tallies[0]);
    std::thread b(run, kDepthProduct, &tallies[1]);
    a.join();
    b.join();
    check(clean(tallies[0], 60), "two boards on two threads: the pattern board's own frames (" + describe(tallies[0]) + ")");
    check(clean(tallies[1], 60), "two boards on two threads: the depth camera's own sub-frames (" + describe(tallies[1]) + ")");
}

// How long after its device time stamp each of the depth camera's four
// sub-frames reaches the caller, by position in its frame: a figure, not a
// pass or fail (the transfers end at frame ends; what is left is the time
// the link takes to carry a sub-frame).
void subFrameLatency() {
    Camera camera;
    LumivexCfg cfg = configFor(kDepthProduct);
    const int index = indexOf(kDepthProduct);
    if (index < 0 || camera.open(&cfg, unsigned(index)) != 0 || camera.beginCapture() != 0) return;
    std::vector<double> byPosition[4];
    uint64_t previous = 0;
    int position = 0;
    for (int taken = 0; taken < 160;) {
        const uint32_t result = camera.capture();
        if (result == USB_CAMERA_TRANSFER_STOPPED) break;
        LumivexOutData* frame = nullptr;
        while (camera.read(frame) == 0) {
            const double ms = (double(LumivexUsb::hostFileTime()) - double(frame->timestamp)) / 1e4;
            position = frame->timestamp - previous > 50000 ? 0 : std::min(position + 1, 3);  // 5 ms apart: a new frame
            previous = frame->timestamp;
            if (taken++ >= 40) byPosition[position].push_back(ms);
            camera.del();
        }
    }
    camera.endCapture();
    camera.close();
    std::string line = "LATENCY: depth camera sub-frames 1 to 4 of each frame, p50 after their time stamps:";
    for (auto& values : byPosition) {
        if (values.empty()) return;
        std::sort(values.begin(), values.end());
        char text[32];
        std::snprintf(text, sizeof text, " %.2f ms", values[values.size() / 2]);
        line += text;
    }
    std::printf("%s\n", line.c_str());
}

// The board streams before the capture begins (a set-up that starts it, or a
// program that ended without stopping it): none of its backlog, in the
// transfers when the capture reset cuts it, comes out as a frame of the new
// capture (the board stamps its frames: none is older than the start).
void streamingBeforeStart() {
    int good = 0;
    std::string failed;
    constexpr int kSessions = 6;
    for (int session = 0; session < kSessions; ++session) {
        Camera camera;
        if (!openBoard(camera, kPatternProduct) || camera.writeReg_8_8(0x46, 3, 0x00) != 0) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 15 * session));
        const uint64_t started = LumivexUsb::hostFileTime();
        if (camera.beginCapture() == 0) {
            const Tally t = readFrames(camera, 10, std::chrono::seconds(10), [started](const LumivexOutData* f) {
                return intact(f) && f->timestamp >= started;
            });
            if (clean(t, 10)) {
                ++good;
            } else if (failed.empty()) {
                failed = "; session " + std::to_string(session) + ": " + describe(t);
            }
        }
        camera.endCapture();
        camera.close();
    }
    check(good == kSessions, "a board streaming before the start: no frame from before it (" + std::to_string(good) +
                                 " of " + std::to_string(kSessions) + " sessions clean" + failed + ")");
}

// Captures until the capture ends (0 or 0xFF20); how long that took.
std::chrono::milliseconds untilStopped(Camera& camera, std::chrono::seconds limit) {
    const auto start = Clock::now();
    while (Clock::now() - start < limit) {
        const uint32_t result = camera.capture();
        camera.flush();
        if (result == 0 || result == USB_CAMERA_TRANSFER_STOPPED) break;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

void haltMidStream(const char* pidFile) {
    long pid = 0;
    std::ifstream(pidFile) >> pid;
    Camera camera;
    if (!openBoard(camera, kPatternProduct) || camera.beginCapture() != 0 || pid <= 0) {
        check(false, "halt: capture starts");
        return;
    }
    readFrames(camera, 5, std::chrono::seconds(10), intact);
    kill(pid_t(pid), SIGUSR1);
    const auto took = untilStopped(camera, std::chrono::seconds(20));
    check(took < std::chrono::seconds(7), "a halt mid-stream ends the capture (" + std::to_string(took.count()) + " ms)");
    camera.endCapture();
    check(camera.beginCapture() == 0, "the next session begins after a halt");
    const Tally t = readFrames(camera, 10, std::chrono::seconds(10), intact);
    check(clean(t, 10), "the next session streams again (" + describe(t) + ")");
    camera.endCapture();
    camera.close();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text << "\n";
    return bool(file.flush());
}

// One unplug mid-stream and re-plug; false with the failed step named.
bool unplugOnce(const std::string& gadget, const std::string& udc, std::string& failed) {
    auto camera = std::make_unique<Camera>();
    if (!openBoard(*camera, kPatternProduct) || camera->beginCapture() != 0) {
        failed = "capture starts";
        return false;
    }
    readFrames(*camera, 5, std::chrono::seconds(10), intact);
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        writeFile(gadget + "/UDC", "");
    });
    const auto took = untilStopped(*camera, std::chrono::seconds(20));
    unplug.join();
    if (took >= std::chrono::seconds(7)) {
        failed = "the capture ends (" + std::to_string(took.count()) + " ms)";
        return false;
    }
    auto closing = std::async(std::launch::async, [&] {
        camera->endCapture();
        return camera->close();
    });
    if (closing.wait_for(std::chrono::seconds(15)) != std::future_status::ready) failed = "close returns";
    closing.wait();
    camera.reset();
    if (!failed.empty()) return false;
    if (!writeFile(gadget + "/UDC", udc)) {
        failed = "the board is plugged in again";
        return false;
    }
    Camera again;
    bool opened = false;
    for (int i = 0; i < 50 && !opened; ++i) {
        opened = openBoard(again, kPatternProduct);
        if (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!opened || again.beginCapture() != 0) {
        failed = "a new session opens";
        return false;
    }
    const Tally t = readFrames(again, 10, std::chrono::seconds(10), intact);
    again.endCapture();
    again.close();
    if (!clean(t, 10)) failed = "the new session streams (" + describe(t) + ")";
    return failed.empty();
}

// Unplugs mid-stream: the capture ends, close returns, and after the re-plug
// a new session streams cleanly, however the cut fell.
void unplugMidStream(const std::string& gadget, const std::string& udc) {
    constexpr int kCycles = 8;
    int good = 0;
    std::string failed;
    for (int cycle = 0; cycle < kCycles && failed.empty(); ++cycle) {
        if (unplugOnce(gadget, udc, failed)) ++good;
    }
    check(good == kCycles, std::to_string(kCycles) + " unplugs mid-stream: each capture ends, close returns, the new "
                                                     "session after the re-plug streams cleanly (" +
                               std::to_string(good) + " of " + std::to_string(kCycles) +
                               (failed.empty() ? "" : "; failed: " + failed) + ")");
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: usb_scenario GADGET_DIR UDC BOARD_PID_FILE\n");
        return 2;
    }
    check(indexOf(kPatternProduct) >= 0 && indexOf(kDepthProduct) >= 0, "both boards enumerate");
    registersAndUserData();
    framesByteForByte();
    sessionCycles();
    slowConsumer();
    twoBoards();
    subFrameLatency();
    streamingBeforeStart();
    haltMidStream(argv[3]);
    unplugMidStream(argv[1], argv[2]);
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
