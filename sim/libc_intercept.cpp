// The C library functions the virtual kernel interposes. Calls on its own
// paths and descriptors go to the virtual kernel; every other call goes to
// the C library unchanged.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>

#include "real_libc.h"
#include "virtual_kernel.h"
#include "vkernel_control.h"

using LumivexSim::VirtualKernel;
using LumivexSim::real;

namespace LumivexSim {

namespace {
template <typename F>
F resolve(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Descriptors the virtual kernel handed out, so that other descriptors take
// the fast path without a lock.
constexpr int kMaxTracked = 1 << 16;
std::atomic<uint8_t> tracked[kMaxTracked];

bool mayBeVirtual(int fd) { return fd >= 0 && fd < kMaxTracked && tracked[fd].load() != 0; }
void track(int fd, bool on) {
    if (fd >= 0 && fd < kMaxTracked) tracked[fd].store(on ? 1 : 0);
}
std::atomic<int> liveMappings{0};
}  // namespace

const RealLibc& real() {
    static const RealLibc functions = {
        resolve<decltype(RealLibc::open)>("open"),
        resolve<decltype(RealLibc::openat)>("openat"),
        resolve<decltype(RealLibc::close)>("close"),
        resolve<decltype(RealLibc::ioctl)>("ioctl"),
        resolve<decltype(RealLibc::mmap)>("mmap"),
        resolve<decltype(RealLibc::munmap)>("munmap"),
        resolve<decltype(RealLibc::fstat)>("fstat"),
        resolve<decltype(RealLibc::scandir)>("scandir"),
        resolve<decltype(RealLibc::readlink)>("readlink"),
        resolve<decltype(RealLibc::fopen)>("fopen"),
        resolve<decltype(RealLibc::poll)>("poll"),
    };
    return functions;
}

}  // namespace LumivexSim

namespace {

int openVirtual(const char* path, int flags) {
    const int fd = VirtualKernel::instance().open(path, flags);
    if (fd >= LumivexSim::kMaxTracked) {  // cannot be tracked: refuse rather than misroute
        VirtualKernel::instance().close(fd);
        errno = EMFILE;
        return -1;
    }
    LumivexSim::track(fd, true);
    return fd;
}

mode_t modeArgument(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

bool isVirtualFd(int fd) { return LumivexSim::mayBeVirtual(fd) && VirtualKernel::instance().isVirtual(fd); }

bool isAbsoluteDevice(const char* path) {
    return path != nullptr && path[0] == '/' && VirtualKernel::instance().handlesPath(path);
}

// stat by path of a virtual node: the node is opened, described and closed.
int statVirtual(const char* path, struct stat* status) {
    const int fd = VirtualKernel::instance().open(path, O_RDONLY);
    if (fd < 0) return -1;  // errno as the open left it (ENOENT for a node that is not there)
    const int result = VirtualKernel::instance().fstat(fd, status);
    const int saved = errno;
    VirtualKernel::instance().close(fd);
    errno = saved;
    return result;
}

template <typename F>
F nextSymbol(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool isUevent(const char* path) {
    const size_t n = path != nullptr ? std::strlen(path) : 0;
    return n > 21 && std::strncmp(path, "/sys/dev/char/", 14) == 0 && std::strcmp(path + n - 7, "/uevent") == 0;
}

bool isModel(const char* path) {
    return path != nullptr && std::strcmp(path, "/sys/firmware/devicetree/base/model") == 0;
}

}  // namespace

extern "C" {

#define LUMIVEX_EXPORT __attribute__((visibility("default")))

LUMIVEX_EXPORT int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (VirtualKernel::instance().handlesPath(path)) return openVirtual(path, flags);
    if (isModel(path)) return VirtualKernel::instance().openModelDescriptor();
    if (isUevent(path)) return VirtualKernel::instance().openUevent(path);
    return real().open(path, flags, mode);
}

LUMIVEX_EXPORT int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (VirtualKernel::instance().handlesPath(path)) return openVirtual(path, flags);
    if (isModel(path)) return VirtualKernel::instance().openModelDescriptor();
    if (isUevent(path)) return VirtualKernel::instance().openUevent(path);
    return real().open(path, flags | O_LARGEFILE, mode);
}

LUMIVEX_EXPORT int __open_2(const char* path, int flags) { return open(path, flags); }
LUMIVEX_EXPORT int __open64_2(const char* path, int flags) { return open64(path, flags); }

LUMIVEX_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (isAbsoluteDevice(path)) return openVirtual(path, flags);
    if (isModel(path)) return VirtualKernel::instance().openModelDescriptor();
    if (isUevent(path)) return VirtualKernel::instance().openUevent(path);
    return real().openat(dirfd, path, flags, mode);
}

LUMIVEX_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (isAbsoluteDevice(path)) return openVirtual(path, flags);
    if (isModel(path)) return VirtualKernel::instance().openModelDescriptor();
    if (isUevent(path)) return VirtualKernel::instance().openUevent(path);
    return real().openat(dirfd, path, flags | O_LARGEFILE, mode);
}

