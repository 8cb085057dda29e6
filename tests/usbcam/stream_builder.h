// Builds bulk stream bytes the way a board sends them, for feeding decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace LumivexTest {

// Image bytes i -> (i * 7 + seed) & 0xFF.
inline std::vector<uint8_t> patternImage(size_t bytes, uint8_t seed) {
    std::vector<uint8_t> image(bytes);
    for (size_t i = 0; i < bytes; ++i) image[i] = uint8_t(i * 7 + seed);
    return image;
}

// One marker-stream frame: data packets (the last padded), then the marker.
inline std::vector<uint8_t> markerFrame(const std::vector<uint8_t>& image, uint16_t sequence, bool special = false,
                                        uint64_t deviceTime = 0, int tailOverride = -1) {
    std::vector<uint8_t> out(image);
    const size_t tail = image.size() % 512;
    if (tail != 0) out.resize(out.size() + 512 - tail, 0xEE);
    uint8_t marker[512] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAA};
    marker[11] = special ? 1 : 0;
    marker[14] = uint8_t(sequence >> 8);
    marker[15] = uint8_t(sequence);
    for (int i = 0; i < 8; ++i) marker[16 + i] = uint8_t(deviceTime >> (8 * i));
    const size_t shownTail = tailOverride >= 0 ? size_t(tailOverride) : tail;
    marker[510] = uint8_t(shownTail >> 8);
    marker[511] = uint8_t(shownTail);
    out.insert(out.end(), marker, marker + 512);
    return out;
}

// One chunk-stream frame: 16384-byte chunks with a 16-byte header.
inline std::vector<uint8_t> chunkFrame(const std::vector<uint8_t>& image, uint8_t frameId, bool endMarked = true) {
    std::vector<uint8_t> out;
    size_t at = 0;
    do {
        const size_t payload = image.size() - at < 16368 ? image.size() - at : 16368;
        const bool last = at + payload == image.size();
        uint8_t header[16] = {12, uint8_t(frameId | (last && endMarked ? 2 : 0))};
        out.insert(out.end(), header, header + 16);
        out.insert(out.end(), image.begin() + long(at), image.begin() + long(at + payload));
        at += payload;
    } while (at < image.size());
    return out;
}

}  // namespace LumivexTest
