// Every vector conversion path against the scalar reference over every
// reachable pair of phase differences: each of y and x is a difference of two
// decoded samples (16 x -2047 ... 16 x 2047, 4,095 values), so 16,769,025
// pairs, at both modulation frequencies. Depth and amplitude must be
// identical to the bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "depth_conversion.h"

using namespace Lumivex;

namespace {

constexpr int kLargest = 2047;
constexpr int kValues = 2 * kLargest + 1;  // 4,095
constexpr float kPi = 3.14159274f;

struct Mismatch {
    std::atomic<long> count{0};
    std::atomic<int> firstY{0}, firstX{0};
};

// Rows y = 16 * (first ... last) against every x.
void compareRows(ConversionPath path, int first, int last, float q, Mismatch& mismatch) {
    std::vector<int16_t> y(kValues), x(kValues);
    std::vector<float> refDepth(kValues), refAmplitude(kValues), depth(kValues), amplitude(kValues);
    for (int j = 0; j < kValues; ++j) x[size_t(j)] = int16_t(16 * (j - kLargest));
    for (int row = first; row <= last; ++row) {
        std::fill(y.begin(), y.end(), int16_t(16 * row));
        depthFromDifferences(ConversionPath::Scalar, y.data(), x.data(), kValues, q, 2.0f * kPi, refDepth.data(),
                             refAmplitude.data());
        depthFromDifferences(path, y.data(), x.data(), kValues, q, 2.0f * kPi, depth.data(), amplitude.data());
        if (std::memcmp(depth.data(), refDepth.data(), kValues * sizeof(float)) == 0 &&
            std::memcmp(amplitude.data(), refAmplitude.data(), kValues * sizeof(float)) == 0)
            continue;
        for (int j = 0; j < kValues; ++j) {
            const bool same = std::memcmp(&depth[size_t(j)], &refDepth[size_t(j)], 4) == 0 &&
                              std::memcmp(&amplitude[size_t(j)], &refAmplitude[size_t(j)], 4) == 0;
            if (!same && mismatch.count++ == 0) {
                mismatch.firstY = row;
                mismatch.firstX = j - kLargest;
            }
        }
    }
}

class ExhaustiveIdentity : public ::testing::TestWithParam<ConversionPath> {};

TEST_P(ExhaustiveIdentity, EveryReachablePairGivesTheReferenceBits) {
    const ConversionPath path = GetParam();
    for (const float frequency : {37500000.0f, 75000000.0f}) {
        const float q = metresPerRadian(300000000.0f, kPi, frequency);
        Mismatch mismatch;
        const int workers = int(std::max(1u, std::thread::hardware_concurrency()));
        std::vector<std::thread> threads;
        for (int w = 0; w < workers; ++w) {
            const int first = -kLargest + w * kValues / workers;
            const int last = -kLargest + (w + 1) * kValues / workers - 1;
            threads.emplace_back(compareRows, path, first, last, q, std::ref(mismatch));
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(mismatch.count.load(), 0) << pathName(path) << " at " << frequency << " Hz, first at y = 16 x "
                                            << mismatch.firstY << ", x = 16 x " << mismatch.firstX;
    }
}

std::vector<ConversionPath> vectorPaths() {
    std::vector<ConversionPath> out;
    for (ConversionPath p : supportedPaths())
        if (p != ConversionPath::Scalar) out.push_back(p);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Paths, ExhaustiveIdentity, ::testing::ValuesIn(vectorPaths()),
                         [](const auto& info) { return std::string(pathName(info.param)); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ExhaustiveIdentity);

TEST(ConversionPaths, TheScalarPathIsAlwaysThereAndTheFastestIsSelected) {
    const auto paths = supportedPaths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), ConversionPath::Scalar);
    EXPECT_EQ(selectedPath(), paths.back());
#if defined(__x86_64__)
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (avx2 && __builtin_cpu_supports("avx512f")) {
        EXPECT_EQ(selectedPath(), ConversionPath::Avx512);
    } else if (avx2) {
        EXPECT_EQ(selectedPath(), ConversionPath::Avx2);
    } else {
        EXPECT_EQ(selectedPath(), ConversionPath::Scalar);
    }
#elif defined(__aarch64__)
    EXPECT_EQ(selectedPath(), ConversionPath::Neon);
#endif
}

// Values that are not differences of decoded samples (not multiples of 16)
// still give the reference's bits on every path: a vector path hands such a
// block to the scalar arithmetic rather than use its single-precision
// amplitude, which is exact only for multiples of 16.
TEST_P(ExhaustiveIdentity, AnyInt16PairGivesTheReferenceBits) {
    const ConversionPath path = GetParam();
    uint32_t seed = 7;
    const auto next = [&seed] { return int16_t((seed = seed * 1664525u + 1013904223u) >> 16); };
    std::vector<int16_t> y(100003), x(y.size());
    for (size_t i = 0; i < y.size(); ++i) {
        y[i] = next();
        x[i] = i % 3 == 0 ? int16_t(next() & ~15) : next();  // some blocks mix both kinds
    }
    y[0] = -32768;  // the extremes: y*y + x*x overflows what a float holds exactly
    x[0] = -32768;
    y[1] = 32767;
    x[1] = 32767;
    const float q = metresPerRadian(300000000.0f, kPi, 37500000.0f);
    std::vector<float> refDepth(y.size()), refAmplitude(y.size()), depth(y.size()), amplitude(y.size());
    depthFromDifferences(ConversionPath::Scalar, y.data(), x.data(), y.size(), q, 2.0f * kPi, refDepth.data(),
                         refAmplitude.data());
    depthFromDifferences(path, y.data(), x.data(), y.size(), q, 2.0f * kPi, depth.data(), amplitude.data());
    for (size_t i = 0; i < y.size(); ++i) {
        ASSERT_EQ(std::memcmp(&depth[i], &refDepth[i], 4), 0) << "y = " << y[i] << ", x = " << x[i];
        ASSERT_EQ(std::memcmp(&amplitude[i], &refAmplitude[i], 4), 0) << "y = " << y[i] << ", x = " << x[i];
    }
}

}  // namespace

