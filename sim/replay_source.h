// A recording played back as a camera: its frames one after another, those
// of the range in force, each with the time it is due after the stream's
// start on the recording's own time line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "recording.h"

namespace LumivexSim {

class ReplaySource {
public:
    static constexpr uint32_t kSubFrameBytes = 86400;  // one 240 x 180 phase image
    static constexpr uint32_t kSubFrames = 4;
    // As fast as the reader takes them, frames still start this far apart, so
    // that the capture tells one frame's four sub-frames from the next's (it
    // starts a new group after a 4 ms gap on USB, 5 ms on CSI).
    static constexpr int64_t kFastFrameMicros = 8000;

    // Reads the recording `opened` (owned from here on) through once: its
    // header, and that every frame is this camera's. False with `error`.
    bool open(std::FILE* opened, const std::string& path, bool loop, std::string& error);

    const LumivexRecording::Header& header() const { return reader.header(); }
    bool fromUsb() const { return header().get("connection") == "USB"; }
    // The virtual kernel's name of the host the recording was made on.
    std::string platform() const;
    int firstRange() const { return startRange; }
    // The recording has frames at this range (2 or 4 m).
    bool has(int range) const { return hasRange(range); }
    uint64_t meanPeriodTicks() const { return period; }

    // A stream starts: the recording's first frame comes next, due at once.
    void rewind();
    // The next frame to send while `range` is in force (frames of another
    // range are passed over), or null: once the recording has ended, and
    // while it has no frames of `range` (one warning line says so; the
    // camera then sends nothing, as a real one never sends frames of another
    // range). `dueTicks`: 100 ns ticks after the stream's start.
    const LumivexRecording::Frame* take(int range, uint64_t& dueTicks);

private:
    bool hasRange(int range) const { return range == 2 ? has2m : range == 4 ? has4m : false; }
    uint64_t stepBefore(const LumivexRecording::Frame& frame) const;

    LumivexRecording::Reader reader;
    LumivexRecording::Frame frame;
    std::string name;
    bool loop = false;
    bool has2m = false, has4m = false;
    bool warned2m = false, warned4m = false, endNoted = false;
    int startRange = 4;
    uint64_t frames = 0;
    uint64_t period = 333333;  // the recording's mean frame period
    // Where the replay is.
    bool started = false;      // a frame has been sent since the stream started
    bool wrapped = false;      // the recording started over (looping)
    uint64_t previousStamp = 0;
    uint64_t timeline = 0;     // due time of the last frame sent
    uint64_t sentThisPass = 0;
};

}  // namespace LumivexSim
