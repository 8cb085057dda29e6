// Points in metres from a depth picture: each pixel's radial distance along
// its ray, with optional masks for points that cannot be trusted. The depth
// picture is read, never changed.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pixel_rays.h"

namespace Lumivex {

// Which pixels to leave out; every mask is off unless set.
struct CloudMasks {
    // Leave out pixels whose amplitude is below this (needs the amplitude).
    float minAmplitude = NAN;
    // Leave out flying pixels: along a line (across, down or a diagonal) the
    // pixel's depth differs from both neighbours by more than this fraction
    // of its own depth, and continues neither neighbour's slope within it,
    // as a pixel mixing two surfaces at a depth edge does (a surface seen at
    // a grazing angle steps evenly and is kept). 0.02 to 0.05 suits most scenes.
    float flyingPixel = NAN;
    // Leave out pixels with no signal at all: depth 0 and amplitude 0 (needs the amplitude).
    bool noSignal = false;
};

// The vector paths, chosen at run time as the depth conversion's are.
enum class CloudPath { Scalar, Avx2, Avx512, Neon };
const char* cloudPathName(CloudPath path);
std::vector<CloudPath> supportedCloudPaths();  // the scalar path first
CloudPath selectedCloudPath();

// Multiplies every pixel's depth with its ray: points[3i ... 3i+2] =
// depth[i] * ray i. `count` pixels.
void multiplyRays(CloudPath path, const float* depth, const float* rays, size_t count, float* points);

// A point cloud of the rays' picture: `points` gets 3 floats a pixel (NaN
// where a mask leaves the pixel out), `valid` (if given) 1 for a point kept
// and 0 for one left out. `amplitude` may be null when no mask needs it.
// Returns the points kept.
size_t pointCloud(const float* depth, const float* amplitude, const PixelRays& rays, const CloudMasks& masks,
                  float* points, uint8_t* valid);

// Which pixels the masks keep (1) and leave out (0).
void cloudMask(const float* depth, const float* amplitude, const CloudMasks& masks, uint8_t* valid);

}  // namespace Lumivex
