// Conversions of a raw phase frame into decoded phase images (RAW) or depth
// and amplitude maps (DEPTH). Pure functions over the frame; they allocate
// nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frame_types.h"

namespace Lumivex {

// Decodes one sample word: shift, read the low 11 bits as two's complement,
// scale by 16. The result lies in -16,384 ... 16,368.
inline int16_t decodeSample(uint16_t word, uint8_t sampleShift) {
    const uint32_t v = uint32_t(word) >> sampleShift;
    const int32_t s = int32_t((v & 0x7FFu) ^ 0x400u) - 0x400;
    return int16_t(s * 16);
}

// Reads sample `index` of phase plane `plane` (little-endian words).
inline uint16_t rawWord(const uint8_t* rawFrame, uint32_t plane, uint32_t index) {
    const uint8_t* p = rawFrame + size_t(plane) * kPhasePlaneBytes + size_t(index) * 2;
    return uint16_t(p[0] | (p[1] << 8));
}

// RAW: output line r holds the four phase lines of sensor line r side by side,
// phase 0 first (width*4 elements per line).
void convertRaw(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height,
                uint8_t sampleShift);

// The depth formula's inputs. The modulation frequency is read for every
// pixel, so a range switch takes effect within the frame being computed.
struct DepthParameters {
    int32_t range;                                // 2 selects the 75 MHz phase pair
    const std::atomic<float>* modulationFrequency;  // Hz
    float speedOfLight;
    float pi;
    uint8_t sampleShift;
    uint32_t pixelCount;
};

// DEPTH: four-phase arctangent per pixel; depth in metres, amplitude in
// decoded sample units.
void convertDepth(const uint8_t* rawFrame, float* depth, float* amplitude,
                  const DepthParameters& parameters);

}  // namespace Lumivex
