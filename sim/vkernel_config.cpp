// Settings of the virtual kernel: "key=value,..." from the environment or
// from lumivex_vk_configure.
#include <errno.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <cstdlib>
#include <sstream>

#include "virtual_kernel.h"

namespace LumivexSim {

namespace {

struct Named {
    const char* name;
    unsigned long value;
};

const Named kRequests[] = {
    {"VIDIOC_QUERYCAP", VIDIOC_QUERYCAP},   {"VIDIOC_S_INPUT", VIDIOC_S_INPUT},
    {"VIDIOC_G_INPUT", VIDIOC_G_INPUT},     {"VIDIOC_TRY_FMT", VIDIOC_TRY_FMT},
    {"VIDIOC_S_FMT", VIDIOC_S_FMT},         {"VIDIOC_G_FMT", VIDIOC_G_FMT},
    {"VIDIOC_REQBUFS", VIDIOC_REQBUFS},     {"VIDIOC_QUERYBUF", VIDIOC_QUERYBUF},
    {"VIDIOC_QBUF", VIDIOC_QBUF},           {"VIDIOC_DQBUF", VIDIOC_DQBUF},
    {"VIDIOC_STREAMON", VIDIOC_STREAMON},   {"VIDIOC_STREAMOFF", VIDIOC_STREAMOFF},
    {"VIDIOC_S_CTRL", VIDIOC_S_CTRL},       {"VIDIOC_G_CTRL", VIDIOC_G_CTRL},
    {"MEDIA_IOC_DEVICE_INFO", MEDIA_IOC_DEVICE_INFO},
    {"MEDIA_IOC_ENUM_ENTITIES", MEDIA_IOC_ENUM_ENTITIES},
    {"MEDIA_IOC_SETUP_LINK", MEDIA_IOC_SETUP_LINK},
    {"VIDIOC_SUBDEV_S_FMT", VIDIOC_SUBDEV_S_FMT},
    {"VIDIOC_SUBDEV_G_FMT", VIDIOC_SUBDEV_G_FMT},
};

const Named kErrors[] = {{"EINTR", EINTR},   {"EAGAIN", EAGAIN}, {"EINVAL", EINVAL},
                         {"ETIMEDOUT", ETIMEDOUT}, {"EIO", EIO}, {"EBUSY", EBUSY},
                         {"ENOTTY", ENOTTY}, {"EACCES", EACCES}, {"EPERM", EPERM},
                         {"ENODEV", ENODEV}, {"ENOMEM", ENOMEM}, {"ok", 0}};

bool lookup(const Named* table, size_t count, const std::string& name, unsigned long& value) {
    for (size_t i = 0; i < count; ++i) {
        if (name == table[i].name) {
            value = table[i].value;
            return true;
        }
    }
    return false;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

bool toLong(const std::string& text, long& value, int base = 0) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, base);
    return errno == 0 && end != text.c_str() && *end == '\0';
}

// "NAME:E1/E2*3/ok" : the errors of successive calls of that request.
bool parseIoctlScript(Config& config, const std::string& value) {
    const size_t colon = value.find(':');
    if (colon == std::string::npos) return false;
    unsigned long request = 0;
    if (!lookup(kRequests, std::size(kRequests), value.substr(0, colon), request)) return false;
    auto& script = config.ioctlErrors[request];
    for (const std::string& item : split(value.substr(colon + 1), '/')) {
        const size_t star = item.find('*');
        long repeat = 1;
        if (star != std::string::npos && (!toLong(item.substr(star + 1), repeat) || repeat < 1))
            return false;
        unsigned long error = 0;
        if (!lookup(kErrors, std::size(kErrors), item.substr(0, star), error)) return false;
        for (long i = 0; i < repeat; ++i) script.push_back(int(error));
    }
    return true;
}

// "5.999000/6.002000": seconds.microseconds of successive sub-frames.
bool parseTimestamps(Config& config, const std::string& value) {
    for (const std::string& item : split(value, '/')) {
        const size_t dot = item.find('.');
        long seconds = 0, micros = 0;
        if (dot == std::string::npos || !toLong(item.substr(0, dot), seconds, 10) ||
            !toLong(item.substr(dot + 1), micros, 10) || micros < 0 || micros > 999999)
            return false;
        config.timestamps.push_back(timeval{seconds, micros});
    }
    return true;
}

}  // namespace

const char* requestName(unsigned long request) {
    for (const Named& n : kRequests)
        if (n.value == request) return n.name;
    return "UNKNOWN";
}

void applyPlatformDefaults(Config& c) {
    if (c.platform == "rpi5") {
        c.model = "Raspberry Pi 5 Model B Rev 1.0";
        c.layout = Layout::Y12P;
    } else if (c.platform == "rpi4") {
        c.model = "Raspberry Pi 4 Model B Rev 1.4";
        c.layout = Layout::Plain;
    } else if (c.platform == "xavier") {
        c.model = "NVIDIA Jetson Xavier NX Developer Kit";
        c.layout = Layout::LinePairs;
    } else if (c.platform == "nano") {
        c.model = "NVIDIA Jetson Nano Developer Kit";
        c.layout = Layout::Strided;
    } else {
        c.model.clear();  // generic: no device-tree model file
        c.layout = Layout::Plain;
    }
}

