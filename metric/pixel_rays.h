// The unit direction each pixel sees through a lens: undistorted once and
// kept, so that a point cloud is one multiplication a pixel.
#pragma once

#include <memory>
#include <vector>

#include "lens.h"

namespace Lumivex {

class PixelRays {
public:
    // The rays of a lens (computed on first use, then shared); nullptr for a
    // lens checkLens refuses.
    static std::shared_ptr<const PixelRays> of(const Lens& lens);

    // x, y, z of pixel i at 3i ... 3i + 2 (row by row), unit length, z forward.
    const float* data() const { return rays.data(); }
    size_t pixels() const { return rays.size() / 3; }

private:
    std::vector<float> rays;
};

}  // namespace Lumivex
