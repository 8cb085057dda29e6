// The vector conversion paths, each in a file compiled for its instruction set.
#pragma once

#include "depth_conversion.h"

namespace Lumivex {
namespace paths {

// Metres per radian block by block: the vector paths read the modulation
// frequency once per block of eight pixels, so a range switch applies from the
// next block and every block is converted with one frequency.
class BlockScale {
public:
    explicit BlockScale(const DepthParameters& p)
        : parameters(p),
          frequency(p.modulationFrequency->load(std::memory_order_relaxed)),
          q(metresPerRadian(p.speedOfLight, p.pi, frequency)) {}

    // Reads the frequency for the next block; recomputes q only when it changed.
    float next() {
        const float now = parameters.modulationFrequency->load(std::memory_order_relaxed);
        if (now != frequency) {
            frequency = now;
            q = metresPerRadian(parameters.speedOfLight, parameters.pi, frequency);
        }
        return q;
    }

private:
    const DepthParameters& parameters;
    float frequency;
    float q;
};

// The pixels from `first` to the end of the frame by the scalar reference: the
// tail shorter than a path's vector step, eight pixels a block.
inline void convertTailScalar(const uint8_t* rawFrame, uint32_t first, const DepthParameters& p, BlockScale& scale,
                              float* depth, float* amplitude) {
    const bool shortRange = p.range == 2;
    float q = 0.0f;
    for (uint32_t i = first; i < p.pixelCount; ++i) {
        if ((i - first) % 8 == 0) q = scale.next();
        int16_t y, x;
        pixelDifferences(rawFrame, i, shortRange, p.sampleShift, y, x);
        depthFromDifferences(ConversionPath::Scalar, &y, &x, 1, q, 2.0f * p.pi, depth + i, amplitude + i);
    }
}

bool avx2Supported();  // compiled in, and the processor has AVX2 and FMA
void convertDepthAvx2(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p);
void convertRawAvx2(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift);
void depthFromDifferencesAvx2(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi, float* depth,
                              float* amplitude);

bool avx512Supported();  // compiled in, and the processor and system have AVX-512F/DQ, AVX2 and FMA
void convertDepthAvx512(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p);
void depthFromDifferencesAvx512(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi, float* depth,
                                float* amplitude);

bool neonSupported();  // compiled in (every aarch64 processor has Advanced SIMD)
void convertDepthNeon(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p);
void convertRawNeon(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift);
void depthFromDifferencesNeon(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi, float* depth,
                              float* amplitude);

}  // namespace paths
}  // namespace Lumivex
