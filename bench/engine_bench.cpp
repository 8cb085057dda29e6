// Conversions per frame, and a frame's trip through the pool with a back-end
// that returns at once.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "depth_conversion.h"
#include "tof_camera.h"

using namespace Lumivex;

namespace {

std::vector<uint8_t> randomFrame() {
    std::vector<uint8_t> frame(kRawFrameBytes);
    std::mt19937 rng(3);
    for (auto& b : frame) b = uint8_t(rng());
    return frame;
}

void BM_DepthConversion(benchmark::State& state) {
    const auto frame = randomFrame();
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    std::atomic<float> frequency{37500000.0f};
    const DepthParameters p{4, &frequency, 300000000.0f, 3.14159274f, 0, kPixelCount};
    for (auto _ : state) {
        convertDepth(frame.data(), depth.data(), amplitude.data(), p);
        benchmark::DoNotOptimize(depth.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DepthConversion)->Unit(benchmark::kMicrosecond);

void BM_RawConversion(benchmark::State& state) {
    const auto frame = randomFrame();
    std::vector<int16_t> out(kRawSamplesPerFrame);
    for (auto _ : state) {
        convertRaw(frame.data(), out.data(), kSensorWidth, kSensorHeight, 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawConversion)->Unit(benchmark::kMicrosecond);

// A back-end that has a frame ready the moment it is asked.
class InstantSensor : public LumivexTOFSensor {
public:
    int32_t open() override { return 0; }
    int32_t close() override { return 0; }
    int32_t start() override { return 0; }
    int32_t stop() override { return 0; }
    int32_t getFrame(uint8_t*, uint64_t* timestamp) override {
        *timestamp = ++count;
        return 0;
    }
    int32_t setControl(CameraCtrl, int32_t) override { return 0; }
    int32_t getControl(CameraCtrl, int32_t* value) override { return *value = 4, 0; }

private:
    uint64_t count = 0;
};

void poolTrip(benchmark::State& state, FrameType type) {
    LumivexTOFCamera camera("/nonexistent/model");
    camera.openWithSensor(std::make_unique<InstantSensor>(), CSI, 0);
    camera.start(type);
    for (auto _ : state) {
        LumivexFrameBuffer* frame = camera.requestFrame(-1);
        benchmark::DoNotOptimize(frame);
        camera.releaseFrame(frame);
    }
    camera.stop();
    state.counters["frames_per_second"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
void BM_PoolTripDepth(benchmark::State& state) { poolTrip(state, DEPTH); }
void BM_PoolTripRaw(benchmark::State& state) { poolTrip(state, RAW); }
BENCHMARK(BM_PoolTripDepth)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PoolTripRaw)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
