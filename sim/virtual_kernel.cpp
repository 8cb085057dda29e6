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

namespace LumivexSim {

const char* requestName(unsigned long request);

namespace {
constexpr uint32_t kVideoMajor = 81;
constexpr uint32_t kMediaMajor = 237;
constexpr uint32_t kSubdevMinorBase = 100;
constexpr uint32_t kRangeControl = 0x00981901;

int64_t nowMicros() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

std::string fourcc(uint32_t f) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += char((f >> (8 * i)) & 0xFF);
    return s;
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// N of "<prefix>N", or -1.
int nodeNumber(const char* path, const char* prefix) {
    if (!startsWith(path, prefix)) return -1;
    const char* digits = path + std::strlen(prefix);
    if (*digits < '0' || *digits > '9') return -1;
    char* end = nullptr;
    const long n = std::strtol(digits, &end, 10);
    return (*end == '\0' && n < 1000) ? int(n) : -1;
}

constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";
}  // namespace

VirtualKernel& VirtualKernel::instance() {
    static VirtualKernel* kernel = new VirtualKernel();  // never destroyed: used until exit
    return *kernel;
}

VirtualKernel::VirtualKernel() {
    applyPlatformDefaults(config);
    std::string settings;
    if (const char* p = std::getenv("LUMIVEX_SIM_PLATFORM")) settings += std::string("platform=") + p + ",";
    if (const char* s = std::getenv("LUMIVEX_SIM_SCENE")) settings += std::string("scene=") + s + ",";
    if (const char* f = std::getenv("LUMIVEX_SIM_FPS")) settings += std::string("fps=") + f + ",";
    if (const char* l = std::getenv("LUMIVEX_SIM_LOG")) settings += std::string("log=") + l + ",";
    if (const char* x = std::getenv("LUMIVEX_SIM")) settings += x;
    std::string error;
    if (!applySettings(config, settings, error))
        std::fprintf(stderr, "lumivex virtual kernel: bad setting '%s' ignored\n", error.c_str());
    resetDevices();
}

void VirtualKernel::resetDevices() {
    for (auto& node : videoNodes) freeBuffers(node);
    videoNodes.assign(size_t(config.cameras), VideoNode{});
    for (auto& node : videoNodes) {
        node.format.width = kWidth;
        node.format.height = kHeight;
        node.format.pixelformat = config.layout == Layout::Y12P ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
        node.format.field = V4L2_FIELD_NONE;
    }
    scene = makeScene(config.scene);
    cachedRange = -1;
    mmapCalls = 0;
    if (logFd >= 0) real().close(logFd);
    logFd = config.logPath.empty()
                ? -1
                : real().open(config.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

int VirtualKernel::configure(const char* settings) {
    std::lock_guard<std::mutex> lock(mutex);
    Config fresh;
    applyPlatformDefaults(fresh);
    std::string error;
    if (!applySettings(fresh, settings ? settings : "", error)) {
        std::fprintf(stderr, "lumivex virtual kernel: bad setting '%s'\n", error.c_str());
        return -1;
    }
    config = fresh;
    // Streaming state and mappings held by open descriptors stay as they are.
    if (files.empty() && mappings.empty()) resetDevices();
    else {
        scene = makeScene(config.scene);
        cachedRange = -1;
        mmapCalls = 0;
    }
    rangeControl = 0;
    exposure = 100;
    linkEnabled = false;
    return 0;
}

void VirtualKernel::log(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    events.emplace_back(line);
    while (events.size() > config.logCapacity) events.pop_front();
    if (logFd >= 0) {
        std::string text = std::string(line) + "\n";
        if (::write(logFd, text.data(), text.size()) < 0) { /* the log is best effort */ }
    }
}

std::string VirtualKernel::logText() {
    std::lock_guard<std::mutex> lock(mutex);
    std::string text;
    for (const auto& e : events) text += e + "\n";
    return text;
}

void VirtualKernel::clearLog() {
    std::lock_guard<std::mutex> lock(mutex);
    events.clear();
}

int VirtualKernel::openDescriptors() {
    std::lock_guard<std::mutex> lock(mutex);
    return int(files.size());
}

int VirtualKernel::liveMappings() {
    std::lock_guard<std::mutex> lock(mutex);
    return int(mappings.size());
}

bool VirtualKernel::controlsOnSubdev() const {
    return config.platform == "rpi4" || config.platform == "rpi5";
}

std::vector<Entity> VirtualKernel::entities() const {
    std::vector<Entity> list;
    if (config.platform == "rpi5") {
        list = {{1, "rp1-cfe-csi2_ch0", kVideoMajor, 0, -1},
                {2, "rp1-cfe-embedded", kVideoMajor, 1, -1},
                {3, "csi2", kVideoMajor, kSubdevMinorBase + 0, 0},
                {4, "pisp-fe", kVideoMajor, kSubdevMinorBase + 1, 1}};
        if (!config.noSensor) list.push_back({5, config.sensorName, kVideoMajor, kSubdevMinorBase + 2, 2});
        if (config.noReceiver) list.erase(list.begin() + 2);  // the CSI-2 receiver
    } else if (config.platform == "rpi4") {
        list = {{1, "unicam-image", kVideoMajor, 0, -1}, {2, "unicam-embedded", kVideoMajor, 1, -1}};
        if (config.extraCsi2) list.push_back({3, "csi2", kVideoMajor, kSubdevMinorBase + 0, 0});
        if (!config.noSensor) list.push_back({4, config.sensorName, kVideoMajor, kSubdevMinorBase + 1, 1});
    }
    return list;
}

const Entity* VirtualKernel::entityByDevice(uint32_t major, uint32_t minor) const {
    static thread_local std::vector<Entity> list;
    list = entities();
    for (const Entity& e : list)
        if (e.major == major && e.minor == minor && e.subdev >= 0) return &e;
    return nullptr;
}

int VirtualKernel::failWith(int error) const {
    errno = error;
    return -1;
}

// ---- paths and descriptors ----

bool VirtualKernel::handlesPath(const char* path) const {
    return path != nullptr &&
           (startsWith(path, "/dev/video") || startsWith(path, "/dev/media") ||
            startsWith(path, "/dev/v4l-subdev"));
}

int VirtualKernel::open(const char* path, int flags) {
    std::lock_guard<std::mutex> lock(mutex);
    OpenFile file{Kind::Video, -1, path};
    int n;
    const bool pi = controlsOnSubdev();
    if ((n = nodeNumber(path, "/dev/video")) >= 0 && n < config.cameras) {
        if (config.videoOpenFail) {
            log("open %s -> EACCES", path);
            return failWith(EACCES);
        }
        file = {Kind::Video, n, path};
    } else if ((n = nodeNumber(path, "/dev/media")) == 0 && pi) {
        file = {Kind::Media, 0, path};
    } else if ((n = nodeNumber(path, "/dev/v4l-subdev")) >= 0 && pi) {
        bool exists = false;
        for (const Entity& e : entities()) exists = exists || e.subdev == n;
        if (!exists) {
            log("open %s -> ENOENT", path);
            return failWith(ENOENT);
        }
        if (!config.subdevOpenFail.empty() && std::strstr(path, config.subdevOpenFail.c_str())) {
            log("open %s -> ENXIO", path);
            return failWith(ENXIO);
        }
        file = {Kind::Subdev, n, path};
    } else {
        log("open %s -> ENOENT", path);
        return failWith(ENOENT);
    }
    const int fd = real().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) return -1;
    files[fd] = file;
    log("open %s fd=%d", path, fd);
    return fd;
}

bool VirtualKernel::isVirtual(int fd) const {
    std::lock_guard<std::mutex> lock(mutex);
    return files.count(fd) != 0;
}

int VirtualKernel::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = files.find(fd);
    if (it == files.end()) return real().close(fd);
    log("close %s fd=%d", it->second.path.c_str(), fd);
    const OpenFile file = it->second;
    files.erase(it);
    if (file.kind == Kind::Video) {
        // The last close of a node stops its stream and frees unmapped buffers.
        bool stillOpen = false;
        for (const auto& f : files) stillOpen = stillOpen || (f.second.kind == Kind::Video && f.second.index == file.index);
        VideoNode& node = videoNodes[size_t(file.index)];
        if (!stillOpen) {
            node.streaming = false;
            node.queue.clear();
            if (node.mappings == 0) freeBuffers(node);
        }
    }
    return real().close(fd);
}

int VirtualKernel::fstat(int fd, struct stat* status) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = files.find(fd);
    if (found == files.end()) return failWith(EBADF);  // closed meanwhile by another thread
    const OpenFile& file = found->second;
    if (config.fstatFail) {
        log("fstat %s -> EIO", file.path.c_str());
        return failWith(EIO);
    }
    std::memset(status, 0, sizeof *status);
    status->st_mode = config.notChar ? (S_IFREG | 0644) : (S_IFCHR | 0660);
    uint32_t major = kVideoMajor, minor = uint32_t(file.index);
    if (file.kind == Kind::Media) major = kMediaMajor;
    if (file.kind == Kind::Subdev) minor = kSubdevMinorBase + uint32_t(file.index);
    status->st_rdev = makedev(major, minor);
    log("fstat %s rdev=%u:%u", file.path.c_str(), major, minor);
    return 0;
}

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

