// The virtual kernel itself: settings, the log, descriptors, memory mapping
// and the ioctl dispatch to its devices.
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
    const bool strict = std::getenv("LUMIVEX_SIM_STRICT") != nullptr;
    if (!applySettings(config, settings, error)) {
        // Under lumivex-virtual a bad setting ends the program before it runs.
        if (strict) {
            std::fprintf(stderr,
                         "lumivex-virtual: bad setting '%s' (every setting: "
                         "/usr/share/doc/lumivex-tools/virtual-hardware.md)\n",
                         error.c_str());
            _exit(2);
        }
        std::fprintf(stderr, "lumivex virtual kernel: bad setting '%s' ignored\n", error.c_str());
    }
    // A replayed file's path is taken whole: it may hold any character.
    if (const char* path = std::getenv("LUMIVEX_REPLAY"); path != nullptr && *path != '\0') {
        config.replayPath = path;
        config.replayFast = std::getenv("LUMIVEX_REPLAY_FAST") != nullptr;
        config.replayLoop = std::getenv("LUMIVEX_REPLAY_LOOP") != nullptr;
    }
    const bool platformGiven = std::getenv("LUMIVEX_SIM_PLATFORM") != nullptr || settings.find("platform=") != std::string::npos;
    if (!config.replayPath.empty() && !startReplay(config, settings, platformGiven, error)) {
        std::fprintf(stderr, "lumivex-virtual: %s\n", error.c_str());
        if (strict) _exit(2);
        config.replayPath.clear();
    }
    resetDevices();
    resetRange(replay && replay->firstRange() == 2 ? 1 : 0);  // the range it was recorded at
}

bool VirtualKernel::startReplay(Config& c, const std::string& settings, bool platformGiven, std::string& error) {
    replay.reset();
    usbReplayPath.clear();
    usbReplayNoted = false;
    // The C library's own fopen: this library's is not ready while it starts.
    std::FILE* file = real().fopen(c.replayPath.c_str(), "rb");
    if (file == nullptr) {
        error = c.replayPath + ": " + std::strerror(errno);
        return false;
    }
    auto source = std::make_unique<ReplaySource>();
    if (!source->open(file, c.replayPath, c.replayLoop, error)) return false;
    const std::string recorded = source->platform();
    if (!platformGiven && recorded != c.platform) {
        Config onRecordedHost;
        applyPlatformDefaults(onRecordedHost);
        if (!applySettings(onRecordedHost, "platform=" + recorded + "," + settings, error)) return false;
        onRecordedHost.replayPath = c.replayPath;
        onRecordedHost.replayFast = c.replayFast;
        onRecordedHost.replayLoop = c.replayLoop;
        c = onRecordedHost;
    }
    if (source->fromUsb()) {  // the virtual USB bus replays it; the host is all this side takes
        usbReplayPath = c.replayPath;
        return true;
    }
    // The recorded bytes are what this host's capture made of its driver's layout.
    if (c.platform != recorded) {
        error = c.replayPath + " was recorded on a " + source->header().get("platform") +
                " host: replay it with --platform " + recorded;
        return false;
    }
    replay = std::move(source);
    return true;
}

namespace {
// Under lumivex-virtual the settings are read as the program loads, so that
// a bad one is refused at once, whatever the program does.
__attribute__((constructor)) void readSettingsAtLoad() {
    if (std::getenv("LUMIVEX_SIM_STRICT") != nullptr) VirtualKernel::instance();
}
}  // namespace

