// AVX-512: sixteen pixels (48 floats) a block.
#include <immintrin.h>

#include "point_cloud_paths.h"

namespace Lumivex {
namespace cloudpaths {

bool avx512Supported() {
    __builtin_cpu_init();  // includes whether the system saves the 512-bit registers
    return __builtin_cpu_supports("avx512f");
}

size_t multiplyRaysAvx512(const float* depth, const float* rays, size_t count, float* points) {
    const __m512i spread0 = _mm512_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m512i spread1 = _mm512_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m512i spread2 = _mm512_setr_epi32(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512 d = _mm512_loadu_ps(depth + i);
        const float* r = rays + 3 * i;
        float* p = points + 3 * i;
        _mm512_storeu_ps(p, _mm512_mul_ps(_mm512_permutexvar_ps(spread0, d), _mm512_loadu_ps(r)));
        _mm512_storeu_ps(p + 16, _mm512_mul_ps(_mm512_permutexvar_ps(spread1, d), _mm512_loadu_ps(r + 16)));
        _mm512_storeu_ps(p + 32, _mm512_mul_ps(_mm512_permutexvar_ps(spread2, d), _mm512_loadu_ps(r + 32)));
    }
    return i;
}

}  // namespace cloudpaths
}  // namespace Lumivex
