#include "ply_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace Lumivex {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the PLY body is written as the processor holds floats");

bool writePly(const std::string& path, const float* points, const float* amplitude, size_t count, size_t& written,
              std::string& error) {
    written = 0;
    auto finite = [&](size_t i) {
        return std::isfinite(points[3 * i]) && std::isfinite(points[3 * i + 1]) && std::isfinite(points[3 * i + 2]);
    };
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) kept += finite(i) ? 1 : 0;
    std::string header = "ply\nformat binary_little_endian 1.0\ncomment Lumivex point cloud, metres\n";
    header += "element vertex " + std::to_string(kept) + "\n";
    header += "property float x\nproperty float y\nproperty float z\n";
    if (amplitude != nullptr) header += "property float amplitude\n";
    header += "end_header\n";
    const size_t stride = amplitude != nullptr ? 4 : 3;
    std::vector<float> body;
    body.reserve(kept * stride);
    for (size_t i = 0; i < count; ++i) {
        if (!finite(i)) continue;
        body.insert(body.end(), points + 3 * i, points + 3 * i + 3);
        if (amplitude != nullptr) body.push_back(amplitude[i]);
    }
    const std::string partial = path + ".partial";
    FILE* file = std::fopen(partial.c_str(), "wb");
    bool ok = file != nullptr && std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
              std::fwrite(body.data(), sizeof(float), body.size(), file) == body.size();
    if (file != nullptr) {
        ok = ok && std::fflush(file) == 0;
        ok = std::fclose(file) == 0 && ok;
    }
    ok = ok && std::rename(partial.c_str(), path.c_str()) == 0;
    if (!ok) {
        error = path + ": " + std::strerror(errno != 0 ? errno : EIO);
        const int failure = errno;  // the reason, not the clean-up's
        std::remove(partial.c_str());
        errno = failure;
        return false;
    }
    written = kept;
    return true;
}

}  // namespace Lumivex