// ---- memory mapping ----

void* VirtualKernel::mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = files.find(fd);
    if (found == files.end()) {
        errno = EBADF;
        return MAP_FAILED;
    }
    const OpenFile& file = found->second;
    if (file.kind != Kind::Video) {
        log("mmap %s -> ENODEV", file.path.c_str());
        errno = ENODEV;
        return MAP_FAILED;
    }
    VideoNode& node = videoNodes[size_t(file.index)];
    ++mmapCalls;
    const Buffer* target = nullptr;
    for (const Buffer& b : node.buffers)
        if (off_t(b.offset) == offset) target = &b;
    if (config.mmapFail == mmapCalls || target == nullptr || length > node.stride ||
        !(flags & MAP_SHARED)) {
        log("mmap %s offset=%lld length=%zu -> MAP_FAILED", file.path.c_str(), (long long)offset, length);
        errno = target == nullptr ? EINVAL : ENOMEM;
        return MAP_FAILED;
    }
    void* map = real().mmap(address, length, protection, flags, node.memfd, offset);
    if (map == MAP_FAILED) return map;
    mappings[map] = Mapping{length, file.path};
    ++node.mappings;
    log("mmap %s offset=%lld length=%zu", file.path.c_str(), (long long)offset, length);
    return map;
}

bool VirtualKernel::ownsMapping(void* address) {
    std::lock_guard<std::mutex> lock(mutex);
    return mappings.count(address) != 0;
}

