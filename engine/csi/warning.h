// Diagnostics of the depth-camera module: one line on standard output,
// "<name> ***WARNING*** <message>".
#pragma once

#include <cstdio>

namespace Lumivex {

template <typename... Args>
void warn(const char* name, const char* format, Args... args) {
    std::printf("%s ***WARNING*** ", name);
    std::printf(format, args...);
    std::printf("\n");
}

inline void warn(const char* name, const char* message) {
    std::printf("%s ***WARNING*** %s\n", name, message);
}

}  // namespace Lumivex
