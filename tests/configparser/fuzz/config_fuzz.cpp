// libFuzzer target: camera configuration files are written by hand, so the
// parser must take any bytes without crashing, reading or writing out of
// bounds or leaking, and either refuse them or give a result it can release.
// (Run with -close_fd_mask=2: the parser names every error on standard
// error; libFuzzer and the sanitizers keep their own copy of it.)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "lumivex_config_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parser reads a file by path: an anonymous in-memory file serves.
    static const int fd = memfd_create("camera.cfg", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    ConfigFileResult result{};
    if (lumivex_parse_config(path.c_str(), &result) == 0) {
        for (int32_t i = 0; i < result.entryCount; ++i) {
            if (result.entries[i].paramCount > 16) __builtin_trap();  // never beyond its parameters
        }
        lumivex_release_config(&result);
    }
    return 0;
}