LUMIVEX_EXPORT int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
LUMIVEX_EXPORT int __openat64_2(int dirfd, const char* path, int flags) { return openat64(dirfd, path, flags); }

LUMIVEX_EXPORT int close(int fd) {
    if (isVirtualFd(fd)) {
        LumivexSim::track(fd, false);
        return VirtualKernel::instance().close(fd);
    }
    return real().close(fd);
}

LUMIVEX_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (isVirtualFd(fd))
        return VirtualKernel::instance().ioctl(fd, request, argument);
    return real().ioctl(fd, request, argument);
}

LUMIVEX_EXPORT void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (isVirtualFd(fd)) {
        void* map = VirtualKernel::instance().mmap(address, length, protection, flags, fd, offset);
        if (map != MAP_FAILED) ++LumivexSim::liveMappings;
        return map;
    }
    return real().mmap(address, length, protection, flags, fd, offset);
}

LUMIVEX_EXPORT void* mmap64(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    return mmap(address, length, protection, flags, fd, offset);
}

LUMIVEX_EXPORT int munmap(void* address, size_t length) {
    if (LumivexSim::liveMappings.load() > 0 && VirtualKernel::instance().ownsMapping(address)) {
        --LumivexSim::liveMappings;
        return VirtualKernel::instance().munmap(address, length);
    }
    return real().munmap(address, length);
}

LUMIVEX_EXPORT int fstat(int fd, struct stat* status) {
    if (isVirtualFd(fd))
        return VirtualKernel::instance().fstat(fd, status);
    return real().fstat(fd, status);
}

LUMIVEX_EXPORT int fstat64(int fd, struct stat64* status) {
    return fstat(fd, reinterpret_cast<struct stat*>(status));
}

LUMIVEX_EXPORT int poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    bool anyVirtual = false;
    for (nfds_t i = 0; i < count && fds != nullptr; ++i)
        anyVirtual = anyVirtual || isVirtualFd(fds[i].fd);
    if (anyVirtual) return VirtualKernel::instance().poll(fds, count, timeoutMs);
    return real().poll(fds, count, timeoutMs);
}

LUMIVEX_EXPORT int __poll_chk(struct pollfd* fds, nfds_t count, int timeoutMs, size_t) {
    return poll(fds, count, timeoutMs);
}

// Older entry points, still used by some runtimes (ThreadSanitizer's fstat).
LUMIVEX_EXPORT int __fxstat(int version, int fd, struct stat* status) {
    if (isVirtualFd(fd))
        return VirtualKernel::instance().fstat(fd, status);
    using Fxstat = int (*)(int, int, struct stat*);
    static const Fxstat next = reinterpret_cast<Fxstat>(dlsym(RTLD_NEXT, "__fxstat"));
    return next != nullptr ? next(version, fd, status) : real().fstat(fd, status);
}

LUMIVEX_EXPORT int __fxstat64(int version, int fd, struct stat64* status) {
    return __fxstat(version, fd, reinterpret_cast<struct stat*>(status));
}

// stat by path of a virtual node (tools such as v4l2-ctl check the node
// before opening it).
LUMIVEX_EXPORT int stat(const char* path, struct stat* status) {
    if (isAbsoluteDevice(path)) return statVirtual(path, status);
    static const auto next = nextSymbol<int (*)(const char*, struct stat*)>("stat");
    return next(path, status);
}

LUMIVEX_EXPORT int stat64(const char* path, struct stat64* status) {
    if (isAbsoluteDevice(path)) return statVirtual(path, reinterpret_cast<struct stat*>(status));
    static const auto next = nextSymbol<int (*)(const char*, struct stat64*)>("stat64");
    return next(path, status);
}

LUMIVEX_EXPORT int lstat(const char* path, struct stat* status) {
    if (isAbsoluteDevice(path)) return statVirtual(path, status);
    static const auto next = nextSymbol<int (*)(const char*, struct stat*)>("lstat");
    return next(path, status);
}

LUMIVEX_EXPORT int lstat64(const char* path, struct stat64* status) {
    if (isAbsoluteDevice(path)) return statVirtual(path, reinterpret_cast<struct stat*>(status));
    static const auto next = nextSymbol<int (*)(const char*, struct stat64*)>("lstat64");
    return next(path, status);
}

LUMIVEX_EXPORT int fstatat(int dirfd, const char* path, struct stat* status, int flags) {
    if (isAbsoluteDevice(path)) return statVirtual(path, status);
    static const auto next = nextSymbol<int (*)(int, const char*, struct stat*, int)>("fstatat");
    return next(dirfd, path, status, flags);
}

