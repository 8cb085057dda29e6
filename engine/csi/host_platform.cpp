#include "host_platform.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace Lumivex {

HostPlatform classifyModelText(const char* model) {
    auto has = [model](const char* text) { return std::strstr(model, text) != nullptr; };
    if (has("Jetson")) {
        if (has("Xavier")) return JETSON_XAVIER;
        if (has("TX1") || has("Nano")) return JETSON_NANO;
        return JETSON_XAVIER;
    }
    if (has(" Orin")) return JETSON_XAVIER;
    if (has("Raspberry")) return has("Pi 5") ? RASPBERRY_PI_5 : RASPBERRY_PI;
    return UNKNOWN;
}

HostPlatform detectHostPlatform(const char* modelPath) {
    if (modelPath == nullptr) return UNKNOWN;
    FILE* file = std::fopen(modelPath, "r");
    if (file == nullptr) return UNKNOWN;
    char text[100] = {0};
    if (std::fgets(text, sizeof text, file) == nullptr) text[0] = '\0';
    std::fclose(file);
    return classifyModelText(text);  // ends at the property's NUL byte
}

const char* hostPlatformName(HostPlatform platform) {
    switch (platform) {
        case JETSON_NANO: return "Jetson Nano";
        case JETSON_XAVIER: return "Jetson Xavier";
        case RASPBERRY_PI: return "Raspberry Pi";
        case RASPBERRY_PI_5: return "Raspberry Pi 5";
        default: return "generic";
    }
}

HostPlatform hostPlatformNamed(const char* name) {
    for (HostPlatform p : {JETSON_NANO, JETSON_XAVIER, RASPBERRY_PI, RASPBERRY_PI_5}) {
        if (name != nullptr && std::strcmp(name, hostPlatformName(p)) == 0) return p;
    }
    return UNKNOWN;
}

}  // namespace Lumivex