int VirtualKernel::munmap(void* address, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = mappings.find(address);
    if (it == mappings.end()) return real().munmap(address, length);
    log("munmap %s length=%zu", it->second.path.c_str(), length);
    for (size_t i = 0; i < videoNodes.size(); ++i) {
        if (it->second.path == "/dev/video" + std::to_string(i)) {
            VideoNode& node = videoNodes[i];
            if (--node.mappings == 0) {
                bool open = false;
                for (const auto& f : files) open = open || (f.second.kind == Kind::Video && f.second.index == int(i));
                if (!open) freeBuffers(node);
            }
        }
    }
    mappings.erase(it);
    return real().munmap(address, length);
}

// ---- ioctl ----

int VirtualKernel::scriptedError(unsigned long request) {
    auto it = config.ioctlErrors.find(request);
    if (it == config.ioctlErrors.end() || it->second.empty()) return 0;
    const int error = it->second.front();
    it->second.pop_front();
    return error;
}

int VirtualKernel::ioctl(int fd, unsigned long request, void* argument) {
    std::unique_lock<std::mutex> lock(mutex);
    auto found = files.find(fd);
    if (found == files.end()) return failWith(EBADF);
    const OpenFile file = found->second;
    if (const int error = scriptedError(request)) {
        log("ioctl %s %s -> %s", file.path.c_str(), requestName(request), std::strerror(error));
        return failWith(error);
    }
    if (argument == nullptr) return failWith(EFAULT);
    int result;
    switch (file.kind) {
        case Kind::Video: result = videoIoctl(lock, file.index, file.path, request, argument); break;
        case Kind::Media: result = mediaIoctl(request, argument); break;
        default: result = subdevIoctl(file.index, request, argument); break;
    }
    const int error = errno;
    if (!lock.owns_lock()) lock.lock();
    if (request != VIDIOC_DQBUF && request != VIDIOC_QBUF && request != VIDIOC_REQBUFS && request != VIDIOC_QUERYBUF &&
        request != VIDIOC_S_FMT && request != VIDIOC_TRY_FMT && request != VIDIOC_S_CTRL &&
        request != VIDIOC_G_CTRL && request != MEDIA_IOC_SETUP_LINK && request != VIDIOC_SUBDEV_S_FMT &&
        request != MEDIA_IOC_ENUM_ENTITIES)
        log("ioctl %s %s -> %s", file.path.c_str(), requestName(request), result == 0 ? "0" : std::strerror(error));
    errno = error;
    return result;
}

