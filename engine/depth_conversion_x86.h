// What the x86-64 vector paths share: the sample decoding and the loops over
// blocks of eight pixels. Each path's file includes this and supplies the
// arithmetic of one block; everything here has internal linkage, so each
// file gets its own copy compiled for its own instruction set.
#pragma once

#include <immintrin.h>

#include "depth_conversion_paths.h"

namespace Lumivex {
namespace paths {
namespace {

// Eight samples of one plane: shift, the low 11 bits as two's complement, x16
// (bit 10 moved to the sign bit, then one arithmetic shift back).
inline __m128i decode8(const uint8_t* plane, uint32_t first, __m128i shift) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + size_t(first) * 2));
    w = _mm_srl_epi16(w, shift);
    return _mm_srai_epi16(_mm_slli_epi16(w, 5), 1);
}

inline bool multiplesOf16(__m128i y, __m128i x) {
    return _mm_testz_si128(_mm_or_si128(y, x), _mm_set1_epi16(15)) != 0;
}

// convertDepth over blocks of eight: block(y, x, q, depth, amplitude) converts
// one block from its differences.
template <typename Block>
void convertDepthBlocks(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p,
                        Block block) {
    const bool shortRange = p.range == 2;
    const __m128i shift = _mm_cvtsi32_si128(p.sampleShift);
    const uint8_t* planes[4] = {rawFrame, rawFrame + kPhasePlaneBytes, rawFrame + 2 * kPhasePlaneBytes,
                                rawFrame + 3 * kPhasePlaneBytes};
    BlockScale scale(p);
    uint32_t i = 0;
    for (; i + 8 <= p.pixelCount; i += 8) {
        const float q = scale.next();
        const __m128i p0 = decode8(planes[0], i, shift);
        const __m128i p1 = decode8(planes[1], i, shift);
        const __m128i p2 = decode8(planes[2], i, shift);
        const __m128i p3 = decode8(planes[3], i, shift);
        const __m128i y = shortRange ? _mm_sub_epi16(p1, p3) : _mm_sub_epi16(p2, p0);
        const __m128i x = shortRange ? _mm_sub_epi16(p2, p0) : _mm_sub_epi16(p3, p1);
        block(y, x, q, depth + i, amplitude + i);
    }
    convertTailScalar(rawFrame, i, p, scale, depth, amplitude);
}

// depthFromDifferences over blocks of eight. A block holding a value that is
// not a multiple of 16 (no difference of decoded samples is) goes to the
// scalar reference, whose arithmetic the vector amplitude relies on.
template <typename Block>
void depthFromDifferencesBlocks(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi,
                                float* depth, float* amplitude, Block block) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i yb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + i));
        const __m128i xb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
        if (multiplesOf16(yb, xb)) {
            block(yb, xb, q, depth + i, amplitude + i);
        } else {
            depthFromDifferences(ConversionPath::Scalar, y + i, x + i, 8, q, twoPi, depth + i, amplitude + i);
        }
    }
    depthFromDifferences(ConversionPath::Scalar, y + i, x + i, count - i, q, twoPi, depth + i, amplitude + i);
}

// The amplitude of eight pixels in single precision: y*y + x*x is exact in
// float for multiples of 16 up to 32,752 (256 times an integer below 2^24),
// and the correctly rounded float square root of it, halved, equals the
// reference's double square root rounded to float (a square root of an
// integer is never within half a double ulp of a float rounding boundary).
inline __m256 amplitude8(__m256i y32, __m256i x32) {
    const __m256 yf = _mm256_cvtepi32_ps(y32);
    const __m256 xf = _mm256_cvtepi32_ps(x32);
    const __m256 sum = _mm256_add_ps(_mm256_mul_ps(yf, yf), _mm256_mul_ps(xf, xf));
    return _mm256_mul_ps(_mm256_sqrt_ps(sum), _mm256_set1_ps(0.5f));
}

// float(phi), plus 2 pi where negative, times q: the reference's float steps.
inline __m256 depth8(__m256 phi, float q, float twoPi) {
    const __m256 negative = _mm256_cmp_ps(phi, _mm256_setzero_ps(), _CMP_LT_OQ);
    phi = _mm256_blendv_ps(phi, _mm256_add_ps(phi, _mm256_set1_ps(twoPi)), negative);
    return _mm256_mul_ps(_mm256_set1_ps(q), phi);
}

}  // namespace
}  // namespace paths
}  // namespace Lumivex
