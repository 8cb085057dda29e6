// Creates the sensor back-end for a connection kind.
#pragma once

#include <memory>

#include "csi/host_platform.h"
#include "tof_sensor.h"

namespace Lumivex {

// CSI: the V4L2 back-end for `devicePath`; null when no such back-end exists.
std::unique_ptr<LumivexTOFSensor> createCsiSensor(const char* devicePath, HostPlatform platform);
// USB: the back-end for camera `index`, set up from `configPath` ("" for the
// built-in set-up); null when no such back-end exists.
std::unique_ptr<LumivexTOFSensor> createUsbSensor(const char* configPath, int32_t index);

}  // namespace Lumivex
