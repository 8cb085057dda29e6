// The AVX2 path (x86-64 with AVX2 and FMA): blocks of eight pixels, the
// double arctangent from SLEEF (3.5-ULP variant, four lanes a call), the
// amplitude in single precision (depth_conversion_x86.h says why that gives
// the reference's bits). Compiled with -mavx2 -mfma -ffp-contract=off; used
// only when the processor has both.
#include <sleef.h>

#include "depth_conversion_x86.h"

namespace Lumivex {
namespace paths {

namespace {

// Depth and amplitude of eight pixels from their differences (multiples of 16).
inline void block8(__m128i y, __m128i x, float q, float twoPi, float* depth, float* amplitude) {
    const __m256i y32 = _mm256_cvtepi16_epi32(y);
    const __m256i x32 = _mm256_cvtepi16_epi32(x);
    const __m128 phiLow = _mm256_cvtpd_ps(
        Sleef_atan2d4_u35avx2(_mm256_cvtepi32_pd(_mm256_castsi256_si128(y32)),
                              _mm256_cvtepi32_pd(_mm256_castsi256_si128(x32))));
    const __m128 phiHigh = _mm256_cvtpd_ps(
        Sleef_atan2d4_u35avx2(_mm256_cvtepi32_pd(_mm256_extracti128_si256(y32, 1)),
                              _mm256_cvtepi32_pd(_mm256_extracti128_si256(x32, 1))));
    _mm256_storeu_ps(depth, depth8(_mm256_set_m128(phiHigh, phiLow), q, twoPi));
    _mm256_storeu_ps(amplitude, amplitude8(y32, x32));
}

}  // namespace

bool avx2Supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

void convertDepthAvx2(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p) {
    const float twoPi = 2.0f * p.pi;
    convertDepthBlocks(rawFrame, depth, amplitude, p, [twoPi](__m128i y, __m128i x, float q, float* d, float* a) {
        block8(y, x, q, twoPi, d, a);
    });
}

void depthFromDifferencesAvx2(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi,
                              float* depth, float* amplitude) {
    depthFromDifferencesBlocks(y, x, count, q, twoPi, depth, amplitude,
                               [twoPi](__m128i yb, __m128i xb, float qb, float* d, float* a) {
                                   block8(yb, xb, qb, twoPi, d, a);
                               });
}

void convertRawAvx2(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift) {
    const __m128i shift = _mm_cvtsi32_si128(sampleShift);
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t k = 0; k < kPhaseCount; ++k) {
            const uint8_t* plane = rawFrame + size_t(k) * kPhasePlaneBytes + size_t(r) * width * 2;
            int16_t* line = out + (size_t(kPhaseCount) * r + k) * width;
            uint32_t j = 0;
            for (; j + 16 <= width; j += 16) {
                __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane + size_t(j) * 2));
                w = _mm256_srl_epi16(w, shift);  // then as decode8
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + j),
                                    _mm256_srai_epi16(_mm256_slli_epi16(w, 5), 1));
            }
            for (; j < width; ++j) line[j] = decodeSample(rawWord(rawFrame, k, r * width + j), sampleShift);
        }
    }
}

}  // namespace paths
}  // namespace Lumivex
