#include "sensor_factory.h"

#include "csi/v4l2_capture.h"
#include "usb/usb_sensor.h"

namespace Lumivex {

std::unique_ptr<LumivexTOFSensor> createCsiSensor(const char* devicePath, HostPlatform platform) {
    return std::make_unique<LumivexTOFCSISensor>(devicePath, platform);
}

std::unique_ptr<LumivexTOFSensor> createUsbSensor(const char* configPath, int32_t index) {
    return std::make_unique<LumivexTOFUSBSensor>(configPath, uint32_t(index));
}

}  // namespace Lumivex
