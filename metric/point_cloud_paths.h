// The vector paths of the ray multiplication, each in a file compiled for its
// instruction set; each works in blocks and leaves the tail to the caller.
#pragma once

#include <cstddef>

namespace Lumivex {
namespace cloudpaths {

bool avx2Supported();
size_t multiplyRaysAvx2(const float* depth, const float* rays, size_t count, float* points);
bool avx512Supported();
size_t multiplyRaysAvx512(const float* depth, const float* rays, size_t count, float* points);
bool neonSupported();
size_t multiplyRaysNeon(const float* depth, const float* rays, size_t count, float* points);

}  // namespace cloudpaths
}  // namespace Lumivex
