// lumivex-record: records a camera's raw phase frames (before any
// conversion) with their time stamps, range and modulation frequency into a
// recording (docs/recording.md), for N frames or T seconds or until Ctrl-C.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "camera_description.h"
#include "frame_types.h"
#include "lens.h"
#include "recording.h"
#include "tof_camera.h"
#include "usb_boards.h"

namespace {

std::atomic<bool> interrupted{false};

void onInterrupt(int) { interrupted.store(true); }

struct Options {
    long frames = -1;
    double seconds = -1;
    std::string output;
    bool usb = false;
    bool force = false;  // replace an existing FILE
    int device = 0;
    Lumivex::FrameType mode = Lumivex::DEPTH;
    int range = 0;  // 0: as the camera is
    std::string lens;  // a lens file stored with the recording
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: lumivex-record (--frames N | --seconds T) --output FILE [--force] [--usb]\n"
                 "                      [--device N] [--mode raw|depth] [--range 2|4] [--lens LENSFILE]\n\n"
                 "Records the camera's raw phase frames, before any conversion, with their time stamps,\n"
                 "range and modulation frequency into FILE (the format: /usr/share/doc/lumivex-tools/\n"
                 "recording.md). --device N is\n"
                 "/dev/videoN, or with --usb the N-th USB camera; --mode is the camera's streaming mode\n"
                 "(both record the same raw frames). Ctrl-C ends the recording cleanly; without --frames\n"
                 "or --seconds it runs until then. An existing FILE is kept unless --force is given.\n"
                 "--lens stores the camera's lens file (lumivex-calibrate) with the recording, for\n"
                 "lumivex-convert --ply.\n");
}

// A whole number in [low, high], or false.
bool wholeNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < low || n > high) return false;
    value = n;
    return true;
}

