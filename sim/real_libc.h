// The C library's own functions, behind the ones this library interposes.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace LumivexSim {

struct RealLibc {
    int (*open)(const char*, int, ...);
    int (*openat)(int, const char*, int, ...);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    void* (*mmap)(void*, size_t, int, int, int, off_t);
    int (*munmap)(void*, size_t);
    int (*fstat)(int, struct stat*);
    int (*scandir)(const char*, struct dirent***, int (*)(const struct dirent*),
                   int (*)(const struct dirent**, const struct dirent**));
    ssize_t (*readlink)(const char*, char*, size_t);
    FILE* (*fopen)(const char*, const char*);
    int (*poll)(struct pollfd*, nfds_t, int);
};

// Resolved once, on first use, with dlsym(RTLD_NEXT, ...).
const RealLibc& real();

}  // namespace LumivexSim