int VirtualKernel::controlIoctl(const char* at, unsigned long request, void* argument) {
    auto* control = static_cast<v4l2_control*>(argument);
    const char* name = request == VIDIOC_S_CTRL ? "VIDIOC_S_CTRL" : "VIDIOC_G_CTRL";
    if (config.ctrlRefuse || (control->id != kRangeControl && control->id != V4L2_CID_EXPOSURE)) {
        log("ioctl %s %s id=0x%08x -> EINVAL", at, name, control->id);
        return failWith(EINVAL);
    }
    int32_t& target = control->id == kRangeControl ? rangeControl : exposure;
    if (request == VIDIOC_S_CTRL) {
        if (control->id == kRangeControl && control->value != 0 && control->value != 1) {
            log("ioctl %s %s id=0x%08x value=%d -> ERANGE", at, name, control->id, control->value);
            return failWith(ERANGE);
        }
        target = control->value;
    } else {
        control->value = target;
    }
    log("ioctl %s %s id=0x%08x value=%d", at, name, control->id, control->value);
    return 0;
}

int VirtualKernel::videoIoctl(std::unique_lock<std::mutex>& lock, int index, const std::string& path,
                              unsigned long request, void* argument) {
    VideoNode& node = videoNodes[size_t(index)];
    const char* at = path.c_str();
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            std::memset(caps, 0, sizeof *caps);
            std::snprintf(reinterpret_cast<char*>(caps->driver), sizeof caps->driver, "lumivex-virtual");
            std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "Lumivex ToF (virtual)");
            caps->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
            caps->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_S_INPUT:
            // videobuf2: no input change while buffers are allocated.
            if (!node.buffers.empty()) {
                log("ioctl %s VIDIOC_S_INPUT -> EBUSY (buffers allocated)", at);
                return failWith(EBUSY);
            }
            if (*static_cast<int*>(argument) != 0) return failWith(EINVAL);
            node.input = 0;
            return 0;
        case VIDIOC_G_INPUT:
            *static_cast<int*>(argument) = node.input;
            return 0;
        case VIDIOC_TRY_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_G_FMT: {
            auto* format = static_cast<v4l2_format*>(argument);
            if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
            if (request == VIDIOC_G_FMT) {
                format->fmt.pix = node.format;
                return 0;
            }
            const uint32_t asked = format->fmt.pix.pixelformat;
            // videobuf2: no format change while buffers are allocated.
            if (request == VIDIOC_S_FMT && (node.streaming || !node.buffers.empty())) {
                log("ioctl %s VIDIOC_S_FMT -> EBUSY (buffers allocated)", at);
                return failWith(EBUSY);
            }
            const uint32_t askedField = format->fmt.pix.field;
            // The driver offers the format its receiver delivers.
            v4l2_pix_format pix = node.format;
            if (config.formatWidth > 0) pix.width = uint32_t(config.formatWidth);
            if (request == VIDIOC_TRY_FMT && config.tryField >= 0) pix.field = uint32_t(config.tryField);
            pix.sizeimage = uint32_t(bufferLength());
            pix.bytesperline = config.layout == Layout::Y12P ? 368 : config.layout == Layout::Strided ? 512 : 480;
            format->fmt.pix = pix;
            if (request == VIDIOC_S_FMT) node.format = pix;
            log("ioctl %s %s pixelformat=%s field=%u -> %s width=%u height=%u", at, requestName(request),
                fourcc(asked).c_str(), askedField, fourcc(pix.pixelformat).c_str(), pix.width, pix.height);
            return 0;
        }
        case VIDIOC_REQBUFS:
            return requestBuffers(node, *static_cast<v4l2_requestbuffers*>(argument));
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->index >= node.buffers.size()) {
                log("ioctl %s VIDIOC_QUERYBUF index=%u -> EINVAL", at, buffer->index);
                return failWith(EINVAL);
            }
            const Buffer& b = node.buffers[buffer->index];
            buffer->length = b.length;
            buffer->m.offset = b.offset;
            buffer->memory = V4L2_MEMORY_MMAP;
            buffer->flags = b.queued ? V4L2_BUF_FLAG_QUEUED : 0;
            log("ioctl %s VIDIOC_QUERYBUF index=%u length=%u offset=%u", at, buffer->index, b.length, b.offset);
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP ||
                buffer->index >= node.buffers.size() || node.buffers[buffer->index].queued) {
                log("ioctl %s VIDIOC_QBUF index=%u -> EINVAL", at, buffer->index);
                return failWith(EINVAL);
            }
            node.buffers[buffer->index].queued = true;
            node.queue.push_back(buffer->index);
            log("ioctl %s VIDIOC_QBUF index=%u", at, buffer->index);
            return 0;
        }
        case VIDIOC_DQBUF:
            return dequeue(lock, node, *static_cast<v4l2_buffer*>(argument));
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
            if (request == VIDIOC_STREAMON) {
                if (node.buffers.empty()) {
                    log("ioctl %s VIDIOC_STREAMON -> EINVAL (no buffers)", at);
                    return failWith(EINVAL);
                }
                node.streaming = true;
                node.startMicros = nowMicros();
                node.nextSubFrame = 0;
                node.delivered = 0;
            } else {
                node.streaming = false;
                for (auto& b : node.buffers) b.queued = false;
                node.queue.clear();
            }
            return 0;
        }
        case VIDIOC_S_CTRL:
        case VIDIOC_G_CTRL:
            // On Raspberry Pi hosts the sensor's controls live on its sub-device.
            if (controlsOnSubdev()) {
                log("ioctl %s %s -> ENOTTY (controls are on the sensor sub-device)", at, requestName(request));
                return failWith(ENOTTY);
            }
            return controlIoctl(at, request, argument);
        default:
            return failWith(ENOTTY);
    }
}