// Reads the arguments; on a bad one, says which and why (empty: all good).
std::string parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        long n = 0;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--usb") {
            o.usb = true;
        } else if (a == "--force") {
            o.force = true;
        } else if ((a == "--frames" || a == "--seconds" || a == "--output" || a == "--device" || a == "--mode" ||
                    a == "--range" || a == "--lens") && !hasValue) {
            return a + " needs a value";
        } else if (a == "--frames") {
            if (!wholeNumber(argv[++i], 1, 1L << 40, o.frames))
                return std::string("--frames ") + argv[i] + ": not a number of frames (1 or more)";
        } else if (a == "--seconds") {
            char* end = nullptr;
            o.seconds = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(o.seconds > 0) || !(o.seconds < 1e9))
                return std::string("--seconds ") + argv[i] + ": not a duration in seconds (more than 0)";
        } else if (a == "--output") {
            o.output = argv[++i];
        } else if (a == "--lens") {
            o.lens = argv[++i];
        } else if (a == "--device") {
            if (!wholeNumber(argv[++i], 0, 1 << 20, n)) return std::string("--device ") + argv[i] + ": not a camera number (0 or more)";
            o.device = int(n);
        } else if (a == "--mode") {
            const std::string m = argv[++i];
            if (m != "raw" && m != "depth") return "--mode " + m + ": raw or depth";
            o.mode = m == "raw" ? Lumivex::RAW : Lumivex::DEPTH;
        } else if (a == "--range") {
            if (!wholeNumber(argv[++i], 2, 4, n) || n == 3) return std::string("--range ") + argv[i] + ": 2 or 4 (metres)";
            o.range = int(n);
        } else {
            return a + ": no such option";
        }
    }
    if (o.output.empty()) return "--output FILE is needed";
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const std::string bad = parse(argc, argv, o);
    if (!bad.empty()) {
        std::fprintf(stderr, "lumivex-record: %s\n", bad.c_str());
        usage(stderr);
        return 2;
    }
    struct stat existing {};
    if (!o.force && ::stat(o.output.c_str(), &existing) == 0) {
        std::fprintf(stderr, "lumivex-record: %s exists: give another --output, or --force to replace it\n",
                     o.output.c_str());
        return 1;
    }
    std::string lensJson;
    if (!o.lens.empty()) {
        Lumivex::Lens lens;
        std::string error;
        if (!Lumivex::loadLens(o.lens, lens, error)) {
            std::fprintf(stderr, "lumivex-record: %s\n", error.c_str());
            return 1;
        }
        lensJson = Lumivex::lensToJson(lens);
    }
    LumivexRecording::Header header;
    if (o.usb) {
        // Read before the camera claims the board.
        std::string listError;
        for (const LumivexTools::UsbBoard& board : LumivexTools::usbBoards(listError)) {
            if (board.index != o.device) continue;
            if (!board.serial.empty()) header.set("serial", board.serial);
            if (!board.firmware.empty()) header.set("firmware", board.firmware);
        }
    }
    Lumivex::LumivexTOFCamera camera;
    if (camera.open(o.usb ? Lumivex::USB : Lumivex::CSI, o.device) != 0) {  // the camera has warned why
        std::fprintf(stderr, "lumivex-record: cannot open the camera (lumivex-ls lists the cameras; without one, "
                             "run under lumivex-virtual)\n");
        return 1;
    }
    for (const auto& field : Lumivex::describeCamera(camera, o.device, o.mode)) header.set(field.first, field.second);

    LumivexRecording::Writer writer;
    std::string error;
    if (!writer.open(o.output, header, error) || (!lensJson.empty() && !writer.writeLens(lensJson))) {
        std::fprintf(stderr, "lumivex-record: %s\n", error.empty() ? writer.error().c_str() : error.c_str());
        camera.close();
        return 1;
    }
    std::mutex writing;
    std::atomic<long> written{0}, failed{0};
    std::atomic<bool> enough{false};
    camera.setCaptureTap([&](const uint8_t* raw, uint64_t timestamp, int32_t range, float frequency) {
        std::lock_guard<std::mutex> lock(writing);
        if (enough.load()) return;
        if (writer.append(timestamp, range, frequency, raw, Lumivex::kPhasePlaneBytes, Lumivex::kPhaseCount)) {
            if (++written == o.frames) enough.store(true);
        } else {
            ++failed;
        }
    });
    if (o.range != 0) camera.setControl(Lumivex::RANG, o.range);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (camera.start(o.mode) != 0) {
        std::fprintf(stderr, "lumivex-record: the camera does not stream\n");
        camera.close();
        return 1;
    }
    const auto began = std::chrono::steady_clock::now();
    auto lastReport = began;
    for (;;) {
        if (interrupted.load() || enough.load() || failed.load() > 0) break;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (o.seconds > 0 && elapsed >= o.seconds) break;
        // The frames are recorded as they are captured; these only keep the pool cycling.
        if (Lumivex::LumivexFrameBuffer* frame = camera.requestFrame(100)) camera.releaseFrame(frame);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport >= std::chrono::milliseconds(500)) {
            lastReport = now;
            std::fprintf(stderr, "\rframes %ld, %.1f a second, drops %ld, %.1f MB   ", written.load(),
                         elapsed > 0 ? double(written.load()) / elapsed : 0.0, failed.load(),
                         double(writer.bytesWritten()) / 1e6);
        }
    }
    camera.stop();
    camera.close();
    {
        std::lock_guard<std::mutex> lock(writing);
        enough.store(true);
    }
    const bool closed = writer.close();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::fprintf(stderr, "\r%*s\r", 60, "");
    std::printf("wrote %ld frames (%.1f s, %.1f MB) to %s%s\n", written.load(), elapsed,
                double(writer.bytesWritten()) / 1e6, o.output.c_str(), interrupted.load() ? " (interrupted)" : "");
    if (failed.load() > 0 || !closed) {
        std::fprintf(stderr, "lumivex-record: writing failed: %s\n", writer.error().c_str());
        return 1;
    }
    return written.load() > 0 ? 0 : 1;
}
