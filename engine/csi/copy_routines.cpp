#include "copy_routines.h"

#include <algorithm>
#include <cstring>

#include "frame_types.h"

namespace Lumivex {

namespace {
// Bytes this sub-frame may still append: one sub-frame, and what is left.
size_t subFrameLimit(size_t writePosition, size_t capacity) {
    return writePosition >= capacity ? 0 : std::min<size_t>(kPhasePlaneBytes, capacity - writePosition);
}

void append(const uint8_t* from, size_t count, uint8_t* destination, size_t& writePosition) {
    std::memcpy(destination + writePosition, from, count);
    writePosition += count;
}
}  // namespace

void copyStrided(const uint8_t* source, size_t length, uint8_t* destination,
                 size_t& writePosition, size_t capacity) {
    size_t room = subFrameLimit(writePosition, capacity);
    for (size_t s = 0; s < length && room > 0; s += 512) {
        const size_t count = std::min({size_t(480), length - s, room});
        append(source + s, count, destination, writePosition);
        room -= count;
    }
}

void copyLinePairs(const uint8_t* source, size_t length, uint8_t* destination,
                   size_t& writePosition, size_t capacity) {
    size_t room = subFrameLimit(writePosition, capacity);
    // Only whole blocks are copied: every block reads up to byte 928.
    for (size_t s = 0; s + 928 <= length && room >= 960; s += 960) {
        append(source + s, 448, destination, writePosition);
        append(source + s + 896, 32, destination, writePosition);
        append(source + s + 448, 480, destination, writePosition);
        room -= 960;
    }
}

void unpackY12P(const uint8_t* source, size_t length, uint8_t* destination,
                size_t& writePosition, size_t capacity) {
    if (length == 8 || length < 3) return;
    size_t room = subFrameLimit(writePosition, capacity);
    size_t p = 0;
    while (room >= 4) {
        const uint8_t b0 = source[p], b1 = source[p + 1], b2 = source[p + 2];
        const uint16_t first = uint16_t((b0 << 4) | (b2 & 0x0F));
        const uint16_t second = uint16_t((b1 << 4) | (b2 >> 4));
        uint8_t* out = destination + writePosition;
        out[0] = uint8_t(first);
        out[1] = uint8_t(first >> 8);
        out[2] = uint8_t(second);
        out[3] = uint8_t(second >> 8);
        writePosition += 4;
        room -= 4;
        if (p + 3 + 8 >= length) break;  // p + 3 >= length - 8, without unsigned wrap
        const bool lineEnds = p + 3 > 100 && (writePosition / 2) % kSensorWidth == 0;
        p += lineEnds ? 11 : 3;
        if (p + 3 > length) break;  // the next pixel pair would not be whole
    }
}

void copyWhole(const uint8_t* source, size_t length, uint8_t* destination,
               size_t& writePosition, size_t capacity) {
    append(source, std::min(length, subFrameLimit(writePosition, capacity)), destination,
           writePosition);
}

}  // namespace Lumivex
