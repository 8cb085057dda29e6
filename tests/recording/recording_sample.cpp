// Writes a small recording for the Python reader's test: FRAMES frames, frame
// n holding sub-frame sample k = (k * 7 + n * 13) & 0xFFF, time stamp 1000 + n,
// range 4 or 2 by turns.  Usage: recording_sample PATH FRAMES
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    LumivexRecording::Header header;
    header.set("connection", "CSI");
    header.set("node", "/dev/video0");
    LumivexRecording::Writer writer;
    std::string error;
    if (!writer.open(argv[1], header, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const int frames = std::atoi(argv[2]);
    std::vector<uint8_t> data(4 * 86400);
    for (int n = 0; n < frames; ++n) {
        for (size_t k = 0; k < data.size() / 2; ++k) {
            const uint16_t sample = uint16_t((k * 7 + size_t(n) * 13) & 0xFFF);
            data[2 * k] = uint8_t(sample);
            data[2 * k + 1] = uint8_t(sample >> 8);
        }
        if (!writer.append(1000 + uint64_t(n), n % 2 ? 2 : 4, n % 2 ? 75e6f : 37.5e6f, data.data(), 86400, 4)) return 1;
    }
    return writer.close() ? 0 : 1;
}
