// sysfs folders and links of the devices, and the device-tree model.
#include "virtual_kernel.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/v4l2-subdev.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <thread>

#include "real_libc.h"

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

#include "vkernel_shared.h"

namespace LumivexSim {

using namespace detail;

// ---- sysfs and the device tree ----

bool VirtualKernel::handlesSysfs(const char* path) const {
    return path != nullptr && startsWith(path, "/sys/dev/char/");
}

int VirtualKernel::scandir(const char* path, struct dirent*** list) {
    std::lock_guard<std::mutex> lock(mutex);
    unsigned major = 0, minor = 0;
    char tail[32] = {0};
    const bool isDeviceFolder = std::sscanf(path, "/sys/dev/char/%u:%u%31s", &major, &minor, tail) == 3 &&
                                std::strcmp(tail, "/device") == 0;
    if (config.scandirFail || !isDeviceFolder || major != kVideoMajor ||
        minor >= uint32_t(config.cameras)) {
        log("scandir %s -> ENOENT", path);
        return failWith(ENOENT);
    }
    std::vector<std::string> names = config.entries;
    if (!config.entriesSet) {
        names = {".", "..", "driver", "video4linux", "uevent"};
        if (controlsOnSubdev()) names.insert(names.begin() + 3, "media0");
    }
    auto** entries = static_cast<struct dirent**>(std::malloc(sizeof(struct dirent*) * (names.size() + 1)));
    for (size_t i = 0; i < names.size(); ++i) {
        entries[i] = static_cast<struct dirent*>(std::calloc(1, sizeof(struct dirent)));
        std::snprintf(entries[i]->d_name, sizeof entries[i]->d_name, "%s", names[i].c_str());
        entries[i]->d_type = DT_DIR;
    }
    *list = entries;
    log("scandir %s -> %zu", path, names.size());
    return int(names.size());
}

ssize_t VirtualKernel::readlink(const char* path, char* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    unsigned major = 0, minor = 0;
    char extra = 0;
    const Entity* entity = nullptr;
    if (std::sscanf(path, "/sys/dev/char/%u:%u%c", &major, &minor, &extra) == 2)
        entity = entityByDevice(major, minor);
    if (entity == nullptr) {
        log("readlink %s -> ENOENT", path);
        return failWith(ENOENT);
    }
    auto matches = [&](const std::string& part) {
        return !part.empty() && entity->name.find(part) != std::string::npos;
    };
    if (matches(config.readlinkFail)) {
        log("readlink %s -> EACCES", path);
        return failWith(EACCES);
    }
    std::string link = "../../devices/platform/axi/1000880000.pcie/1f00128000.csi/video4linux/v4l-subdev" +
                       std::to_string(entity->subdev);
    if (matches(config.linkNoSlash)) link = "v4l-subdev" + std::to_string(entity->subdev);
    if (matches(config.linkNotSubdev)) link = "../../devices/platform/axi/video4linux/video9";
    const size_t count = std::min(size, link.size());
    std::memcpy(buffer, link.data(), count);
    log("readlink %s -> %s", path, link.c_str());
    return ssize_t(count);
}

FILE* VirtualKernel::openModel() {
    std::string model;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (config.model.empty()) {
            log("fopen %s -> ENOENT", kModelPath);
            errno = ENOENT;
            return nullptr;
        }
        model = config.model;
        log("fopen %s", kModelPath);
    }
    FILE* file = tmpfile();
    if (file == nullptr) return nullptr;
    std::fwrite(model.c_str(), 1, model.size() + 1, file);  // the property ends with a NUL
    std::rewind(file);
    return file;
}

int VirtualKernel::openUevent(const char* path) {
    // /sys/dev/char/MAJOR:MINOR/uevent of a virtual node: what tools read to
    // tell a video node from a sub-device or a media device.
    unsigned major = 0, minor = 0;
    char tail[16] = {0};
    std::string name;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (std::sscanf(path, "/sys/dev/char/%u:%u%15s", &major, &minor, tail) == 3 && std::strcmp(tail, "/uevent") == 0) {
            if (major == kVideoMajor && minor < uint32_t(config.cameras)) name = "video" + std::to_string(minor);
            if (major == kVideoMajor && minor >= kSubdevMinorBase && controlsOnSubdev())
                name = "v4l-subdev" + std::to_string(minor - kSubdevMinorBase);
            if (major == kMediaMajor && minor == 0 && controlsOnSubdev()) name = "media0";
        }
        log("open %s%s", path, name.empty() ? " -> ENOENT" : "");
    }
    if (name.empty()) {
        errno = ENOENT;
        return -1;
    }
    const std::string text = "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) + "\nDEVNAME=" + name + "\n";
    const int fd = memfd_create("lumivex-uevent", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (::write(fd, text.data(), text.size()) != ssize_t(text.size()) || ::lseek(fd, 0, SEEK_SET) != 0) {
        real().close(fd);
        errno = EIO;
        return -1;
    }
    return fd;
}

int VirtualKernel::openModelDescriptor() {
    std::string model;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (config.model.empty()) {
            log("open %s -> ENOENT", kModelPath);
            errno = ENOENT;
            return -1;
        }
        model = config.model;
        log("open %s", kModelPath);
    }
    const int fd = memfd_create("lumivex-model", MFD_CLOEXEC);
    if (fd < 0) return -1;
    const std::string text = model + '\0';  // the property ends with a NUL
    if (::write(fd, text.data(), text.size()) != ssize_t(text.size()) || ::lseek(fd, 0, SEEK_SET) != 0) {
        real().close(fd);
        errno = EIO;
        return -1;
    }
    return fd;
}


}  // namespace LumivexSim
