#include "point_cloud.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "point_cloud_paths.h"

namespace Lumivex {

const char* cloudPathName(CloudPath path) {
    switch (path) {
        case CloudPath::Avx2: return "avx2";
        case CloudPath::Avx512: return "avx512";
        case CloudPath::Neon: return "neon";
        default: return "scalar";
    }
}

std::vector<CloudPath> supportedCloudPaths() {
    std::vector<CloudPath> out{CloudPath::Scalar};
    if (cloudpaths::avx2Supported()) out.push_back(CloudPath::Avx2);
    if (cloudpaths::avx512Supported()) out.push_back(CloudPath::Avx512);
    if (cloudpaths::neonSupported()) out.push_back(CloudPath::Neon);
    return out;
}

CloudPath selectedCloudPath() {
    static const CloudPath chosen = supportedCloudPaths().back();
    return chosen;
}

void multiplyRays(CloudPath path, const float* depth, const float* rays, size_t count, float* points) {
    size_t done = 0;
    switch (path) {
        case CloudPath::Avx2: done = cloudpaths::multiplyRaysAvx2(depth, rays, count, points); break;
        case CloudPath::Avx512: done = cloudpaths::multiplyRaysAvx512(depth, rays, count, points); break;
        case CloudPath::Neon: done = cloudpaths::multiplyRaysNeon(depth, rays, count, points); break;
        default: break;
    }
    for (size_t i = done; i < count; ++i) {  // the scalar reference, and every path's tail
        points[3 * i] = depth[i] * rays[3 * i];
        points[3 * i + 1] = depth[i] * rays[3 * i + 1];
        points[3 * i + 2] = depth[i] * rays[3 * i + 2];
    }
}

void cloudMask(const float* depth, const float* amplitude, const CloudMasks& masks, uint8_t* valid) {
    constexpr int w = kLensWidth, h = kLensHeight;
    // Finite: the exponent bits are not all ones (integer work the compiler vectorises).
    for (int i = 0; i < w * h; ++i) {
        uint32_t bits;
        std::memcpy(&bits, depth + i, sizeof bits);
        valid[i] = uint8_t((bits & 0x7F800000u) != 0x7F800000u);
    }
    if (amplitude != nullptr) {
        const bool byAmplitude = !std::isnan(masks.minAmplitude);
        for (int i = 0; i < w * h; ++i) {
            if (byAmplitude && !(amplitude[i] >= masks.minAmplitude)) valid[i] = 0;
            if (masks.noSignal && depth[i] == 0.0f && amplitude[i] == 0.0f) valid[i] = 0;
        }
    }
    if (std::isnan(masks.flyingPixel)) return;
    const float t = masks.flyingPixel;
    // Along a line through the pixel (across, down, either diagonal): it
    // jumps away from both neighbours, and on neither side does it continue
    // the neighbours' own slope (a surface seen at a grazing angle steps
    // evenly from pixel to pixel; a pixel mixing two surfaces breaks the
    // step on both sides). Beyond the picture's edge nothing is smooth.
    const int steps[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};
    auto at = [&](int x, int y, float& out) {
        if (x < 0 || y < 0 || x >= w || y >= h) return false;
        out = depth[y * w + x];
        return true;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float d = depth[y * w + x];
            const float limit = t * std::fabs(d);
            for (const auto& s : steps) {
                float a, b, a2, b2;
                if (!at(x - s[0], y - s[1], a) || !at(x + s[0], y + s[1], b)) continue;
                if (!(std::fabs(d - a) > limit && std::fabs(d - b) > limit)) continue;
                const bool smoothBefore = at(x - 2 * s[0], y - 2 * s[1], a2) && std::fabs(a2 - 2 * a + d) <= limit;
                const bool smoothAfter = at(x + 2 * s[0], y + 2 * s[1], b2) && std::fabs(d - 2 * b + b2) <= limit;
                if (!smoothBefore && !smoothAfter) {
                    valid[y * w + x] = 0;
                    break;
                }
            }
        }
}

size_t pointCloud(const float* depth, const float* amplitude, const PixelRays& rays, const CloudMasks& masks,
                  float* points, uint8_t* valid) {
    const size_t n = size_t(kLensWidth) * kLensHeight;
    multiplyRays(selectedCloudPath(), depth, rays.data(), n, points);
    std::vector<uint8_t> own;
    if (valid == nullptr) {
        own.resize(n);
        valid = own.data();
    }
    cloudMask(depth, amplitude, masks, valid);
    uint32_t kept = 0;
    for (size_t i = 0; i < n; ++i) kept += valid[i];
    if (kept == n) return kept;
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 0; i < n; ++i)
        if (!valid[i]) points[3 * i] = points[3 * i + 1] = points[3 * i + 2] = nan;
    return kept;
}

}  // namespace Lumivex
