// The point cloud against a copy of its own output: multiplying each pixel's
// depth with its ray should cost no more than about twice moving the bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "pixel_rays.h"
#include "point_cloud.h"

namespace {

constexpr size_t kPixels = size_t(Lumivex::kLensWidth) * Lumivex::kLensHeight;

std::vector<float> randomDepth() {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> metres(0.2f, 4.0f);
    std::vector<float> depth(kPixels);
    for (float& d : depth) d = metres(random);
    return depth;
}

// The copy the cloud is measured against: its 43,200 x 3 floats.
void BM_MemcpyCloud(benchmark::State& state) {
    std::vector<float> from(3 * kPixels, 1.0f), to(3 * kPixels);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), to.size() * sizeof(float));
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyCloud)->Unit(benchmark::kMicrosecond);

void BM_MultiplyRays(benchmark::State& state) {
    const Lumivex::CloudPath path = Lumivex::supportedCloudPaths()[size_t(state.range(0))];
    state.SetLabel(Lumivex::cloudPathName(path));
    const auto rays = Lumivex::PixelRays::of(Lumivex::Lens::nominal());
    const std::vector<float> depth = randomDepth();
    std::vector<float> points(3 * kPixels);
    for (auto _ : state) {
        Lumivex::multiplyRays(path, depth.data(), rays->data(), kPixels, points.data());
        benchmark::DoNotOptimize(points.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MultiplyRays)->DenseRange(0, int(Lumivex::supportedCloudPaths().size()) - 1)->Unit(benchmark::kMicrosecond);

// The whole call a program makes: rays, masks off, and with the flying-pixel mask.
void BM_PointCloud(benchmark::State& state) {
    const auto rays = Lumivex::PixelRays::of(Lumivex::Lens::nominal());
    const std::vector<float> depth = randomDepth();
    std::vector<float> points(3 * kPixels);
    std::vector<uint8_t> valid(kPixels);
    Lumivex::CloudMasks masks;
    if (state.range(0) != 0) masks.flyingPixel = 0.03f;
    state.SetLabel(state.range(0) != 0 ? "flying-pixel mask" : "no mask");
    for (auto _ : state) {
        benchmark::DoNotOptimize(Lumivex::pointCloud(depth.data(), nullptr, *rays, masks, points.data(), valid.data()));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PointCloud)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