size_t VirtualKernel::bufferLength() const {
    return config.bufferLength > 0 ? size_t(config.bufferLength) : layoutLength(config.layout);
}

void VirtualKernel::freeBuffers(VideoNode& node) {
    if (node.driverMap != nullptr) real().munmap(node.driverMap, node.mapSize);
    if (node.memfd >= 0) real().close(node.memfd);
    node.driverMap = nullptr;
    node.memfd = -1;
    node.buffers.clear();
    node.queue.clear();
}

int VirtualKernel::requestBuffers(VideoNode& node, v4l2_requestbuffers& request) {
    if (request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request.memory != V4L2_MEMORY_MMAP) {
        log("ioctl /dev/video VIDIOC_REQBUFS -> EINVAL");
        return failWith(EINVAL);
    }
    // videobuf2: no buffer request while streaming, nor a new allocation
    // while buffers are mapped (a count of 0 frees them once unmapped).
    if (node.streaming || node.mappings > 0) {
        log("ioctl /dev/video VIDIOC_REQBUFS count=%u -> EBUSY", request.count);
        return failWith(EBUSY);
    }
    freeBuffers(node);
    const uint32_t asked = request.count;
    uint32_t granted = config.grant >= 0 ? uint32_t(config.grant) : std::min<uint32_t>(asked, 32);
    if (asked == 0) granted = 0;
    request.count = granted;
    log("ioctl /dev/video VIDIOC_REQBUFS count=%u -> granted %u", asked, granted);
    if (granted == 0) return 0;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    node.stride = (bufferLength() + page - 1) / page * page;
    node.mapSize = node.stride * granted;
    node.memfd = memfd_create("lumivex-virtual-buffers", MFD_CLOEXEC);
    if (node.memfd < 0 || ftruncate(node.memfd, off_t(node.mapSize)) != 0) return failWith(ENOMEM);
    void* map = real().mmap(nullptr, node.mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, node.memfd, 0);
    if (map == MAP_FAILED) return failWith(ENOMEM);
    node.driverMap = static_cast<uint8_t*>(map);
    node.buffers.resize(granted);
    for (uint32_t i = 0; i < granted; ++i) {
        node.buffers[i].length = uint32_t(bufferLength());
        node.buffers[i].offset = uint32_t(i * node.stride);
    }
    return 0;
}

