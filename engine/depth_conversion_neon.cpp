// The Advanced SIMD path (aarch64): eight pixels a block, the double
// arctangent from SLEEF (3.5-ULP variant, two lanes at a time), the amplitude
// in single precision, the rest of the arithmetic exactly as the scalar
// reference does it. Compiled with -ffp-contract=off.
#include <arm_neon.h>
#include <sleef.h>

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

// Depth and amplitude of eight pixels from their differences (multiples of 16).
inline void block8(int16x8_t y, int16x8_t x, float q, float twoPi, float* depth, float* amplitude) {
    const int32x4_t yw[2] = {vmovl_s16(vget_low_s16(y)), vmovl_s16(vget_high_s16(y))};
    const int32x4_t xw[2] = {vmovl_s16(vget_low_s16(x)), vmovl_s16(vget_high_s16(x))};
    const float32x4_t qv = vdupq_n_f32(q);
    const float32x4_t twoPiv = vdupq_n_f32(twoPi);
    for (int h = 0; h < 2; ++h) {
        const float64x2_t y0 = lanesToDouble(yw[h], false), y1 = lanesToDouble(yw[h], true);
        const float64x2_t x0 = lanesToDouble(xw[h], false), x1 = lanesToDouble(xw[h], true);
        float32x4_t phi = vcombine_f32(vcvt_f32_f64(Sleef_atan2d2_u35advsimd(y0, x0)),
                                       vcvt_f32_f64(Sleef_atan2d2_u35advsimd(y1, x1)));
        const uint32x4_t negative = vcltq_f32(phi, vdupq_n_f32(0.0f));
        phi = vbslq_f32(negative, vaddq_f32(phi, twoPiv), phi);
        vst1q_f32(depth + 4 * h, vmulq_f32(qv, phi));
        vst1q_f32(amplitude + 4 * h, amplitude4(yw[h], xw[h]));
    }
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
        const int16x8_t p0 = decode8(planes[0], i, shift);
        const int16x8_t p1 = decode8(planes[1], i, shift);
        const int16x8_t p2 = decode8(planes[2], i, shift);
        const int16x8_t p3 = decode8(planes[3], i, shift);
        const int16x8_t y = shortRange ? vsubq_s16(p1, p3) : vsubq_s16(p2, p0);
        const int16x8_t x = shortRange ? vsubq_s16(p2, p0) : vsubq_s16(p3, p1);
        block8(y, x, q, twoPi, depth + i, amplitude + i);
    }
    for (; i < p.pixelCount; ++i) {  // a tail shorter than a block
        int16_t y, x;
        pixelDifferences(rawFrame, i, shortRange, p.sampleShift, y, x);
        depthFromDifferences(ConversionPath::Scalar, &y, &x, 1, q, twoPi, depth + i, amplitude + i);
    }
}

void depthFromDifferencesNeon(const int16_t* y, const int16_t* x, size_t count, float q, float twoPi,
                              float* depth, float* amplitude) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        // Not a difference of decoded samples: the scalar reference (see amplitude4).
        const int16x8_t yb = vld1q_s16(y + i), xb = vld1q_s16(x + i);
        if (multiplesOf16(yb, xb)) {
            block8(yb, xb, q, twoPi, depth + i, amplitude + i);
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
