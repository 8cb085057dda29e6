// Processors with none of the vector paths: the scalar reference does it all.
#include "point_cloud_paths.h"

namespace Lumivex {
namespace cloudpaths {

#ifndef LUMIVEX_HAVE_X86_PATHS
bool avx2Supported() { return false; }
size_t multiplyRaysAvx2(const float*, const float*, size_t, float*) { return 0; }
bool avx512Supported() { return false; }
size_t multiplyRaysAvx512(const float*, const float*, size_t, float*) { return 0; }
#endif
#ifndef LUMIVEX_HAVE_NEON_PATH
bool neonSupported() { return false; }
size_t multiplyRaysNeon(const float*, const float*, size_t, float*) { return 0; }
#endif

}  // namespace cloudpaths
}  // namespace Lumivex
