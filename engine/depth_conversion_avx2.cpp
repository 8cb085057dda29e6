// The AVX2 path (x86-64 with AVX2 and FMA): eight pixels a block, the double
// arctangent from SLEEF (3.5-ULP variant), the rest of the arithmetic exactly
// as the scalar reference does it. Compiled with -mavx2 -mfma
// -ffp-contract=off; used only when the processor has both.
#include <immintrin.h>
#include <sleef.h>

#include "depth_conversion_paths.h"

namespace Lumivex {
namespace paths {

namespace {

// Eight samples of one plane: shift, the low 11 bits as two's complement, x16.
inline __m128i decode8(const uint8_t* plane, uint32_t first, __m128i shift) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + size_t(first) * 2));
    w = _mm_srl_epi16(w, shift);
    w = _mm_and_si128(w, _mm_set1_epi16(0x7FF));
    w = _mm_xor_si128(w, _mm_set1_epi16(0x400));
    w = _mm_sub_epi16(w, _mm_set1_epi16(0x400));
    return _mm_slli_epi16(w, 4);
}

// Depth and amplitude of eight pixels from their differences.
inline void block8(__m128i y, __m128i x, __m256 q, __m256 twoPi, float* depth, float* amplitude) {
    const __m256d yLow = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(y));
    const __m256d yHigh = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_srli_si128(y, 8)));
    const __m256d xLow = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(x));
    const __m256d xHigh = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_srli_si128(x, 8)));

    const __m128 phiLow = _mm256_cvtpd_ps(Sleef_atan2d4_u35avx2(yLow, xLow));
    const __m128 phiHigh = _mm256_cvtpd_ps(Sleef_atan2d4_u35avx2(yHigh, xHigh));
    __m256 phi = _mm256_set_m128(phiHigh, phiLow);
    const __m256 negative = _mm256_cmp_ps(phi, _mm256_setzero_ps(), _CMP_LT_OQ);
    phi = _mm256_blendv_ps(phi, _mm256_add_ps(phi, twoPi), negative);
    _mm256_storeu_ps(depth, _mm256_mul_ps(q, phi));

    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d sumLow = _mm256_add_pd(_mm256_mul_pd(yLow, yLow), _mm256_mul_pd(xLow, xLow));
    const __m256d sumHigh = _mm256_add_pd(_mm256_mul_pd(yHigh, yHigh), _mm256_mul_pd(xHigh, xHigh));
    const __m128 ampLow = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_sqrt_pd(sumLow), half));
    const __m128 ampHigh = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_sqrt_pd(sumHigh), half));
    _mm256_storeu_ps(amplitude, _mm256_set_m128(ampHigh, ampLow));
}

}  // namespace

bool avx2Supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

void convertDepthAvx2(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p) {
    const bool shortRange = p.range == 2;
    const float twoPiScalar = 2.0f * p.pi;
    const __m256 twoPi = _mm256_set1_ps(twoPiScalar);
    const __m128i shift = _mm_cvtsi32_si128(p.sampleShift);
    const uint8_t* planes[4] = {rawFrame, rawFrame + kPhasePlaneBytes, rawFrame + 2 * kPhasePlaneBytes,
                                rawFrame + 3 * kPhasePlaneBytes};
    float frequency = p.modulationFrequency->load(std::memory_order_relaxed);
    float q = metresPerRadian(p.speedOfLight, p.pi, frequency);
    uint32_t i = 0;
    for (; i + 8 <= p.pixelCount; i += 8) {
        // The frequency once per block: a range switch applies from the next block.
        const float now = p.modulationFrequency->load(std::memory_order_relaxed);
        if (now != frequency) {
            frequency = now;
            q = metresPerRadian(p.speedOfLight, p.pi, frequency);
        }
        const __m128i p0 = decode8(planes[0], i, shift);
        const __m128i p1 = decode8(planes[1], i, shift);
        const __m128i p2 = decode8(planes[2], i, shift);
        const __m128i p3 = decode8(planes[3], i, shift);
        const __m128i y = shortRange ? _mm_sub_epi16(p1, p3) : _mm_sub_epi16(p2, p0);
        const __m128i x = shortRange ? _mm_sub_epi16(p2, p0) : _mm_sub_epi16(p3, p1);
        block8(y, x, _mm256_set1_ps(q), twoPi, depth + i, amplitude + i);
    }
    for (; i < p.pixelCount; ++i) {  // a tail shorter than a block
        int16_t y, x;
        pixelDifferences(rawFrame, i, shortRange, p.sampleShift, y, x);
        depthFromDifferences(ConversionPath::Scalar, &y, &x, 1, q, twoPiScalar, depth + i, amplitude + i);
    }
}

void depthFromDifferencesAvx2(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi,
                              float* depth, float* amplitude) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        block8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + i)),
               _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i)), _mm256_set1_ps(q), _mm256_set1_ps(twoPi),
               depth + i, amplitude + i);
    }
    depthFromDifferences(ConversionPath::Scalar, y + i, x + i, count - i, q, twoPi, depth + i, amplitude + i);
}

void convertRawAvx2(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift) {
    const __m256i mask = _mm256_set1_epi16(0x7FF);
    const __m256i sign = _mm256_set1_epi16(0x400);
    const __m128i shift = _mm_cvtsi32_si128(sampleShift);
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t k = 0; k < kPhaseCount; ++k) {
            const uint8_t* plane = rawFrame + size_t(k) * kPhasePlaneBytes + size_t(r) * width * 2;
            int16_t* line = out + (size_t(kPhaseCount) * r + k) * width;
            uint32_t j = 0;
            for (; j + 16 <= width; j += 16) {
                __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane + size_t(j) * 2));
                w = _mm256_srl_epi16(w, shift);
                w = _mm256_sub_epi16(_mm256_xor_si256(_mm256_and_si256(w, mask), sign), sign);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + j), _mm256_slli_epi16(w, 4));
            }
            for (; j < width; ++j) line[j] = decodeSample(rawWord(rawFrame, k, r * width + j), sampleShift);
        }
    }
}

}  // namespace paths
}  // namespace Lumivex
