// The RAW and DEPTH conversions: the documented worked examples, and a
// randomised comparison with a straightforward reference written here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "depth_conversion.h"

using namespace Lumivex;

namespace {

struct DecodeCase {
    uint16_t word;
    uint8_t shift;
    int16_t expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << "word " << c.word << " shift " << int(c.shift);
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesTheDocumentedWords) {
    const DecodeCase c = GetParam();
    EXPECT_EQ(decodeSample(c.word, c.shift), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Words, DecodeTest,
                         ::testing::Values(DecodeCase{0x0001, 0, 16}, DecodeCase{0x03FF, 0, 16368},
                                           DecodeCase{0x0400, 0, -16384}, DecodeCase{0x07FF, 0, -16},
                                           DecodeCase{0x0800, 0, 0}, DecodeCase{0xFFFF, 0, -16},
                                           DecodeCase{0x3FF0, 4, 16368}, DecodeCase{0x8000, 4, 0},
                                           DecodeCase{0x0010, 4, 16}, DecodeCase{0x000F, 4, 0}));

// Builds a raw frame whose every pixel has the words (w0, w1, w2, w3).
std::vector<uint8_t> uniformFrame(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3) {
    std::vector<uint8_t> frame(kRawFrameBytes);
    const uint16_t words[4] = {w0, w1, w2, w3};
    for (uint32_t k = 0; k < 4; ++k) {
        for (uint32_t i = 0; i < kPixelCount; ++i) {
            frame[k * kPhasePlaneBytes + 2 * i] = uint8_t(words[k]);
            frame[k * kPhasePlaneBytes + 2 * i + 1] = uint8_t(words[k] >> 8);
        }
    }
    return frame;
}

struct DepthRun {
    std::vector<float> depth = std::vector<float>(kPixelCount, -1.0f);
    std::vector<float> amplitude = std::vector<float>(kPixelCount, -1.0f);
};

DepthRun runDepth(const std::vector<uint8_t>& frame, int32_t range, float frequency, uint8_t shift = 0,
                  ConversionPath path = selectedPath()) {
    std::atomic<float> f{frequency};
    DepthRun run;
    convertDepthWith(path, frame.data(), run.depth.data(), run.amplitude.data(),
                     DepthParameters{range, &f, 300000000.0f, 3.14159274f, shift, kPixelCount});
    return run;
}

std::string pathParamName(ConversionPath path) { return pathName(path); }

struct DepthCase {
    const char* name;
    uint16_t words[4];
    int32_t range;
    float frequency;
    float depth;
    float amplitude;
};

void PrintTo(const DepthCase& c, std::ostream* os) { *os << c.name; }

// Every worked example on every conversion path this processor supports.
class DepthExampleTest : public ::testing::TestWithParam<std::tuple<DepthCase, ConversionPath>> {};

TEST_P(DepthExampleTest, EveryPixelMatches) {
    const DepthCase c = std::get<0>(GetParam());
    const ConversionPath path = std::get<1>(GetParam());
    const auto frame = uniformFrame(c.words[0], c.words[1], c.words[2], c.words[3]);
    const DepthRun run = runDepth(frame, c.range, c.frequency, 0, path);
    for (uint32_t i : {0u, 1u, 21599u, 43199u}) {
        EXPECT_NEAR(run.depth[i], c.depth, 1e-6f) << c.name << " on " << pathName(path);
        EXPECT_EQ(run.amplitude[i], c.amplitude) << c.name << " on " << pathName(path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, DepthExampleTest,
    ::testing::Combine(::testing::Values(DepthCase{"range4_quarter", {0, 0, 1, 0}, 4, 37500000.0f, 1.0f, 8.0f},
                      DepthCase{"range2_zero_phase", {0, 0, 1, 0}, 2, 75000000.0f, 0.0f, 8.0f},
                      DepthCase{"range4_three_quarters", {1, 0, 0, 0}, 4, 37500000.0f, 3.0f, 8.0f},
                      DepthCase{"all_equal", {5, 5, 5, 5}, 4, 37500000.0f, 0.0f, 0.0f},
                      DepthCase{"range0_uses_4m_pair", {0, 0, 1, 0}, 0, 37500000.0f, 1.0f, 8.0f},
                      DepthCase{"bit11_decodes_to_zero", {0x0800, 0, 0x0800, 0}, 4, 37500000.0f,
                                0.0f, 0.0f}),
                       ::testing::ValuesIn(supportedPaths())),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + pathParamName(std::get<1>(info.param));
    });

TEST(RawConversion, PlaneTwoLandsInTheThirdQuarterOfEveryLine) {
    const auto frame = uniformFrame(0, 0, 1, 0);
    std::vector<int16_t> out(kRawSamplesPerFrame, 99);
    convertRaw(frame.data(), out.data(), kSensorWidth, kSensorHeight, 0);
    for (uint32_t r = 0; r < kSensorHeight; ++r) {
        for (uint32_t e = 0; e < 960; ++e) {
            ASSERT_EQ(out[r * 960 + e], (e >= 480 && e < 720) ? 16 : 0) << r << "," << e;
        }
    }
}

TEST(RawConversion, FirstOutputElementIsPlaneZerosFirstSample) {
    auto frame = uniformFrame(0, 0, 0, 0);
    frame[0] = 0xFF;
    frame[1] = 0x03;  // 0x03FF -> 16368
    std::vector<int16_t> out(kRawSamplesPerFrame);
    convertRaw(frame.data(), out.data(), kSensorWidth, kSensorHeight, 0);
    EXPECT_EQ(out[0], 16368);
    EXPECT_EQ(out[1], 0);
}

// ---- the reference: written directly from the documented arithmetic ----

int16_t referenceDecode(uint16_t word, int shift) {
    int v = (word >> shift) & 0x7FF;
    if (v >= 1024) v -= 2048;
    return int16_t(v * 16);
}

uint16_t wordAt(const std::vector<uint8_t>& frame, size_t plane, size_t sample) {
    const size_t at = plane * 86400 + sample * 2;
    return uint16_t(frame[at] + 256 * frame[at + 1]);
}

void referenceDepth(const std::vector<uint8_t>& frame, int range, float frequency, int shift,
                    std::vector<float>& depth, std::vector<float>& amplitude) {
    const float pi = 3.14159274f;
    for (size_t i = 0; i < 43200; ++i) {
        int p[4];
        for (int k = 0; k < 4; ++k) p[k] = referenceDecode(wordAt(frame, k, i), shift);
        int y, x;
        if (range == 2) {
            y = p[1] - p[3];
            x = p[2] - p[0];
        } else {
            y = p[2] - p[0];
            x = p[3] - p[1];
        }
        float phi = (float)atan2((double)y, (double)x);
        if (phi < 0) phi = phi + (float)(2.0f * pi);
        volatile float t = pi * 4.0f;
        t = t * frequency;
        volatile float q = 300000000.0f / t;
        depth[i] = q * phi;
        amplitude[i] = (float)(sqrt((double)y * y + (double)x * x) * 0.5);
    }
}

void referenceRaw(const std::vector<uint8_t>& frame, int shift, std::vector<int16_t>& out) {
    for (size_t r = 0; r < 180; ++r)
        for (size_t k = 0; k < 4; ++k)
            for (size_t j = 0; j < 240; ++j)
                out[(4 * r + k) * 240 + j] = referenceDecode(wordAt(frame, k, r * 240 + j), shift);
}

// Both sample shifts on every conversion path this processor supports.
class RandomisedConversion : public ::testing::TestWithParam<std::tuple<uint8_t, ConversionPath>> {};

TEST_P(RandomisedConversion, BitIdenticalToTheReference) {
    const uint8_t shift = std::get<0>(GetParam());
    const ConversionPath path = std::get<1>(GetParam());
    std::mt19937 rng(1234 + shift);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<float> refDepth(kPixelCount), refAmplitude(kPixelCount);
    std::vector<int16_t> raw(kRawSamplesPerFrame), refRaw(kRawSamplesPerFrame);
    for (int round = 0; round < 24; ++round) {
        std::vector<uint8_t> frame(kRawFrameBytes);
        for (auto& b : frame) b = uint8_t(byte(rng));
        if (round % 4 == 3) {  // extreme samples: the largest differences
            for (size_t i = 0; i < frame.size(); i += 2) {
                const uint16_t w = (i / 2 % 3 == 0) ? 0x03FF : (i / 2 % 3 == 1) ? 0x0400 : 0;
                const uint16_t shifted = uint16_t(w << shift);
                frame[i] = uint8_t(shifted);
                frame[i + 1] = uint8_t(shifted >> 8);
            }
        }
        const int range = (round % 3 == 0) ? 2 : (round % 3 == 1) ? 4 : 0;
        const float frequency = (round % 2 == 0) ? 75000000.0f : 37500000.0f;
        const DepthRun run = runDepth(frame, range, frequency, shift, path);
        referenceDepth(frame, range, frequency, shift, refDepth, refAmplitude);
        ASSERT_EQ(std::memcmp(run.depth.data(), refDepth.data(), kPixelCount * 4), 0)
            << "round " << round;
        ASSERT_EQ(std::memcmp(run.amplitude.data(), refAmplitude.data(), kPixelCount * 4), 0)
            << "round " << round;
        convertRawWith(path, frame.data(), raw.data(), kSensorWidth, kSensorHeight, shift);
        referenceRaw(frame, shift, refRaw);
        ASSERT_EQ(raw, refRaw) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Shifts, RandomisedConversion,
                         ::testing::Combine(::testing::Values(uint8_t(0), uint8_t(4)),
                                            ::testing::ValuesIn(supportedPaths())),
                         [](const auto& info) {
                             return "shift" + std::to_string(std::get<0>(info.param)) + "_" +
                                    pathParamName(std::get<1>(info.param));
                         });

TEST(DepthConversion, MetresPerRadianAtTheDefaultFrequencies) {
    // phi = 1 rad is not reachable exactly; use pi/2 (y > 0, x = 0) instead.
    const auto frame = uniformFrame(0, 0, 1, 0);
    EXPECT_FLOAT_EQ(runDepth(frame, 4, 37500000.0f).depth[0], 0.63661975f * 1.5707964f);
    EXPECT_FLOAT_EQ(runDepth(frame, 0, 75000000.0f).depth[0], 0.31830987f * 1.5707964f);
}

}  // namespace
