// The interpreter check made before the module is created: the module runs
// only in the Python minor version it was compiled for.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

namespace LumivexPython {

// True when `running` (the interpreter's version string) begins with
// `compiled` ("3.11") and no further digit follows, so "3.110" is refused.
inline bool interpreterMatches(const char* compiled, const char* running) {
    const size_t length = std::strlen(compiled);
    return std::strncmp(running, compiled, length) == 0 &&
           !(running[length] >= '0' && running[length] <= '9');
}

inline std::string versionMismatchMessage(const char* compiled, const char* running) {
    char message[512];
    std::snprintf(message, sizeof message,
                  "Python version mismatch: module was compiled for Python %s, but the interpreter "
                  "version is incompatible: %s.",
                  compiled, running);
    return message;
}

}  // namespace LumivexPython
