// A product scenario for a real Linux kernel's V4L2 stack: the CSI back-end
// and the camera session against the kernel's vivid capture driver (set to
// 240 x 180 Y12), run by tools/kernel-test.sh inside a virtual machine.
//
// Usage: vivid_scenario fast|slow
//   fast: open; RAW capture of 60 frames with time stamps increasing; a
//         second camera object on the node in use refused without touching
//         the first one's stream; DEPTH on a node without the range control
//         (vivid has none) hands out nothing; 20 start/stop cycles with a
//         frame in every one; descriptors and mappings back where they
//         started after close.
//   slow: a source far slower than the sensor (its sub-frames never group):
//         no frame is handed out in 4 s of requests, and stop returns
//         within the bound.
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "tof_camera.h"

using namespace Lumivex;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

int videoMappings() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int count = 0;
    while (std::getline(maps, line)) count += line.find("/dev/video") != std::string::npos;
    return count;
}

bool captureFrames(LumivexTOFCamera& camera, FrameType type, int frames, const char* name) {
    uint64_t last = 0;
    for (int i = 0; i < frames; ++i) {
        LumivexFrameBuffer* frame = camera.requestFrame(3000);
        if (frame == nullptr) {
            check(false, std::string(name) + ": frame " + std::to_string(i) + " arrived");
            return false;
        }
        FrameDataFormat format{};
        frame->getFormat(type, format);
        const bool increasing = format.timestamp > last;
        last = format.timestamp;
        camera.releaseFrame(frame);
        if (!increasing) {
            check(false, std::string(name) + ": time stamps increase (frame " + std::to_string(i) + ")");
            return false;
        }
    }
    check(true, std::string(name) + ": " + std::to_string(frames) + " frames, time stamps increasing");
    return true;
}

void fast() {
    const int descriptors = openDescriptors();
    {
        LumivexTOFCamera camera;
        check(camera.open(CSI, 0) == 0, "open /dev/video0");
        check(camera.start(RAW) == 0, "start RAW");
        captureFrames(camera, RAW, 30, "RAW");
        {
            // videobuf2 keeps the queue for the descriptor that allocated it.
            LumivexTOFCamera second;
            check(second.open(CSI, 0) == -1, "a second camera object on the node in use is refused at open");
            check(second.start(RAW) != 0 && !second.isStreaming(), "the refused object cannot start");
        }
        captureFrames(camera, RAW, 30, "RAW after the refused second object");
        check(camera.stop() == 0, "stop after RAW");
        // The range control is the sensor's; without it the range of a depth
        // frame is unknown, and no depth is computed at a guessed range.
        check(camera.start(DEPTH) == 0, "start DEPTH after stop (the driver's buffers were released)");
        LumivexFrameBuffer* guessed = camera.requestFrame(1500);
        check(guessed == nullptr, "no depth frame from a node without the range control");
        if (guessed != nullptr) camera.releaseFrame(guessed);
        check(camera.stop() == 0, "stop after DEPTH");
        int cycles = 0;
        for (int i = 0; i < 20; ++i) {
            if (camera.start(RAW) != 0) break;
            LumivexFrameBuffer* frame = camera.requestFrame(3000);
            if (frame == nullptr) break;
            camera.releaseFrame(frame);
            if (camera.stop() != 0) break;
            ++cycles;
        }
        check(cycles == 20, "20 start/stop cycles with a frame in each (" + std::to_string(cycles) + ")");
        check(camera.close() == 0, "close");
        check(videoMappings() == 0, "no mapping of the video node left after close");
    }
    check(openDescriptors() == descriptors, "descriptors back where they started");
}

void slow() {
    LumivexTOFCamera camera;
    check(camera.open(CSI, 0) == 0, "open /dev/video0 (slow source)");
    check(camera.start(DEPTH) == 0, "start on a slow source");
    // Its sub-frames never group: every capture fails, and none is handed out.
    int handedOut = 0;
    for (int i = 0; i < 4; ++i) {
        if (LumivexFrameBuffer* frame = camera.requestFrame(1000)) {
            ++handedOut;
            camera.releaseFrame(frame);
        }
    }
    check(handedOut == 0, "no frame handed out from sub-frames that never group (" + std::to_string(handedOut) + ")");
    const auto began = std::chrono::steady_clock::now();
    auto stopping = std::async(std::launch::async, [&] { return camera.stop(); });
    const bool returned = stopping.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    check(returned && seconds < 6.0, "stop returns within the bound (" + std::to_string(seconds) + " s)");
    if (returned) camera.close();
    if (!returned) std::_Exit(1);  // the worker is stuck: nothing more to learn
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "fast";
    if (mode == "slow") slow();
    else fast();
    std::printf("%s: %d failure(s)\n", mode.c_str(), failures);
    return failures == 0 ? 0 : 1;
}