void VirtualKernel::resetDevices() {
    for (auto& node : videoNodes) freeBuffers(node);
    videoNodes.assign(size_t(config.cameras), VideoNode{});
    for (auto& node : videoNodes) {
        node.format.width = kWidth;
        node.format.height = kHeight;
        node.format.pixelformat = config.layout == Layout::Y12P ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
        node.format.field = V4L2_FIELD_NONE;
        node.format.sizeimage = uint32_t(bufferLength());
        node.format.bytesperline = config.layout == Layout::Y12P ? 368 : config.layout == Layout::Strided ? 512 : 480;
    }
    scene = makeScene(config.scene, config.lens);
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
    const std::string text = settings ? settings : "";
    if (!applySettings(fresh, text, error)) {
        std::fprintf(stderr, "lumivex virtual kernel: bad setting '%s'\n", error.c_str());
        return -1;
    }
    replay.reset();
    usbReplayPath.clear();
    if (!fresh.replayPath.empty() && !startReplay(fresh, text, text.find("platform=") != std::string::npos, error)) {
        std::fprintf(stderr, "lumivex virtual kernel: %s\n", error.c_str());
        return -1;
    }
    config = fresh;
    // Streaming state and mappings held by open descriptors stay as they are.
    if (files.empty() && mappings.empty()) resetDevices();
    else {
        scene = makeScene(config.scene, config.lens);
        cachedRange = -1;
        mmapCalls = 0;
    }
    // A replayed camera comes up at the range it was recorded at.
    resetRange(replay && replay->firstRange() == 2 ? 1 : 0);
    exposure = 100;
    linkEnabled = false;
    return 0;
}

void VirtualKernel::log(const char* format, ...) {
    for (int n = pollTimeouts.exchange(0); n > 0; --n) events.emplace_back("poll -> timed out");
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
    for (int n = pollTimeouts.exchange(0); n > 0; --n) events.emplace_back("poll -> timed out");
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
        if (!usbReplayPath.empty() && !usbReplayNoted) {
            usbReplayNoted = true;
            std::fprintf(stderr,
                         "lumivex-virtual: the replay of %s is on the USB camera (open it with TOFConnect.USB): "
                         "%s shows the synthetic scene\n",
                         usbReplayPath.c_str(), path);
        }
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
        // The owner's close releases the buffer queue (videobuf2): its stream
        // stops, and its buffers go once no mapping holds them.
        if (!stillOpen || node.owner == fd) {
            node.streaming = false;
            node.queue.clear();
            node.done.clear();
            for (auto& b : node.buffers) b.queued = false;
            node.owner = -1;
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
                if (!open || node.owner < 0) freeBuffers(node);
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
        case Kind::Video: result = videoIoctl(lock, fd, file.index, file.path, request, argument); break;
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

void VirtualKernel::resetRange(int32_t control) {
    rangeControl.store(control);
    rangeBeforeChanges = control;
    rangeChanges.clear();
}

int VirtualKernel::rangeAt(int64_t micros) const {
    int32_t control = rangeBeforeChanges;
    for (const RangeChange& change : rangeChanges) {
        if (change.at > micros) break;
        control = change.control;
    }
    return control != 0 ? 2 : 4;
}

int VirtualKernel::controlIoctl(const char* at, unsigned long request, void* argument) {
    auto* control = static_cast<v4l2_control*>(argument);
    const char* name = request == VIDIOC_S_CTRL ? "VIDIOC_S_CTRL" : "VIDIOC_G_CTRL";
    if (config.ctrlRefuse || (control->id != kRangeControl && control->id != V4L2_CID_EXPOSURE)) {
        log("ioctl %s %s id=0x%08x -> EINVAL", at, name, control->id);
        return failWith(EINVAL);
    }
    const bool isRange = control->id == kRangeControl;
    if (request == VIDIOC_S_CTRL && isRange && control->value != rangeControl.load() &&
        (control->value == 0 || control->value == 1)) {
        // Frames begun before this moment were taken at the old range.
        constexpr size_t kChangesKept = 64;
        rangeChanges.push_back({nowMicros(), control->value});
        if (rangeChanges.size() > kChangesKept) {
            rangeBeforeChanges = rangeChanges.front().control;
            rangeChanges.pop_front();
        }
    }
    if (request == VIDIOC_S_CTRL) {
        if (control->id == kRangeControl && control->value != 0 && control->value != 1) {
            log("ioctl %s %s id=0x%08x value=%d -> ERANGE", at, name, control->id, control->value);
            return failWith(ERANGE);
        }
        if (isRange) {
            rangeControl.store(control->value);
        } else {
            exposure = control->value;
        }
    } else {
        control->value = isRange ? rangeControl.load() : exposure;
    }
    log("ioctl %s %s id=0x%08x value=%d", at, name, control->id, control->value);
    return 0;
}


}  // namespace LumivexSim
