// The AVX-512 path (x86-64 with AVX-512F/DQ, AVX2 and FMA): sixteen pixels an
// iteration on 512-bit registers, the modulation frequency still read for
// each block of eight. The arctangent is computed here in double precision
// without a division, to a relative error near 2^-42, and rounded to float
// only where that rounding is certain to be the exact value's: a lane within
// 2^-40 of the half-way point between two floats (about one pixel in 30,000)
// is recomputed by the scalar reference. The amplitude is computed in single
// precision (depth_conversion_x86.h says why that is exact). RAW conversion is
// the AVX2 path's.
// GCC 12 warns inside its own AVX-512 intrinsics about their deliberately
// undefined pass-through operands (fixed in GCC 13); nothing here is
// uninitialised.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cmath>

#include "depth_conversion_x86.h"

namespace Lumivex {
namespace paths {

namespace {

// atan(k / 16) for k = 0 ... 15, in two registers of eight.
struct AtanTable {
    __m512d low, high;
    AtanTable() {
        alignas(64) double values[16];
        for (int k = 0; k < 16; ++k) values[k] = std::atan(k / 16.0);
        low = _mm512_load_pd(values);
        high = _mm512_load_pd(values + 8);
    }
};

// atan(b / a) of eight lanes with 0 <= b <= a, 1 <= a < 2^16, both integers.
[[gnu::always_inline]] inline __m512d firstOctantArctangent(__m512d a, __m512d b, const AtanTable& table) {
    // c = k / 16 nearest b / a (to within the 14-bit estimate), at most 15/16.
    __m512d c = _mm512_roundscale_pd(_mm512_mul_pd(b, _mm512_rcp14_pd(a)), (4 << 4) | _MM_FROUND_TO_NEAREST_INT);
    c = _mm512_min_pd(c, _mm512_set1_pd(15.0 / 16.0));
    // atan(b/a) = atan(c) + atan(u), u = (b - c a) / (a + c b), |u| <= 1/31;
    // the numerator and denominator are exact.
    const __m512d numer = _mm512_fnmadd_pd(c, a, b);
    const __m512d denom = _mm512_fmadd_pd(c, b, a);
    const __m512d r = _mm512_rcp14_pd(denom);
    __m512d u = _mm512_mul_pd(numer, r);
    u = _mm512_fmadd_pd(_mm512_fnmadd_pd(denom, u, numer), r, u);  // each step gains 14 bits
    u = _mm512_fmadd_pd(_mm512_fnmadd_pd(denom, u, numer), r, u);
    // atan(u) = u - u^3/3 + u^5/5 - u^7/7; the next term, u^9/9, is below
    // 2^-47, and below 2^-43 of the result.
    const __m512d u2 = _mm512_mul_pd(u, u);
    __m512d p = _mm512_fmadd_pd(u2, _mm512_set1_pd(-1.0 / 7.0), _mm512_set1_pd(1.0 / 5.0));
    p = _mm512_fmadd_pd(u2, p, _mm512_set1_pd(-1.0 / 3.0));
    p = _mm512_fmadd_pd(_mm512_mul_pd(u, u2), p, u);
    const __m512i k = _mm512_castpd_si512(_mm512_add_pd(c, _mm512_set1_pd(0x1p48)));  // k in the low bits
    return _mm512_add_pd(_mm512_permutex2var_pd(table.low, k, table.high), p);
}

// Back to the pixel's octant: pi/2 - t where |y| > |x|, then pi - t where
// x < 0, then -t where y < 0.
[[gnu::always_inline]] inline __m512d toOctant(__m512d t, __mmask8 swapped, __mmask8 xNegative, __mmask8 yNegative) {
    t = _mm512_mask_sub_pd(t, swapped, _mm512_set1_pd(M_PI_2), t);
    t = _mm512_mask_sub_pd(t, xNegative, _mm512_set1_pd(M_PI), t);
    return _mm512_mask_sub_pd(t, yNegative, _mm512_setzero_pd(), t);
}

// The lanes whose float rounding is certain: the 29 bits the rounding drops
// are more than 2^13 double ulps (2^-40 of the value or more) away from the
// half-way pattern.
[[gnu::always_inline]] inline __mmask8 roundingCertain(__m512d t) {
    const __m512i dropped = _mm512_and_si512(_mm512_castpd_si512(t), _mm512_set1_epi64(0x1FFFFFFF));
    const __m512i offset = _mm512_abs_epi64(_mm512_sub_epi64(dropped, _mm512_set1_epi64(0x10000000)));
    return _mm512_cmpgt_epi64_mask(offset, _mm512_set1_epi64(1 << 13));
}

// The scalar reference for the lanes whose rounding was not certain, kept out
// of line so that the loop stays small.
[[gnu::noinline]] void recomputeUncertain(__m256i y, __m256i x, __mmask16 certain, float qLow, float qHigh,
                                          float twoPi, float* depth, float* amplitude) {
    alignas(32) int16_t ys[16], xs[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(ys), y);
    _mm256_store_si256(reinterpret_cast<__m256i*>(xs), x);
    for (int lane = 0; lane < 16; ++lane) {
        if (!(certain & (1u << lane))) {
            depthFromDifferences(ConversionPath::Scalar, ys + lane, xs + lane, 1, lane < 8 ? qLow : qHigh, twoPi,
                                 depth + lane, amplitude + lane);
        }
    }
}

// Depth and amplitude of sixteen pixels from their differences (multiples of
// 16); the first eight with metres per radian qLow, the others with qHigh.
[[gnu::always_inline]] inline void block16(__m256i y, __m256i x, float qLow, float qHigh, float twoPi,
                                           const AtanTable& table, float* depth, float* amplitude) {
    const __m512i y32 = _mm512_cvtepi16_epi32(y);
    const __m512i x32 = _mm512_cvtepi16_epi32(x);

    // Exact in single precision, see amplitude8.
    const __m512 yf = _mm512_cvtepi32_ps(y32), xf = _mm512_cvtepi32_ps(x32);
    const __m512 sum = _mm512_add_ps(_mm512_mul_ps(yf, yf), _mm512_mul_ps(xf, xf));
    _mm512_storeu_ps(amplitude, _mm512_mul_ps(_mm512_sqrt_ps(sum), _mm512_set1_ps(0.5f)));

    const __m512i ay = _mm512_abs_epi32(y32), ax = _mm512_abs_epi32(x32);
    const __mmask16 swapped = _mm512_cmpgt_epi32_mask(ay, ax);
    const __mmask16 xNegative = _mm512_movepi32_mask(x32);
    const __mmask16 yNegative = _mm512_movepi32_mask(y32);
    const __m512i a = _mm512_max_epi32(_mm512_max_epi32(ay, ax), _mm512_set1_epi32(1));  // 0/0 counts as 0/1
    const __m512i b = _mm512_min_epi32(ay, ax);
    const __m512d low = toOctant(firstOctantArctangent(_mm512_cvtepi32_pd(_mm512_castsi512_si256(a)),
                                                       _mm512_cvtepi32_pd(_mm512_castsi512_si256(b)), table),
                                 __mmask8(swapped), __mmask8(xNegative), __mmask8(yNegative));
    const __m512d high = toOctant(firstOctantArctangent(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(a, 1)),
                                                        _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(b, 1)), table),
                                  __mmask8(swapped >> 8), __mmask8(xNegative >> 8), __mmask8(yNegative >> 8));
    const __mmask16 certain = _mm512_kunpackb(roundingCertain(high), roundingCertain(low));

