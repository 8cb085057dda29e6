// Advanced SIMD: four pixels a block, the coordinates split and joined by
// the interleaving loads and stores.
#include <arm_neon.h>

#include "point_cloud_paths.h"

namespace Lumivex {
namespace cloudpaths {

bool neonSupported() { return true; }  // every aarch64 processor has it

size_t multiplyRaysNeon(const float* depth, const float* rays, size_t count, float* points) {
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const float32x4_t d = vld1q_f32(depth + i);
        float32x4x3_t r = vld3q_f32(rays + 3 * i);
        r.val[0] = vmulq_f32(r.val[0], d);
        r.val[1] = vmulq_f32(r.val[1], d);
        r.val[2] = vmulq_f32(r.val[2], d);
        vst3q_f32(points + 3 * i, r);
    }
    return i;
}

}  // namespace cloudpaths
}  // namespace Lumivex
