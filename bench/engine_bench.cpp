// Conversions per frame, and a frame's trip through the pool with a back-end
// that returns at once.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "depth_conversion.h"
#include "tof_camera.h"
#include "tof_sensor.h"

using namespace Lumivex;

namespace {

std::vector<uint8_t> randomFrame() {
    std::vector<uint8_t> frame(kRawFrameBytes);
    std::mt19937 rng(3);
    for (auto& b : frame) b = uint8_t(rng());
    return frame;
}

// The baseline every figure is compared with: a memcpy of a raw frame's
// 345,600 bytes (as many read and written as a conversion touches at least).
void BM_MemcpyRawFrame(benchmark::State& state) {
    const auto frame = randomFrame();
    std::vector<uint8_t> copy(kRawFrameBytes);
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRawFrameBytes));
}
BENCHMARK(BM_MemcpyRawFrame)->Unit(benchmark::kMicrosecond);

// The second baseline: one memcpy of the frame's input and output bytes
// together (the raw frame's 345,600 and the 345,600 of depth and amplitude,
// or of the RAW output), the figure the conversions' speed targets are set
// against.
void BM_MemcpyFrameInAndOut(benchmark::State& state) {
    const size_t bytes = size_t(kRawFrameBytes) + 2 * sizeof(float) * kPixelCount;
    std::vector<uint8_t> source(bytes, 0x5A), copy(bytes);
    for (auto _ : state) {
        std::memcpy(copy.data(), source.data(), bytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}
BENCHMARK(BM_MemcpyFrameInAndOut)->Unit(benchmark::kMicrosecond);

void depthConversion(benchmark::State& state, ConversionPath path) {
    const auto frame = randomFrame();
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    std::atomic<float> frequency{37500000.0f};
    const DepthParameters p{4, &frequency, 300000000.0f, 3.14159274f, 0, kPixelCount};
    for (auto _ : state) {
        convertDepthWith(path, frame.data(), depth.data(), amplitude.data(), p);
        benchmark::DoNotOptimize(depth.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void rawConversion(benchmark::State& state, ConversionPath path) {
    const auto frame = randomFrame();
    std::vector<int16_t> out(kRawSamplesPerFrame);
    for (auto _ : state) {
        convertRawWith(path, frame.data(), out.data(), kSensorWidth, kSensorHeight, 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

// One benchmark a path this processor supports.
const bool kRegistered = [] {
    for (ConversionPath path : supportedPaths()) {
        const std::string name = pathName(path);
        benchmark::RegisterBenchmark(("BM_DepthConversion/" + name).c_str(), depthConversion, path)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_RawConversion/" + name).c_str(), rawConversion, path)
            ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

// The conversion time of the selected path, measured once, so that the pool
// trips can report the engine's own share of a frame.
double conversionMicroseconds(FrameType type) {
    const auto frame = randomFrame();
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount);
    std::vector<int16_t> raw(kRawSamplesPerFrame);
    std::atomic<float> frequency{37500000.0f};
    const DepthParameters p{4, &frequency, 300000000.0f, 3.14159274f, 0, kPixelCount};
    const int rounds = 200;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (type == DEPTH) convertDepth(frame.data(), depth.data(), amplitude.data(), p);
        else convertRaw(frame.data(), raw.data(), kSensorWidth, kSensorHeight, 0);
        benchmark::DoNotOptimize(depth.data());
        benchmark::DoNotOptimize(raw.data());
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count() / rounds;
}

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
    const auto began = std::chrono::steady_clock::now();
    for (auto _ : state) {
        LumivexFrameBuffer* frame = camera.requestFrame(-1);
        benchmark::DoNotOptimize(frame);
        camera.releaseFrame(frame);
    }
    const double tripMicroseconds =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count() /
        double(state.iterations());
    camera.stop();
    state.counters["frames_per_second"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    // The engine's own cost per delivered frame (pool, locks, hand-off, the
    // worker's pause) beside the conversion's.
    const double conversion = conversionMicroseconds(type);
    state.counters["conversion_us"] = conversion;
    state.counters["engine_us"] = tripMicroseconds - conversion;
    state.counters["engine_per_conversion"] = (tripMicroseconds - conversion) / conversion;
}
void BM_PoolTripDepth(benchmark::State& state) { poolTrip(state, DEPTH); }
void BM_PoolTripRaw(benchmark::State& state) { poolTrip(state, RAW); }
BENCHMARK(BM_PoolTripDepth)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PoolTripRaw)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