    // float(phi), plus 2 pi where negative, times q: the reference's float steps.
    __m512 phi = _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(low)), _mm512_cvtpd_ps(high), 1);
    phi = _mm512_mask_add_ps(phi, _mm512_cmp_ps_mask(phi, _mm512_setzero_ps(), _CMP_LT_OQ), phi,
                             _mm512_set1_ps(twoPi));
    const __m512 q = _mm512_mask_blend_ps(0xFF00, _mm512_set1_ps(qLow), _mm512_set1_ps(qHigh));
    _mm512_storeu_ps(depth, _mm512_mul_ps(q, phi));
    if (__builtin_expect(certain != 0xFFFF, 0))
        recomputeUncertain(y, x, certain, qLow, qHigh, twoPi, depth, amplitude);
}

inline __m256i decode16(const uint8_t* plane, uint32_t first, __m128i shift) {
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane + size_t(first) * 2));
    return _mm256_srai_epi16(_mm256_slli_epi16(_mm256_srl_epi16(w, shift), 5), 1);  // as decode8
}

}  // namespace

bool avx512Supported() {
    __builtin_cpu_init();  // includes whether the system saves the 512-bit registers
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

void convertDepthAvx512(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p) {
    const bool shortRange = p.range == 2;
    const float twoPi = 2.0f * p.pi;
    const __m128i shift = _mm_cvtsi32_si128(p.sampleShift);
    const uint8_t* planes[4] = {rawFrame, rawFrame + kPhasePlaneBytes, rawFrame + 2 * kPhasePlaneBytes,
                                rawFrame + 3 * kPhasePlaneBytes};
    const AtanTable table;
    BlockScale scale(p);
    uint32_t i = 0;
    for (; i + 16 <= p.pixelCount; i += 16) {
        const float qLow = scale.next();
        const float qHigh = scale.next();
        const __m256i p0 = decode16(planes[0], i, shift);
        const __m256i p1 = decode16(planes[1], i, shift);
        const __m256i p2 = decode16(planes[2], i, shift);
        const __m256i p3 = decode16(planes[3], i, shift);
        const __m256i y = shortRange ? _mm256_sub_epi16(p1, p3) : _mm256_sub_epi16(p2, p0);
        const __m256i x = shortRange ? _mm256_sub_epi16(p2, p0) : _mm256_sub_epi16(p3, p1);
        block16(y, x, qLow, qHigh, twoPi, table, depth + i, amplitude + i);
    }
    convertTailScalar(rawFrame, i, p, scale, depth, amplitude);
}

void depthFromDifferencesAvx512(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi,
                                float* depth, float* amplitude) {
    const AtanTable table;
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i yb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + i));
        const __m256i xb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i));
        if (_mm256_testz_si256(_mm256_or_si256(yb, xb), _mm256_set1_epi16(15))) {
            block16(yb, xb, q, q, twoPi, table, depth + i, amplitude + i);
        } else {  // not differences of decoded samples: see depthFromDifferencesBlocks
            depthFromDifferences(ConversionPath::Scalar, y + i, x + i, 16, q, twoPi, depth + i, amplitude + i);
        }
    }
    depthFromDifferences(ConversionPath::Scalar, y + i, x + i, count - i, q, twoPi, depth + i, amplitude + i);
}

}  // namespace paths
}  // namespace Lumivex
