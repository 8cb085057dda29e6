// Frame vocabulary shared by the engine, its back-ends and the Python binding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Lumivex {

// Kinds of frame planes; RAW and DEPTH are also the streaming modes.
enum FrameType : int32_t {
    RAW = 0,        // de-interleaved phase samples (RawData)
    AMPLITUDE = 1,  // amplitude plane of a DepthData
    DEPTH = 2,      // depth plane of a DepthData
    CACHE = 3,      // the engine's capture buffer (CacheData); never offered to Python
};

// The format record that travels with every plane; copied by value.
struct FrameDataFormat {
    uint32_t width;      // elements per line (CacheData: bytes per line)
    uint32_t height;     // lines
    FrameType type;      // which plane the record describes
    uint64_t timestamp;  // capture time stamp, as the back-end reported it
    // The measuring range in metres the frame was exposed and converted at
    // (2 or 4); 0 when the camera's set-up never said (RAW frames only: a
    // depth frame of an unknown range is never handed out).
    int32_t range;
};

// Sensor geometry and the raw phase frame: four planes of 240 x 180
// little-endian 16-bit samples, back to back.
constexpr uint32_t kSensorWidth = 240;
constexpr uint32_t kSensorHeight = 180;
constexpr uint32_t kPixelCount = kSensorWidth * kSensorHeight;  // 43,200
constexpr uint32_t kPhaseCount = 4;
// The depth formula's constants, in single precision.
constexpr float kSpeedOfLight = 300000000.0f;
constexpr float kPi = 3.14159274f;
constexpr uint32_t kPhasePlaneBytes = kPixelCount * 2;                   // 86,400
constexpr uint32_t kRawFrameBytes = kPhasePlaneBytes * kPhaseCount;      // 345,600
constexpr uint32_t kRawSamplesPerFrame = kPixelCount * kPhaseCount;      // 172,800

}  // namespace Lumivex
