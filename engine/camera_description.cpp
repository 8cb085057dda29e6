#include "camera_description.h"

namespace Lumivex {

std::vector<std::pair<std::string, std::string>> describeCamera(LumivexTOFCamera& camera, int32_t device,
                                                                FrameType mode) {
    std::vector<std::pair<std::string, std::string>> fields = {{"sdk_version", LUMIVEX_SDK_VERSION}};
    if (camera.currentConnection() == USB) {
        fields.emplace_back("connection", "USB");
        fields.emplace_back("index", std::to_string(device));
        fields.emplace_back("pixel_format", "16-bit");
        for (const auto& fact : camera.deviceFacts()) fields.push_back(fact);  // the board's serial and firmware
    } else {
        fields.emplace_back("connection", "CSI");
        fields.emplace_back("node", "/dev/video" + std::to_string(device));
        // The Pi 5's receiver delivers packed samples; every other host plain 16-bit words.
        fields.emplace_back("pixel_format", camera.hostPlatform() == RASPBERRY_PI_5 ? "Y12P" : "Y12");
    }
    fields.emplace_back("platform", hostPlatformName(camera.hostPlatform()));
    fields.emplace_back("mode", mode == RAW ? "raw" : "depth");
    return fields;
}

}  // namespace Lumivex
