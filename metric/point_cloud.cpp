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
    for (int i = 0; i < w * h; ++i) valid[i] = std::isfinite(depth[i]) ? 1 : 0;
    if (amplitude != nullptr) {
        const bool byAmplitude = !std::isnan(masks.minAmplitude);
        for (int i = 0; i < w * h; ++i) {
            if (byAmplitude && !(amplitude[i] >= masks.minAmplitude)) valid[i] = 0;
            if (masks.noSignal && depth[i] == 0.0f && amplitude[i] == 0.0f) valid[i] = 0;
        }
    }
    if (std::isnan(masks.flyingPixel)) return;
    const float t = masks.flyingPixel;
    // A line through the pixel: its two neighbours both jump away from it.
    const int steps[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float d = depth[y * w + x];
            const float limit = t * std::fabs(d);
            for (const auto& s : steps) {
                const int xa = x - s[0], ya = y - s[1], xb = x + s[0], yb = y + s[1];
                if (xa < 0 || xb < 0 || xa >= w || xb >= w || ya < 0 || yb < 0 || ya >= h || yb >= h) continue;
                const float a = depth[ya * w + xa], b = depth[yb * w + xb];
                if (std::fabs(d - a) > limit && std::fabs(d - b) > limit) {
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
    size_t kept = 0;
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 0; i < n; ++i) {
        if (valid[i]) {
            ++kept;
            continue;
        }
        points[3 * i] = points[3 * i + 1] = points[3 * i + 2] = nan;
    }
    return kept;
}

}  // namespace Lumivex
