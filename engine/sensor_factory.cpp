#include "sensor_factory.h"

namespace Lumivex {

std::unique_ptr<LumivexTOFSensor> createCsiSensor(const char*, HostPlatform) { return nullptr; }

std::unique_ptr<LumivexTOFSensor> createUsbSensor(const char*, int32_t) { return nullptr; }

}  // namespace Lumivex
