// The AVX-512 path (x86-64 with AVX-512F, AVX2 and FMA): blocks of eight
// pixels as on the AVX2 path, with the eight double arctangents of a block in
// one SLEEF call on 512-bit registers (3.5-ULP variant). Compiled with
// -mavx512f -mavx2 -mfma -ffp-contract=off; used only when the processor and
// the system support all of them. RAW conversion is the AVX2 path's.
#include <sleef.h>

#include "depth_conversion_x86.h"

namespace Lumivex {
namespace paths {

namespace {

// Depth and amplitude of eight pixels from their differences (multiples of 16).
inline void block8(__m128i y, __m128i x, float q, float twoPi, float* depth, float* amplitude) {
    const __m256i y32 = _mm256_cvtepi16_epi32(y);
    const __m256i x32 = _mm256_cvtepi16_epi32(x);
    // The zero-masked forms with every lane selected are the plain conversions;
    // GCC 12 warns about the plain forms' undefined pass-through operand.
    const __m512d phi = Sleef_atan2d8_u35avx512f(_mm512_maskz_cvtepi32_pd(0xFF, y32), _mm512_maskz_cvtepi32_pd(0xFF, x32));
    _mm256_storeu_ps(depth, depth8(_mm512_maskz_cvtpd_ps(0xFF, phi), q, twoPi));
    _mm256_storeu_ps(amplitude, amplitude8(y32, x32));
}

}  // namespace

bool avx512Supported() {
    __builtin_cpu_init();  // includes whether the system saves the 512-bit registers
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

void convertDepthAvx512(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p) {
    const float twoPi = 2.0f * p.pi;
    convertDepthBlocks(rawFrame, depth, amplitude, p, [twoPi](__m128i y, __m128i x, float q, float* d, float* a) {
        block8(y, x, q, twoPi, d, a);
    });
}

void depthFromDifferencesAvx512(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi,
                                float* depth, float* amplitude) {
    depthFromDifferencesBlocks(y, x, count, q, twoPi, depth, amplitude,
                               [twoPi](__m128i yb, __m128i xb, float qb, float* d, float* a) {
                                   block8(yb, xb, qb, twoPi, d, a);
                               });
}

}  // namespace paths
}  // namespace Lumivex
