// Classification of the host board from its device-tree model text.
#pragma once

#include <cstdint>

namespace Lumivex {

enum HostPlatform : int32_t {
    UNKNOWN = 0,
    JETSON_NANO = 1,     // also TX1
    JETSON_XAVIER = 2,   // also other Jetsons and Orin
    RASPBERRY_PI = 4,
    RASPBERRY_PI_5 = 5,
};

constexpr const char* kDeviceTreeModelPath = "/sys/firmware/devicetree/base/model";

// Classifies a model text (case-sensitive substring tests).
HostPlatform classifyModelText(const char* model);

// Reads the first line (at most 99 characters) of the model file and
// classifies it; UNKNOWN when the file cannot be opened. Prints nothing.
HostPlatform detectHostPlatform(const char* modelPath = kDeviceTreeModelPath);

// The host's name as tools print it ("Raspberry Pi 5", "generic", ...).
const char* hostPlatformName(HostPlatform platform);
// The host of that name (UNKNOWN for "generic" and names it does not know).
HostPlatform hostPlatformNamed(const char* name);

// The engine's raw-sample shift: Xavier-class hosts deliver samples shifted by 4.
inline uint8_t sampleShiftFor(HostPlatform platform) {
    return platform == JETSON_XAVIER ? 4 : 0;
}

}  // namespace Lumivex
