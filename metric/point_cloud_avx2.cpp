// AVX2: eight pixels (24 floats) a block; each depth spread over its three
// coordinates by a lane permutation.
#include <immintrin.h>

#include "point_cloud_paths.h"

namespace Lumivex {
namespace cloudpaths {

bool avx2Supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

size_t multiplyRaysAvx2(const float* depth, const float* rays, size_t count, float* points) {
    const __m256i spread0 = _mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2);
    const __m256i spread1 = _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5);
    const __m256i spread2 = _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7);
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 d = _mm256_loadu_ps(depth + i);
        const float* r = rays + 3 * i;
        float* p = points + 3 * i;
        _mm256_storeu_ps(p, _mm256_mul_ps(_mm256_permutevar8x32_ps(d, spread0), _mm256_loadu_ps(r)));
        _mm256_storeu_ps(p + 8, _mm256_mul_ps(_mm256_permutevar8x32_ps(d, spread1), _mm256_loadu_ps(r + 8)));
        _mm256_storeu_ps(p + 16, _mm256_mul_ps(_mm256_permutevar8x32_ps(d, spread2), _mm256_loadu_ps(r + 16)));
    }
    return i;
}

}  // namespace cloudpaths
}  // namespace Lumivex
