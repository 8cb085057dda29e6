// The scalar conversions (the reference every vector path must equal bit for
// bit) and the choice of path.
#include "depth_conversion.h"

#include <cmath>

#include "depth_conversion_paths.h"

namespace Lumivex {

float metresPerRadian(float speedOfLight, float pi, float modulationFrequency) {
    float t = pi * 4.0f;
    t = t * modulationFrequency;
    return speedOfLight / t;
}

namespace {

void convertRawScalar(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift) {
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t k = 0; k < kPhaseCount; ++k) {
            int16_t* line = out + (size_t(kPhaseCount) * r + k) * width;
            const uint32_t first = r * width;
            for (uint32_t j = 0; j < width; ++j) {
                line[j] = decodeSample(rawWord(rawFrame, k, first + j), sampleShift);
            }
        }
    }
}

// One pixel: float of the double arctangent, the +2 pi step in float, q * phi
// in float, the amplitude in double.
inline void depthPixel(int16_t y, int16_t x, float q, float twoPi, float& depth, float& amplitude) {
    float phi = float(std::atan2(double(y), double(x)));
    if (phi < 0.0f) phi = phi + twoPi;
    depth = q * phi;
    const double yd = y, xd = x;
    amplitude = float(std::sqrt(yd * yd + xd * xd) * 0.5);
}

void convertDepthScalar(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p) {
    const bool shortRange = p.range == 2;
    const float twoPi = 2.0f * p.pi;
    float frequency = p.modulationFrequency->load(std::memory_order_relaxed);
    float q = metresPerRadian(p.speedOfLight, p.pi, frequency);

    for (uint32_t i = 0; i < p.pixelCount; ++i) {
        int16_t y, x;
        pixelDifferences(rawFrame, i, shortRange, p.sampleShift, y, x);

        const float now = p.modulationFrequency->load(std::memory_order_relaxed);
        if (now != frequency) {  // recompute only when setControl changed it
            frequency = now;
            q = metresPerRadian(p.speedOfLight, p.pi, frequency);
        }
        depthPixel(y, x, q, twoPi, depth[i], amplitude[i]);
    }
}

ConversionPath fastestPath() {
    if (paths::avx512Supported()) return ConversionPath::Avx512;
    if (paths::avx2Supported()) return ConversionPath::Avx2;
    if (paths::neonSupported()) return ConversionPath::Neon;
    return ConversionPath::Scalar;
}

}  // namespace

const char* pathName(ConversionPath path) {
    switch (path) {
        case ConversionPath::Avx2: return "avx2";
        case ConversionPath::Avx512: return "avx512";
        case ConversionPath::Neon: return "neon";
        default: return "scalar";
    }
}

std::vector<ConversionPath> supportedPaths() {
    std::vector<ConversionPath> out{ConversionPath::Scalar};
    if (paths::avx2Supported()) out.push_back(ConversionPath::Avx2);
    if (paths::avx512Supported()) out.push_back(ConversionPath::Avx512);
    if (paths::neonSupported()) out.push_back(ConversionPath::Neon);
    return out;
}

ConversionPath selectedPath() {
    static const ConversionPath chosen = fastestPath();
    return chosen;
}

void convertDepthWith(ConversionPath path, const uint8_t* rawFrame, float* depth, float* amplitude,
                      const DepthParameters& p) {
    switch (path) {
        case ConversionPath::Avx2: paths::convertDepthAvx2(rawFrame, depth, amplitude, p); return;
        case ConversionPath::Avx512: paths::convertDepthAvx512(rawFrame, depth, amplitude, p); return;
        case ConversionPath::Neon: paths::convertDepthNeon(rawFrame, depth, amplitude, p); return;
        default: convertDepthScalar(rawFrame, depth, amplitude, p); return;
    }
}

void convertRawWith(ConversionPath path, const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height,
                    uint8_t sampleShift) {
    switch (path) {
        case ConversionPath::Avx2:
        case ConversionPath::Avx512: paths::convertRawAvx2(rawFrame, out, width, height, sampleShift); return;
        case ConversionPath::Neon: paths::convertRawNeon(rawFrame, out, width, height, sampleShift); return;
        default: convertRawScalar(rawFrame, out, width, height, sampleShift); return;
    }
}

void depthFromDifferences(ConversionPath path, const int16_t* y, const int16_t* x, size_t count, float q,
                          float twoPi, float* depth, float* amplitude) {
    switch (path) {
        case ConversionPath::Avx2: paths::depthFromDifferencesAvx2(y, x, count, q, twoPi, depth, amplitude); return;
        case ConversionPath::Avx512:
            paths::depthFromDifferencesAvx512(y, x, count, q, twoPi, depth, amplitude);
            return;
        case ConversionPath::Neon: paths::depthFromDifferencesNeon(y, x, count, q, twoPi, depth, amplitude); return;
        default:
            for (size_t i = 0; i < count; ++i) depthPixel(y[i], x[i], q, twoPi, depth[i], amplitude[i]);
            return;
    }
}

void convertRaw(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height, uint8_t sampleShift) {
    convertRawWith(selectedPath(), rawFrame, out, width, height, sampleShift);
}

void convertDepth(const uint8_t* rawFrame, float* depth, float* amplitude, const DepthParameters& p) {
    convertDepthWith(selectedPath(), rawFrame, depth, amplitude, p);
}

// Scalar fallbacks of a path that is not compiled in (never selected).
namespace paths {
#if !defined(LUMIVEX_HAVE_AVX2)
bool avx2Supported() { return false; }
void convertDepthAvx2(const uint8_t* r, float* d, float* a, const DepthParameters& p) { convertDepthScalar(r, d, a, p); }
void convertRawAvx2(const uint8_t* r, int16_t* o, uint32_t w, uint32_t h, uint8_t s) { convertRawScalar(r, o, w, h, s); }
void depthFromDifferencesAvx2(const int16_t* y, const int16_t* x, size_t n, float q, float t, float* d, float* a) {
    depthFromDifferences(ConversionPath::Scalar, y, x, n, q, t, d, a);
}
#endif
#if !defined(LUMIVEX_HAVE_AVX512)
bool avx512Supported() { return false; }
void convertDepthAvx512(const uint8_t* r, float* d, float* a, const DepthParameters& p) { convertDepthScalar(r, d, a, p); }
void depthFromDifferencesAvx512(const int16_t* y, const int16_t* x, size_t n, float q, float t, float* d, float* a) {
    depthFromDifferences(ConversionPath::Scalar, y, x, n, q, t, d, a);
}
#endif
#if !defined(LUMIVEX_HAVE_NEON)
bool neonSupported() { return false; }
void convertDepthNeon(const uint8_t* r, float* d, float* a, const DepthParameters& p) { convertDepthScalar(r, d, a, p); }
void convertRawNeon(const uint8_t* r, int16_t* o, uint32_t w, uint32_t h, uint8_t s) { convertRawScalar(r, o, w, h, s); }
void depthFromDifferencesNeon(const int16_t* y, const int16_t* x, size_t n, float q, float t, float* d, float* a) {
    depthFromDifferences(ConversionPath::Scalar, y, x, n, q, t, d, a);
}
#endif
}  // namespace paths

}  // namespace Lumivex
