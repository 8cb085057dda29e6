#include "recorded_conversion.h"

#include <atomic>

#include "depth_conversion.h"

namespace Lumivex {

void convertRecordedDepth(const uint8_t* rawFrame, int32_t range, float modulationFrequency, HostPlatform platform,
                          float* depth, float* amplitude) {
    const std::atomic<float> frequency{modulationFrequency};
    const DepthParameters parameters{range, &frequency, kSpeedOfLight, kPi, sampleShiftFor(platform), kPixelCount};
    convertDepth(rawFrame, depth, amplitude, parameters);
}

void convertRecordedRaw(const uint8_t* rawFrame, HostPlatform platform, int16_t* out) {
    convertRaw(rawFrame, out, kSensorWidth, kSensorHeight, sampleShiftFor(platform));
}

}  // namespace Lumivex
