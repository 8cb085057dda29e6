#include "depth_conversion.h"

#include <cmath>

namespace Lumivex {

void convertRaw(const uint8_t* rawFrame, int16_t* out, uint32_t width, uint32_t height,
                uint8_t sampleShift) {
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

namespace {
// Metres per radian, in single precision and in the documented order.
float metresPerRadian(float speedOfLight, float pi, float modulationFrequency) {
    float t = pi * 4.0f;
    t = t * modulationFrequency;
    return speedOfLight / t;
}
}  // namespace

void convertDepth(const uint8_t* rawFrame, float* depth, float* amplitude,
                  const DepthParameters& p) {
    const bool shortRange = p.range == 2;
    const float twoPi = 2.0f * p.pi;
    float frequency = p.modulationFrequency->load(std::memory_order_relaxed);
    float q = metresPerRadian(p.speedOfLight, p.pi, frequency);

    for (uint32_t i = 0; i < p.pixelCount; ++i) {
        const int16_t p0 = decodeSample(rawWord(rawFrame, 0, i), p.sampleShift);
        const int16_t p1 = decodeSample(rawWord(rawFrame, 1, i), p.sampleShift);
        const int16_t p2 = decodeSample(rawWord(rawFrame, 2, i), p.sampleShift);
        const int16_t p3 = decodeSample(rawWord(rawFrame, 3, i), p.sampleShift);
        const int16_t y = shortRange ? int16_t(p1 - p3) : int16_t(p2 - p0);
        const int16_t x = shortRange ? int16_t(p2 - p0) : int16_t(p3 - p1);

        float phi = float(std::atan2(double(y), double(x)));
        if (phi < 0.0f) phi = phi + twoPi;

        const float now = p.modulationFrequency->load(std::memory_order_relaxed);
        if (now != frequency) {  // recompute only when setControl changed it
            frequency = now;
            q = metresPerRadian(p.speedOfLight, p.pi, frequency);
        }
        depth[i] = q * phi;

        const double yd = y, xd = x;
        amplitude[i] = float(std::sqrt(yd * yd + xd * xd) * 0.5);
    }
}

}  // namespace Lumivex