LUMIVEX_EXPORT int fstatat64(int dirfd, const char* path, struct stat64* status, int flags) {
    if (isAbsoluteDevice(path)) return statVirtual(path, reinterpret_cast<struct stat*>(status));
    static const auto next = nextSymbol<int (*)(int, const char*, struct stat64*, int)>("fstatat64");
    return next(dirfd, path, status, flags);
}

LUMIVEX_EXPORT int __xstat(int version, const char* path, struct stat* status) {
    if (isAbsoluteDevice(path)) return statVirtual(path, status);
    static const auto next = nextSymbol<int (*)(int, const char*, struct stat*)>("__xstat");
    return next != nullptr ? next(version, path, status) : stat(path, status);
}

LUMIVEX_EXPORT int __xstat64(int version, const char* path, struct stat64* status) {
    return __xstat(version, path, reinterpret_cast<struct stat*>(status));
}

LUMIVEX_EXPORT int scandir(const char* path, struct dirent*** list, int (*filter)(const struct dirent*),
                           int (*compare)(const struct dirent**, const struct dirent**)) {
    if (!VirtualKernel::instance().handlesSysfs(path)) return real().scandir(path, list, filter, compare);
    struct dirent** entries = nullptr;
    int count = VirtualKernel::instance().scandir(path, &entries);
    if (count < 0) return count;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (filter == nullptr || filter(entries[i])) entries[kept++] = entries[i];
        else free(entries[i]);
    }
    if (compare != nullptr)
        qsort(entries, size_t(kept), sizeof *entries, reinterpret_cast<int (*)(const void*, const void*)>(compare));
    *list = entries;
    return kept;
}

LUMIVEX_EXPORT int scandir64(const char* path, struct dirent64*** list, int (*filter)(const struct dirent64*),
                             int (*compare)(const struct dirent64**, const struct dirent64**)) {
    static_assert(sizeof(struct dirent) == sizeof(struct dirent64), "64-bit directory entries");
    return scandir(path, reinterpret_cast<struct dirent***>(list),
                   reinterpret_cast<int (*)(const struct dirent*)>(filter),
                   reinterpret_cast<int (*)(const struct dirent**, const struct dirent**)>(compare));
}

LUMIVEX_EXPORT ssize_t readlink(const char* path, char* buffer, size_t size) {
    if (VirtualKernel::instance().handlesSysfs(path)) return VirtualKernel::instance().readlink(path, buffer, size);
    return real().readlink(path, buffer, size);
}

LUMIVEX_EXPORT FILE* fopen(const char* path, const char* mode) {
    if (isModel(path)) return VirtualKernel::instance().openModel();
    if (isUevent(path)) {
        const int fd = VirtualKernel::instance().openUevent(path);
        return fd >= 0 ? fdopen(fd, "r") : nullptr;
    }
    return real().fopen(path, mode);
}

LUMIVEX_EXPORT FILE* fopen64(const char* path, const char* mode) { return fopen(path, mode); }

// ---- control interface ----

LUMIVEX_EXPORT int lumivex_vk_configure(const char* settings) {
    return VirtualKernel::instance().configure(settings);
}

LUMIVEX_EXPORT size_t lumivex_vk_log(char* out, size_t capacity) {
    const std::string text = VirtualKernel::instance().logText();
    if (out != nullptr && capacity > 0) {
        const size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
        std::memcpy(out, text.data(), count);
        out[count] = '\0';
    }
    return text.size();
}

LUMIVEX_EXPORT void lumivex_vk_clear_log(void) { VirtualKernel::instance().clearLog(); }
LUMIVEX_EXPORT int lumivex_vk_open_descriptors(void) { return VirtualKernel::instance().openDescriptors(); }
LUMIVEX_EXPORT int lumivex_vk_live_mappings(void) { return VirtualKernel::instance().liveMappings(); }

LUMIVEX_EXPORT int lumivex_vk_scene_truth(const char* name, int range, float* depth, float* amplitude) {
    if (name == nullptr || !LumivexSim::isKnownScene(name) || depth == nullptr || amplitude == nullptr) return -1;
    LumivexSim::sceneTruth(LumivexSim::makeScene(name, VirtualKernel::instance().sceneLens()), range, depth, amplitude);
    return 0;
}

LUMIVEX_EXPORT int lumivex_vk_scene_words(const char* name, int range, int phase, uint16_t* words) {
    if (name == nullptr || !LumivexSim::isKnownScene(name) || phase < 0 || phase > 3 || words == nullptr) return -1;
    const auto images =
        LumivexSim::renderPhases(LumivexSim::makeScene(name, VirtualKernel::instance().sceneLens()), range);
    for (int i = 0; i < LumivexSim::kPixels; ++i) words[i] = LumivexSim::sampleWord(images.phase[phase][i]);
    return 0;
}

}  // extern "C"