const PhaseImages& VirtualKernel::phases(uint64_t frame) {
    const int range = rangeControl != 0 ? 2 : 4;
    const uint64_t key = config.moving || config.noiseSeed ? frame : 0;
    if (range != cachedRange || key != cachedFrame) {
        cached = renderPhases(scene, range, frame, config.moving, config.noiseSeed);
        cachedRange = range;
        cachedFrame = key;
    }
    return cached;
}

int64_t VirtualKernel::dueMicros(const VideoNode& node, uint64_t subFrame) const {
    // Sub-frame n is due at start + (n / 4) frame periods + (n % 4) spacings.
    const int64_t period = int64_t(1e6 / config.fps);
    return node.startMicros + int64_t(subFrame / 4) * period + int64_t(subFrame % 4) * config.spacingMicros;
}

void VirtualKernel::skipIfLate(VideoNode& node, int64_t now) {
    // A reader more than two frame periods late finds the queued buffers
    // overwritten: it continues with the current frame.
    const int64_t period = int64_t(1e6 / config.fps);
    if (now - dueMicros(node, node.nextSubFrame) > 2 * period)
        node.nextSubFrame = uint64_t((now - node.startMicros) / period) * 4;
}

bool VirtualKernel::stalled(const VideoNode& node) const {
    return config.stallAfter >= 0 && node.delivered >= uint64_t(config.stallAfter);
}

short VirtualKernel::pollEvents(int fd, int64_t now, int64_t& wakeAt) {
    auto found = files.find(fd);
    if (found == files.end() || found->second.kind != Kind::Video) return 0;  // not ours to answer
    VideoNode& node = videoNodes[size_t(found->second.index)];
    if (!node.streaming || node.queue.empty()) return POLLERR;
    if (stalled(node)) return 0;
    if (!config.timestamps.empty()) return POLLIN | POLLRDNORM;
    skipIfLate(node, now);
    const int64_t due = dueMicros(node, node.nextSubFrame);
    if (due <= now) return POLLIN | POLLRDNORM;
    wakeAt = std::min(wakeAt, due);
    return 0;
}

