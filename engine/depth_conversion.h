// Conversions of a raw phase frame into decoded phase images (RAW) or depth
// and amplitude maps (DEPTH). Pure functions over the frame; they allocate
// nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

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

// The phase differences of pixel `index`: (p1 - p3, p2 - p0) in the 2 m
// range, (p2 - p0, p3 - p1) otherwise.
inline void pixelDifferences(const uint8_t* rawFrame, uint32_t index, bool shortRange, uint8_t sampleShift,
                             int16_t& y, int16_t& x) {
    const int16_t p0 = decodeSample(rawWord(rawFrame, 0, index), sampleShift);
    const int16_t p1 = decodeSample(rawWord(rawFrame, 1, index), sampleShift);
    const int16_t p2 = decodeSample(rawWord(rawFrame, 2, index), sampleShift);
    const int16_t p3 = decodeSample(rawWord(rawFrame, 3, index), sampleShift);
    y = shortRange ? int16_t(p1 - p3) : int16_t(p2 - p0);
    x = shortRange ? int16_t(p2 - p0) : int16_t(p3 - p1);
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

// The ways of computing the conversions: the scalar reference, and the vector
// paths of x86-64 (AVX2, AVX-512) and aarch64 (Advanced SIMD). Every path
// gives the reference's bits exactly; convertDepth and convertRaw use the
// fastest path this build has and this processor supports, chosen once at run
// time. (The AVX-512 path converts RAW frames as the AVX2 path does.)
enum class ConversionPath { Scalar, Avx2, Avx512, Neon };
const char* pathName(ConversionPath path);
std::vector<ConversionPath> supportedPaths();  // the scalar path first
ConversionPath selectedPath();

// The conversions on a given path (it must be supported). A vector path reads
// the modulation frequency once per block of eight pixels, so a range switch
// still takes effect within the frame: each block is converted with one of
// the two frequencies.
void convertDepthWith(ConversionPath path, const uint8_t* rawFrame, float* depth, float* amplitude,
                      const DepthParameters& parameters);
void convertRawWith(ConversionPath path, const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height,
                    uint8_t sampleShift);
// The per-pixel arithmetic alone, from the phase differences y and x, with
// metres per radian `q`: what the exhaustive identity test runs. Phase
// differences are multiples of 16; the vector paths hand any other value to
// the scalar reference, so every path still gives its bits.
void depthFromDifferences(ConversionPath path, const int16_t* y, const int16_t* x, size_t count, float q,
                          float twoPi, float* depth, float* amplitude);
// Metres per radian, in single precision and in the documented order.
float metresPerRadian(float speedOfLight, float pi, float modulationFrequency);

}  // namespace Lumivex
