#include "sensor_factory.h"

#include "csi/v4l2_capture.h"

namespace Lumivex {

std::unique_ptr<LumivexTOFSensor> createCsiSensor(const char* devicePath, HostPlatform platform) {
    return std::make_unique<LumivexTOFCSISensor>(devicePath, platform);
}

// The USB back-end does not exist yet.
std::unique_ptr<LumivexTOFSensor> createUsbSensor(const char*, int32_t) { return nullptr; }

}  // namespace Lumivex