int VirtualKernel::poll(struct pollfd* fds, unsigned long count, int timeoutMs) {
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : nowMicros() + int64_t(timeoutMs) * 1000;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const int64_t now = nowMicros();
        int64_t wakeAt = deadline;
        int ready = 0;
        for (unsigned long i = 0; i < count; ++i) {
            fds[i].revents = fds[i].fd < 0 ? 0 : short(pollEvents(fds[i].fd, now, wakeAt) & (fds[i].events | POLLERR | POLLNVAL));
            ready += fds[i].revents != 0;
        }
        if (ready > 0 || now >= deadline) {
            if (ready == 0) log("poll -> timed out");
            return ready;
        }
        lock.unlock();  // sleep until the next sub-frame is due, 10 ms at most
        std::this_thread::sleep_for(std::chrono::microseconds(std::min<int64_t>(wakeAt - now, 10000)));
        lock.lock();
    }
}

int VirtualKernel::dequeue(std::unique_lock<std::mutex>& lock, VideoNode& node, v4l2_buffer& out) {
    if (out.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !node.streaming || node.queue.empty()) {
        log("ioctl /dev/video VIDIOC_DQBUF -> EINVAL (%s)", !node.streaming ? "not streaming" : "no buffer queued");
        return failWith(EINVAL);
    }
    while (stalled(node)) {  // a blocking dequeue waits as long as the sensor is silent
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lock.lock();
        if (!node.streaming || node.queue.empty()) return failWith(EINVAL);
    }
    timeval stamp{};
    uint64_t subFrame;
    if (!config.timestamps.empty()) {
        stamp = config.timestamps.front();
        config.timestamps.erase(config.timestamps.begin());
        subFrame = node.nextSubFrame++;
    } else {
        const int64_t now = nowMicros();
        skipIfLate(node, now);
        subFrame = node.nextSubFrame++;
        const int64_t when = dueMicros(node, subFrame);
        if (when > now) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(when - now));
            lock.lock();
            if (!node.streaming || node.queue.empty()) return failWith(EINVAL);
        }
        stamp.tv_sec = when / 1000000;
        stamp.tv_usec = when % 1000000;
    }
    ++node.delivered;
    const uint32_t index = node.queue.front();
    node.queue.pop_front();
    Buffer& buffer = node.buffers[index];
    buffer.queued = false;
    const PhaseImages& images = phases(subFrame / 4);
    encodeSubFrame(images.phase[subFrame % 4].data(), config.layout, node.driverMap + buffer.offset,
                   buffer.length);
    std::memset(&out, 0, sizeof out);
    out.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out.memory = V4L2_MEMORY_MMAP;
    out.index = index;
    out.length = buffer.length;
    out.bytesused = buffer.length;
    out.m.offset = buffer.offset;
    out.timestamp = stamp;
    out.sequence = node.sequence++;
    out.field = V4L2_FIELD_NONE;
    out.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (config.dqbufIndex >= 0) {
        out.index = uint32_t(config.dqbufIndex);
        config.dqbufIndex = -1;
        node.queue.push_front(index);  // the real buffer stays with the driver
        buffer.queued = true;
    }
    log("ioctl /dev/video VIDIOC_DQBUF index=%u time=%ld.%06ld", out.index, long(stamp.tv_sec), long(stamp.tv_usec));
    return 0;
}

