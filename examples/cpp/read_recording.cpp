// Reads a recording (lumivex-record, or a Python Recorder) without a camera:
// each frame's time stamp, range and first samples.
//   g++ -std=c++17 read_recording.cpp -I/usr/include/lumivex -llumivex_recording -lz -o read_recording
#include <cstdio>
#include <string>

#include "recording.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: read_recording FILE\n");
        return 2;
    }
    LumivexRecording::Reader reader;
    std::string error;
    if (!reader.open(argv[1], error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("recorded on %s over %s\n", reader.header().get("platform").c_str(),
                reader.header().get("connection").c_str());
    LumivexRecording::Frame frame;
    unsigned long frames = 0;
    while (reader.next(frame)) {
        // Four sub-frames of 240 x 180 little-endian 16-bit samples, back to back.
        const unsigned first = unsigned(frame.data[0] | frame.data[1] << 8);
        std::printf("frame %lu: time stamp %llu, %d m, first sample %u\n", frames++,
                    static_cast<unsigned long long>(frame.timestamp), int(frame.range), first);
    }
    if (reader.damaged()) std::printf("stopped early: %s\n", reader.problem().c_str());
    return 0;
}