bool applySettings(Config& c, const std::string& settings, std::string& error) {
    // The platform sets the model and layout defaults: it goes first.
    std::vector<std::string> items;
    for (const std::string& item : split(settings, ','))
        if (item.rfind("platform=", 0) == 0) items.insert(items.begin(), item);
        else items.push_back(item);
    for (const std::string& item : items) {
        if (item.empty()) continue;
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        long number = 0;
        bool ok = true;
        std::string why;  // the reason, where a setting has more to say than its text
        if (key == "platform") {
            ok = value == "rpi5" || value == "rpi4" || value == "xavier" || value == "nano" ||
                 value == "generic";
            if (ok) {
                c.platform = value;
                applyPlatformDefaults(c);
            }
        } else if (key == "model") {
            c.model = value;
        } else if (key == "scene") {
            ok = isKnownScene(value);
            if (ok) c.scene = value;
        } else if (key == "lens") {
            ok = parseLens(value, c.lens, why);
        } else if (key == "fps") {
            ok = toLong(value, number) && number >= 1 && number <= 120;
            if (ok) c.fps = double(number);
        } else if (key == "layout") {
            ok = parseLayout(value, c.layout);
        } else if (key == "cameras") {
            ok = toLong(value, number) && number >= 1 && number <= 8;
            if (ok) c.cameras = int(number);
        } else if (key == "sensor_name") {
            c.sensorName = value;
        } else if (key == "noise") {
            ok = toLong(value, number) && number > 0;
            if (ok) c.noiseSeed = uint32_t(number);
        } else if (key == "moving") {
            c.moving = true;
        } else if (key == "replay") {
            ok = !value.empty();
            if (ok) c.replayPath = value;
        } else if (key == "replay_fast") {
            c.replayFast = true;
        } else if (key == "replay_loop") {
            c.replayLoop = true;
        } else if (key == "log") {
            c.logPath = value;
        } else if (key == "grant") {
            ok = toLong(value, number) && number >= 0 && number <= 32;
            if (ok) c.grant = int(number);
        } else if (key == "mmap_fail") {
            ok = value.empty() || (toLong(value, number) && number >= 1);
            if (ok) c.mmapFail = value.empty() ? 1 : int(number);
        } else if (key == "dqbuf_index") {
            ok = toLong(value, number) && number >= 0;
            if (ok) c.dqbufIndex = int(number);
        } else if (key == "stall_after") {
            ok = toLong(value, number) && number >= 0;
            if (ok) c.stallAfter = number;
        } else if (key == "buflen") {
            ok = toLong(value, number) && number >= 1 && number <= 1 << 20;
            if (ok) c.bufferLength = number;
        } else if (key == "stamp_clock") {  // the clock the buffer flags name
            ok = value == "monotonic" || value == "unknown";
            if (ok) c.stampsOfUnknownClock = value == "unknown";
        } else if (key == "spacing") {
            ok = toLong(value, number) && number >= 1 && number <= 1000000;
            if (ok) c.spacingMicros = number;
        } else if (key == "fmt_width") {
            ok = toLong(value, number) && number >= 1 && number <= 8192;
            if (ok) c.formatWidth = number;
        } else if (key == "try_field") {
            ok = toLong(value, number) && number >= 0 && number <= 9;
            if (ok) c.tryField = number;
        } else if (key == "log_size") {
            ok = toLong(value, number) && number >= 16 && number <= 100000000;
            if (ok) c.logCapacity = size_t(number);
        } else if (key == "entries") {
            c.entries = split(value, '/');
            c.entriesSet = true;
        } else if (key == "no_media") {
            c.entries = {".", "..", "driver", "video4linux", "uevent"};
            c.entriesSet = true;
        } else if (key == "scandir_fail") {
            c.scandirFail = true;
        } else if (key == "fstat_fail") {
            c.fstatFail = true;
        } else if (key == "not_char") {
            c.notChar = true;
        } else if (key == "readlink_fail") {
            c.readlinkFail = value;
        } else if (key == "link_noslash") {
            c.linkNoSlash = value;
        } else if (key == "link_notsubdev") {
            c.linkNotSubdev = value;
        } else if (key == "subdev_open_fail") {
            c.subdevOpenFail = value;
        } else if (key == "ctrl_refuse") {
            c.ctrlRefuse = true;
        } else if (key == "no_sensor") {
            c.noSensor = true;
        } else if (key == "no_receiver") {
            c.noReceiver = true;
        } else if (key == "extra_csi2") {
            c.extraCsi2 = true;
        } else if (key == "link_fail") {
            c.linkFail = true;
        } else if (key == "subdev_fmt_fail") {
            c.subdevFormatFail = true;
        } else if (key == "video_open_fail") {
            c.videoOpenFail = true;
        } else if (key == "ts") {
            ok = parseTimestamps(c, value);
        } else if (key == "ioctl") {
            ok = parseIoctlScript(c, value);
        } else {
            ok = false;
        }
        if (!ok) {
            error = why.empty() ? item : item + " (" + why + ")";
            return false;
        }
    }
    return true;
}

}  // namespace LumivexSim