int VirtualKernel::mediaIoctl(unsigned long request, void* argument) {
    switch (request) {
        case MEDIA_IOC_DEVICE_INFO: {
            auto* info = static_cast<media_device_info*>(argument);
            std::memset(info, 0, sizeof *info);
            std::snprintf(info->driver, sizeof info->driver, "lumivex-virtual");
            return 0;
        }
        case MEDIA_IOC_ENUM_ENTITIES: {
            auto* desc = static_cast<media_entity_desc*>(argument);
            const bool next = desc->id & MEDIA_ENT_ID_FLAG_NEXT;
            const uint32_t id = desc->id & ~MEDIA_ENT_ID_FLAG_NEXT;
            for (const Entity& e : entities()) {
                if (next ? e.id > id : e.id == id) {
                    std::memset(desc, 0, sizeof *desc);
                    desc->id = e.id;
                    std::snprintf(desc->name, sizeof desc->name, "%s", e.name.c_str());
                    desc->type = e.subdev >= 0 ? MEDIA_ENT_T_V4L2_SUBDEV : MEDIA_ENT_T_DEVNODE_V4L;
                    desc->dev.major = e.major;
                    desc->dev.minor = e.minor;
                    log("ioctl /dev/media0 MEDIA_IOC_ENUM_ENTITIES id=0x%x -> %u '%s'",
                        next ? id | MEDIA_ENT_ID_FLAG_NEXT : id, e.id, e.name.c_str());
                    return 0;
                }
            }
            log("ioctl /dev/media0 MEDIA_IOC_ENUM_ENTITIES id=0x%x -> EINVAL", desc->id);
            return failWith(EINVAL);
        }
        case MEDIA_IOC_SETUP_LINK: {
            auto* link = static_cast<media_link_desc*>(argument);
            bool valid = false;
            const auto list = entities();
            for (const Entity& s : list)
                for (const Entity& k : list)
                    valid = valid || (s.id == link->source.entity && s.name == "csi2" &&
                                      k.id == link->sink.entity && k.name == "rp1-cfe-csi2_ch0");
            valid = valid && link->source.index == 4 && link->sink.index == 0 &&
                    (link->source.flags & MEDIA_PAD_FL_SOURCE) && (link->sink.flags & MEDIA_PAD_FL_SINK);
            log("ioctl /dev/media0 MEDIA_IOC_SETUP_LINK source=%u:%u sink=%u:%u flags=0x%x -> %s",
                link->source.entity, link->source.index, link->sink.entity, link->sink.index, link->flags,
                valid && !config.linkFail ? "0" : "EINVAL");
            if (!valid || config.linkFail) return failWith(EINVAL);
            linkEnabled = link->flags & MEDIA_LNK_FL_ENABLED;
            return 0;
        }
        default:
            return failWith(ENOTTY);
    }
}

int VirtualKernel::subdevIoctl(int index, unsigned long request, void* argument) {
    const Entity* entity = nullptr;
    static thread_local std::vector<Entity> list;
    list = entities();
    for (const Entity& e : list)
        if (e.subdev == index) entity = &e;
    if (entity == nullptr) return failWith(ENODEV);
    const bool isSensor = entity->name == config.sensorName;
    switch (request) {
        case VIDIOC_SUBDEV_S_FMT: {
            auto* format = static_cast<v4l2_subdev_format*>(argument);
            log("ioctl /dev/v4l-subdev%d VIDIOC_SUBDEV_S_FMT which=%u pad=%u width=%u height=%u code=0x%x "
                "field=%u -> %s",
                index, format->which, format->pad, format->format.width, format->format.height,
                format->format.code, format->format.field, config.subdevFormatFail ? "EINVAL" : "0");
            if (config.subdevFormatFail) return failWith(EINVAL);
            if (entity->name == "csi2") receiverFormat = format->format;
            return 0;
        }
        case VIDIOC_S_CTRL:
        case VIDIOC_G_CTRL:
            if (!isSensor) return failWith(ENOTTY);
            return controlIoctl(("/dev/v4l-subdev" + std::to_string(index)).c_str(), request, argument);
        default:
            return failWith(ENOTTY);
    }
}

}  // namespace LumivexSim
