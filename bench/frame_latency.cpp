// Frame-to-caller latency from C++: how long after its time stamp a frame is
// in the caller's hands. Prints one JSON line (percentiles in milliseconds,
// and the process's CPU time a frame while measuring). Run by
// bench/frame_latency.py under lumivex-virtual; see docs/performance.md.
//
//   lumivex_latency_bench camera csi|usb FRAMES WARMUP
//   lumivex_latency_bench single-frame FRAMES WARMUP   (the USB library's
//       trigger mode, on the first board that supports it)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "frame_buffer.h"
#include "lumivex_usb.h"
#include "tof_camera.h"

namespace {

// Both clocks the frames are stamped on, in 100 ns ticks: the monotonic
// clock (CSI buffers) and the real-time clock counted from 1601 (USB frames,
// the board clock synchronised to it).
uint64_t monotonicTicks() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 10000000u + uint64_t(now.tv_nsec) / 100u;
}

uint64_t fileTimeTicks() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return uint64_t(now.tv_sec) * 10000000u + uint64_t(now.tv_nsec) / 100u + 116444736000000000ull;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int report(std::vector<double> latencies, double cpu, double wall, int lost) {
    if (latencies.empty()) {
        std::printf("{\"error\": \"no frames\"}\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, size_t(q * double(latencies.size())))]; };
    std::printf("{\"frames\": %zu, \"lost\": %d, \"p50\": %.3f, \"p99\": %.3f, \"max\": %.3f, "
                "\"cpu_ms_per_frame\": %.3f, \"cpu_share\": %.4f}\n",
                latencies.size(), lost, at(0.50), at(0.99), latencies.back(), cpu * 1e3 / double(latencies.size()),
                cpu / wall);
    return 0;
}

// Takes warmup + frames frames with `take` (false: none came; else the
// frame's age in ms) and reports the measured ones with the CPU time spent.
int measure(int frames, int warmup, const std::function<bool(double&)>& take) {
    std::vector<double> latencies;
    int lost = 0;
    double cpu0 = 0, wall0 = 0;
    for (int i = 0; i < warmup + frames; ++i) {
        if (i == warmup) {
            cpu0 = cpuSeconds();
            wall0 = wallSeconds();
        }
        double ageMs = 0;
        if (!take(ageMs)) {
            ++lost;
        } else if (i >= warmup) {
            latencies.push_back(ageMs);
        }
    }
    return report(latencies, cpuSeconds() - cpu0, wallSeconds() - wall0, lost);
}

int cameraLatency(Lumivex::Connection connection, int frames, int warmup) {
    Lumivex::LumivexTOFCamera camera;
    if (camera.open(connection, 0) != 0 || camera.start(Lumivex::DEPTH) != 0) {
        std::printf("{\"error\": \"the camera did not open and start\"}\n");
        return 1;
    }
    const int result = measure(frames, warmup, [&](double& ageMs) {
        Lumivex::LumivexFrameBuffer* frame = camera.requestFrame(2000);
        const uint64_t now = connection == Lumivex::CSI ? monotonicTicks() : fileTimeTicks();
        if (frame == nullptr) return false;
        Lumivex::FrameDataFormat format{};
        frame->getFormat(Lumivex::DEPTH, format);
        ageMs = (double(now) - double(format.timestamp)) / 1e4;
        camera.releaseFrame(frame);
        return true;
    });
    camera.stop();
    camera.close();
    return result;
}

int singleFrameLatency(int frames, int warmup) {
    LumivexIndexinfo boards[16] = {};
    const uint32_t found = Lumivex_scan(boards);
    for (uint32_t index = 0; index < found && index < 16; ++index) {
        LumivexHandle handle = nullptr;
        LumivexCfg cfg{};
        cfg.width = 1024;
        cfg.height = 1;
        cfg.bytesPerPixel = 1;
        cfg.bitWidth = 8;
        if (Lumivex_open(&handle, &cfg, index) != 0) continue;
        if (Lumivex_setMode(handle, 1) != 0) {
            Lumivex_close(handle);
            continue;
        }
        const int result = measure(frames, warmup, [&](double& ageMs) {
            LumivexOutData* frame = nullptr;
            const uint32_t taken = Lumivex_getSingleFrame(handle, &frame, 1000);
            const uint64_t now = fileTimeTicks();
            if (taken != 0 || frame == nullptr) return false;
            ageMs = (double(now) - double(frame->timestamp)) / 1e4;
            Lumivex_del(handle);
            return true;
        });
        Lumivex_setMode(handle, 0);
        Lumivex_close(handle);
        return result;
    }
    std::printf("{\"error\": \"no board with single-frame mode\"}\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "camera" && argc == 5) {
        const std::string link = argv[2];
        return cameraLatency(link == "usb" ? Lumivex::USB : Lumivex::CSI, std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (mode == "single-frame" && argc == 4) return singleFrameLatency(std::atoi(argv[2]), std::atoi(argv[3]));
    std::fprintf(stderr, "usage: lumivex_latency_bench camera csi|usb FRAMES WARMUP | single-frame FRAMES WARMUP\n");
    return 2;
}
