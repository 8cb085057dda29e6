#include "replay_source.h"

namespace LumivexSim {

namespace {
// A longer (or backward) step between two frames, a damaged time stamp, is
// replayed as one mean frame period; gaps a slow host left stay as they were.
constexpr uint64_t kLongestStep = 600000000;  // 60 s
}

bool ReplaySource::open(std::FILE* opened, const std::string& path, bool loops, std::string& error) {
    name = path;
    loop = loops;
    if (!reader.open(opened, path, error)) return false;
    const std::string connection = header().get("connection");
    if (connection != "CSI" && connection != "USB") {
        error = path + ": the recording names no camera connection (CSI or USB)";
        return false;
    }
    // Every frame must be this camera's, so that nothing is refused mid-replay.
    uint64_t steps = 0, stepTotal = 0, last = 0;
    while (reader.next(frame)) {
        if (frame.subFrameBytes != kSubFrameBytes || frame.subFrames != kSubFrames) {
            error = path + ": frame " + std::to_string(frames) + " has " + std::to_string(frame.subFrames) +
                    " sub-frames of " + std::to_string(frame.subFrameBytes) +
                    " bytes: not the 240 x 180 camera's 4 of 86400";
            return false;
        }
        if (frames == 0) startRange = frame.range == 2 ? 2 : 4;
        has2m |= frame.range == 2;
        has4m |= frame.range == 4;
        if (frames > 0 && frame.timestamp > last && frame.timestamp - last <= kLongestStep) {
            ++steps;
            stepTotal += frame.timestamp - last;
        }
        last = frame.timestamp;
        ++frames;
    }
    if (frames == 0) {
        error = path + ": no whole frame" + (reader.damaged() ? " (" + reader.problem() + ")" : "");
        return false;
    }
    if (steps > 0) period = stepTotal / steps;
    if (reader.damaged())
        std::fprintf(stderr, "lumivex-virtual: %s: %s: the replay ends after frame %llu\n", path.c_str(),
                     reader.problem().c_str(), static_cast<unsigned long long>(frames - 1));
    rewind();
    return true;
}

std::string ReplaySource::platform() const {
    // The host names the SDK writes into a recording's header.
    const std::string host = header().get("platform");
    if (host == "Raspberry Pi 5") return "rpi5";
    if (host == "Raspberry Pi") return "rpi4";
    if (host == "Jetson Xavier") return "xavier";
    if (host == "Jetson Nano") return "nano";
    return "generic";
}

void ReplaySource::rewind() {
    reader.rewind();
    started = wrapped = false;
    timeline = sentThisPass = 0;
}

uint64_t ReplaySource::stepBefore(const LumivexRecording::Frame& next) const {
    if (wrapped) return period;
    const uint64_t step = next.timestamp - previousStamp;
    return next.timestamp > previousStamp && step <= kLongestStep ? step : period;
}

const LumivexRecording::Frame* ReplaySource::take(int range, uint64_t& dueTicks) {
    // A camera set to a range the recording lacks sends nothing (it never
    // sends frames of another range): one line says how to get frames.
    if (!hasRange(range)) {
        bool& warned = range == 2 ? warned2m : warned4m;
        if (!warned) {
            const int held = has2m ? 2 : 4;
            std::fprintf(stderr,
                         "lumivex-virtual: the recording has no frames at the %d m range: the camera sends nothing "
                         "until the range is set to %d m (setControl(RANG, %d))\n",
                         range, held, held);
            warned = true;
        }
        return nullptr;
    }
    warned2m = warned4m = false;  // a later switch to a missing range says so again
    for (;;) {
        if (!reader.next(frame)) {
            if (!loop || sentThisPass == 0) {
                if (!endNoted) std::fprintf(stderr, "lumivex-virtual: the replay of %s has ended\n", name.c_str());
                endNoted = true;
                return nullptr;
            }
            if (!reader.rewind()) return nullptr;
            wrapped = true;
            sentThisPass = 0;
            continue;
        }
        const uint64_t step = stepBefore(frame);
        previousStamp = frame.timestamp;
        wrapped = false;
        // Frames at another range are passed over: they take no time.
        if (frame.range != range && (frame.range == 2 || frame.range == 4)) continue;
        timeline = started ? timeline + step : 0;
        started = true;
        ++sentThisPass;
        dueTicks = timeline;
        return &frame;
    }
}

}  // namespace LumivexSim
