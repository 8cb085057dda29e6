// The Advanced SIMD path (aarch64): blocks of eight pixels. The arctangent is
// computed here in double precision without a division, two lanes at a time
// (the scheme of the AVX-512 path: atan(k/16) from a table plus a short series,
// the reciprocal from the estimate instruction refined), to a relative error
// near 2^-43, and rounded to float only where that rounding is certain to be
// the exact value's; other lanes (rare) are recomputed by the scalar
// reference. The amplitude is computed in single precision. Compiled with
// -ffp-contract=off (the fused operations here are written out).
#include <arm_neon.h>

#include <cmath>

#include "depth_conversion_paths.h"

namespace Lumivex {
namespace paths {

namespace {

// Eight samples of one plane: shift, the low 11 bits as two's complement, x16
// (bit 10 moved to the sign bit, then one arithmetic shift back).
inline int16x8_t decode8(const uint8_t* plane, uint32_t first, int16x8_t shiftRight) {
    uint16x8_t w = vld1q_u16(reinterpret_cast<const uint16_t*>(plane + size_t(first) * 2));
    w = vshlq_u16(w, shiftRight);  // a negative count shifts right
    return vshrq_n_s16(vreinterpretq_s16_u16(vshlq_n_u16(w, 5)), 1);
}

inline float64x2_t lanesToDouble(int32x4_t v, bool high) {
    return vcvtq_f64_s64(vmovl_s32(high ? vget_high_s32(v) : vget_low_s32(v)));
}

// The amplitude of four pixels in single precision: y*y + x*x is exact in
// float for multiples of 16 up to 32,752 (256 times an integer below 2^24),
// and the correctly rounded float square root of it, halved, equals the
// reference's double square root rounded to float (a square root of an
// integer is never within half a double ulp of a float rounding boundary).
inline float32x4_t amplitude4(int32x4_t y, int32x4_t x) {
    const float32x4_t yf = vcvtq_f32_s32(y), xf = vcvtq_f32_s32(x);
    const float32x4_t sum = vaddq_f32(vmulq_f32(yf, yf), vmulq_f32(xf, xf));
    return vmulq_f32(vsqrtq_f32(sum), vdupq_n_f32(0.5f));
}

// atan(k / 16) for k = 0 ... 15.
struct AtanSixteenths {
    double values[16];
    AtanSixteenths() {
        for (int k = 0; k < 16; ++k) values[k] = std::atan(k / 16.0);
    }
};

// atan2(y, x) of two lanes of integers (|y|, |x| < 2^15); `near` gets all ones
// in the lanes whose float rounding is not certain.
[[gnu::always_inline]] inline float64x2_t arctangent2(float64x2_t y, float64x2_t x, const AtanSixteenths& table,
                                                      uint64x2_t& near) {
    const float64x2_t ay = vabsq_f64(y), ax = vabsq_f64(x);
    const uint64x2_t swapped = vcgtq_f64(ay, ax);
    const float64x2_t a = vmaxq_f64(vmaxq_f64(ay, ax), vdupq_n_f64(1.0));  // 0/0 counts as 0/1
    const float64x2_t b = vminq_f64(ay, ax);                                 // 0 <= b <= a
    // k = 16 c nearest 16 b / a (to within the 8-bit estimate), at most 15.
    float64x2_t k = vrndnq_f64(vmulq_n_f64(vmulq_f64(b, vrecpeq_f64(a)), 16.0));
    k = vminq_f64(k, vdupq_n_f64(15.0));
    const float64x2_t c = vmulq_n_f64(k, 1.0 / 16.0);
    // atan(b/a) = atan(c) + atan(u), u = (b - c a) / (a + c b), |u| < 1/28;
    // the numerator and denominator are exact.
    const float64x2_t numer = vfmsq_f64(b, c, a);
    const float64x2_t denom = vfmaq_f64(a, c, b);
    float64x2_t r = vrecpeq_f64(denom);
    r = vmulq_f64(r, vrecpsq_f64(denom, r));  // each step doubles the bits: 8, 16, 32
    r = vmulq_f64(r, vrecpsq_f64(denom, r));
    float64x2_t u = vmulq_f64(numer, r);
    u = vfmaq_f64(u, vfmsq_f64(numer, denom, u), r);  // 32 -> 64 bits, as far as a double goes
    // atan(u) = u - u^3/3 + u^5/5 - u^7/7 + u^9/9; the next term is below
    // 2^-53, and below 2^-48 of the result.
    const float64x2_t u2 = vmulq_f64(u, u);
    float64x2_t p = vfmaq_f64(vdupq_n_f64(-1.0 / 7.0), u2, vdupq_n_f64(1.0 / 9.0));
    p = vfmaq_f64(vdupq_n_f64(1.0 / 5.0), u2, p);
    p = vfmaq_f64(vdupq_n_f64(-1.0 / 3.0), u2, p);
    p = vfmaq_f64(u, vmulq_f64(u, u2), p);
    const uint64x2_t index = vcvtq_u64_f64(k);
    const float64x2_t start = vcombine_f64(vld1_f64(table.values + vgetq_lane_u64(index, 0)),
                                           vld1_f64(table.values + vgetq_lane_u64(index, 1)));
    float64x2_t t = vaddq_f64(start, p);
    // Back to the pixel's octant: pi/2 - t where |y| > |x|, then pi - t where
    // x < 0, then -t where y < 0 (t >= 0 here, so y's sign bit is t's).
    t = vbslq_f64(swapped, vsubq_f64(vdupq_n_f64(M_PI_2), t), t);
    t = vbslq_f64(vcltzq_f64(x), vsubq_f64(vdupq_n_f64(M_PI), t), t);
    const uint64x2_t yBits = vreinterpretq_u64_f64(y);
    t = vreinterpretq_f64_u64(
        veorq_u64(vreinterpretq_u64_f64(t), vandq_u64(yBits, vdupq_n_u64(0x8000000000000000ull))));
    // Not certain: the 29 bits float rounding drops lie within 2^13 double
    // ulps (2^-40 of the value or more) of the half-way pattern.
    const uint64x2_t dropped = vandq_u64(vreinterpretq_u64_f64(t), vdupq_n_u64(0x1FFFFFFF));
    const uint64x2_t offset = vsubq_u64(dropped, vdupq_n_u64(0x10000000 - (1 << 13)));
    near = vceqzq_u64(vshrq_n_u64(offset, 14));
    return t;
}

// The scalar reference for the pixels of a block whose float rounding the
// vector arctangent could not certify (rare), kept out of line.
[[gnu::noinline]] void recomputeUncertain(int16x8_t y, int16x8_t x, const uint64x2_t near[4], float q, float twoPi,
                                          float* depth, float* amplitude) {
    int16_t ys[8], xs[8];
    vst1q_s16(ys, y);
    vst1q_s16(xs, x);
    for (int lane = 0; lane < 8; ++lane) {
        const uint64_t flag = lane % 2 == 0 ? vgetq_lane_u64(near[lane / 2], 0) : vgetq_lane_u64(near[lane / 2], 1);
        if (flag != 0) {
            depthFromDifferences(ConversionPath::Scalar, ys + lane, xs + lane, 1, q, twoPi, depth + lane,
                                 amplitude + lane);
        }
    }
}

// Depth and amplitude of eight pixels from their differences (multiples of 16).
[[gnu::always_inline]] inline void block8(int16x8_t y, int16x8_t x, float q, float twoPi,
                                          const AtanSixteenths& table, float* depth, float* amplitude) {
    const int32x4_t yw[2] = {vmovl_s16(vget_low_s16(y)), vmovl_s16(vget_high_s16(y))};
    const int32x4_t xw[2] = {vmovl_s16(vget_low_s16(x)), vmovl_s16(vget_high_s16(x))};
    const float32x4_t qv = vdupq_n_f32(q);
    const float32x4_t twoPiv = vdupq_n_f32(twoPi);
    uint64x2_t near[4];
    for (int h = 0; h < 2; ++h) {
        const float64x2_t low = arctangent2(lanesToDouble(yw[h], false), lanesToDouble(xw[h], false), table,
                                            near[2 * h]);
        const float64x2_t high = arctangent2(lanesToDouble(yw[h], true), lanesToDouble(xw[h], true), table,
                                             near[2 * h + 1]);
        // float(phi), plus 2 pi where negative, times q: the reference's float steps.
        float32x4_t phi = vcombine_f32(vcvt_f32_f64(low), vcvt_f32_f64(high));
        const uint32x4_t negative = vcltq_f32(phi, vdupq_n_f32(0.0f));
        phi = vbslq_f32(negative, vaddq_f32(phi, twoPiv), phi);
        vst1q_f32(depth + 4 * h, vmulq_f32(qv, phi));
        vst1q_f32(amplitude + 4 * h, amplitude4(yw[h], xw[h]));
    }
    const uint64x2_t any = vorrq_u64(vorrq_u64(near[0], near[1]), vorrq_u64(near[2], near[3]));
    if (__builtin_expect((vgetq_lane_u64(any, 0) | vgetq_lane_u64(any, 1)) != 0, 0))
        recomputeUncertain(y, x, near, q, twoPi, depth, amplitude);
}

inline bool multiplesOf16(int16x8_t y, int16x8_t x) {
    return vmaxvq_u16(vandq_u16(vreinterpretq_u16_s16(vorrq_s16(y, x)), vdupq_n_u16(15))) == 0;
}

}  // namespace

bool neonSupported() { return true; }

void convertDepthNeon(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p) {
    const bool shortRange = p.range == 2;
    const float twoPi = 2.0f * p.pi;
    const int16x8_t shift = vdupq_n_s16(int16_t(-int(p.sampleShift)));
    const uint8_t* planes[4] = {rawFrame, rawFrame + kPhasePlaneBytes, rawFrame + 2 * kPhasePlaneBytes,
                                rawFrame + 3 * kPhasePlaneBytes};
    const AtanSixteenths table;
    BlockScale scale(p);
    uint32_t i = 0;
    for (; i + 8 <= p.pixelCount; i += 8) {
        const float q = scale.next();
        const int16x8_t p0 = decode8(planes[0], i, shift);
        const int16x8_t p1 = decode8(planes[1], i, shift);
        const int16x8_t p2 = decode8(planes[2], i, shift);
        const int16x8_t p3 = decode8(planes[3], i, shift);
        const int16x8_t y = shortRange ? vsubq_s16(p1, p3) : vsubq_s16(p2, p0);
        const int16x8_t x = shortRange ? vsubq_s16(p2, p0) : vsubq_s16(p3, p1);
        block8(y, x, q, twoPi, table, depth + i, amplitude + i);
    }
    convertTailScalar(rawFrame, i, p, scale, depth, amplitude);
}

void depthFromDifferencesNeon(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi,
                              float* depth, float* amplitude) {
    const AtanSixteenths table;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        // Not a difference of decoded samples: the scalar reference (see amplitude4).
        const int16x8_t yb = vld1q_s16(y + i), xb = vld1q_s16(x + i);
        if (multiplesOf16(yb, xb)) {
            block8(yb, xb, q, twoPi, table, depth + i, amplitude + i);
        } else {
            depthFromDifferences(ConversionPath::Scalar, y + i, x + i, 8, q, twoPi, depth + i, amplitude + i);
        }
    }
    depthFromDifferences(ConversionPath::Scalar, y + i, x + i, count - i, q, twoPi, depth + i, amplitude + i);
}

void convertRawNeon(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift) {
    const int16x8_t shift = vdupq_n_s16(int16_t(-int(sampleShift)));
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t k = 0; k < kPhaseCount; ++k) {
            const uint8_t* plane = rawFrame + size_t(k) * kPhasePlaneBytes;
            int16_t* line = out + (size_t(kPhaseCount) * r + k) * width;
            uint32_t j = 0;
            for (; j + 8 <= width; j += 8) vst1q_s16(line + j, decode8(plane, r * width + j, shift));
            for (; j < width; ++j) line[j] = decodeSample(rawWord(rawFrame, k, r * width + j), sampleShift);
        }
    }
}

}  // namespace paths
}  // namespace Lumivex
