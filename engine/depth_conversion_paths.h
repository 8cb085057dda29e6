// The vector conversion paths, each in a file compiled for its instruction set.
#pragma once

#include "depth_conversion.h"

namespace Lumivex {
namespace paths {

bool avx2Supported();  // compiled in, and the processor has AVX2 and FMA
void convertDepthAvx2(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p);
void convertRawAvx2(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift);
void depthFromDifferencesAvx2(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi, float* depth,
                              float* amplitude);

bool avx512Supported();  // compiled in, and the processor and system have AVX-512F, AVX2 and FMA
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