namespace {

// A range switch while a frame is converted: the vector paths read the
// frequency once per block of eight pixels, so every block is converted
// whole with one of the two frequencies (the scalar path: every pixel).
class MidFrameSwitch : public ::testing::TestWithParam<ConversionPath> {};

TEST_P(MidFrameSwitch, EachBlockUsesOneOfTheTwoFrequencies) {
    const ConversionPath path = GetParam();
    const size_t block = path == ConversionPath::Scalar ? 1 : 8;
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint32_t seed = 99;
    for (auto& b : frame) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    std::vector<float> depth(kPixelCount), amplitude(kPixelCount), slow(kPixelCount), fast(kPixelCount);
    for (const float f : {37500000.0f, 75000000.0f}) {
        std::atomic<float> fixed{f};
        convertDepthWith(ConversionPath::Scalar, frame.data(), f < 5e7f ? slow.data() : fast.data(),
                         amplitude.data(), DepthParameters{4, &fixed, 300000000.0f, kPi, 0, kPixelCount});
    }
    std::atomic<float> frequency{37500000.0f};
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        while (!done.load()) frequency.store(frequency.load() < 5e7f ? 75000000.0f : 37500000.0f);
    });
    int mixedRuns = 0;
    for (int run = 0; run < 20; ++run) {
        convertDepthWith(path, frame.data(), depth.data(), amplitude.data(),
                         DepthParameters{4, &frequency, 300000000.0f, kPi, 0, kPixelCount});
        bool sawSlow = false, sawFast = false;
        for (size_t start = 0; start < kPixelCount; start += block) {
            bool allSlow = true, allFast = true;
            for (size_t i = start; i < start + block; ++i) {
                allSlow = allSlow && depth[i] == slow[i];
                allFast = allFast && depth[i] == fast[i];
            }
            ASSERT_TRUE(allSlow || allFast) << pathName(path) << ": block at pixel " << start << " mixes frequencies";
            sawSlow = sawSlow || (allSlow && !allFast);
            sawFast = sawFast || (allFast && !allSlow);
        }
        mixedRuns += sawSlow && sawFast;
    }
    done.store(true);
    switcher.join();
    RecordProperty("runs_with_both_frequencies", mixedRuns);
}

// Pixel counts that leave a tail shorter than a vector block: every path
// gives the reference's bits for each pixel asked for and writes nothing
// after the last.
class PartialFrame : public ::testing::TestWithParam<ConversionPath> {};

TEST_P(PartialFrame, TailsMatchTheReferenceAndNothingPastTheEndIsWritten) {
    const ConversionPath path = GetParam();
    std::vector<uint8_t> frame(kRawFrameBytes);
    uint32_t seed = 5;
    for (auto& b : frame) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    std::atomic<float> frequency{75000000.0f};
    for (const uint32_t count : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 43199u}) {
        const DepthParameters p{4, &frequency, 300000000.0f, kPi, 0, count};
        std::vector<float> refDepth(kPixelCount, -7.0f), refAmplitude(kPixelCount, -7.0f);
        std::vector<float> depth(kPixelCount, -7.0f), amplitude(kPixelCount, -7.0f);
        convertDepthWith(ConversionPath::Scalar, frame.data(), refDepth.data(), refAmplitude.data(), p);
        convertDepthWith(path, frame.data(), depth.data(), amplitude.data(), p);
        ASSERT_EQ(std::memcmp(depth.data(), refDepth.data(), kPixelCount * 4), 0) << pathName(path) << ", " << count;
        ASSERT_EQ(std::memcmp(amplitude.data(), refAmplitude.data(), kPixelCount * 4), 0)
            << pathName(path) << ", " << count;
        EXPECT_EQ(depth[count], -7.0f) << pathName(path) << ", " << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, PartialFrame, ::testing::ValuesIn(supportedPaths()),
                         [](const auto& info) { return std::string(pathName(info.param)); });

INSTANTIATE_TEST_SUITE_P(Paths, MidFrameSwitch, ::testing::ValuesIn(supportedPaths()),
                         [](const auto& info) { return std::string(pathName(info.param)); });

}  // namespace
