// The sub-frame copy routines and the time-stamp grouping, byte by byte.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <numeric>
#include <vector>

#include "csi/copy_routines.h"
#include "csi/v4l2_capture.h"
#include "frame_types.h"

using namespace Lumivex;

namespace {

std::vector<uint8_t> counting(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(i * 7 + i / 256);
    return bytes;
}

TEST(CopyRoutines, StridedTakesTheFirst480BytesOfEvery512) {
    const auto source = counting(92160);
    std::vector<uint8_t> frame(kRawFrameBytes, 0);
    size_t position = 0;
    copyStrided(source.data(), source.size(), frame.data(), position, frame.size());
    EXPECT_EQ(position, 86400u);
    for (size_t line : {0u, 1u, 179u})
        for (size_t b : {0u, 1u, 479u})
            EXPECT_EQ(frame[line * 480 + b], source[line * 512 + b]) << line << "," << b;
    // Four sub-frames fill the raw frame exactly.
    for (int i = 0; i < 3; ++i) copyStrided(source.data(), source.size(), frame.data(), position, frame.size());
    EXPECT_EQ(position, size_t(kRawFrameBytes));
}

TEST(CopyRoutines, LinePairsLeaveOutTheLast32BytesOfEachBlock) {
    const auto source = counting(1920);
    std::vector<uint8_t> out(kRawFrameBytes, 0);
    size_t position = 0;
    copyLinePairs(source.data(), source.size(), out.data(), position, out.size());
    ASSERT_EQ(position, 1920u);
    std::vector<uint8_t> expected;
    for (size_t s : {0u, 960u}) {
        expected.insert(expected.end(), source.begin() + s, source.begin() + s + 448);
        expected.insert(expected.end(), source.begin() + s + 896, source.begin() + s + 928);
        expected.insert(expected.end(), source.begin() + s + 448, source.begin() + s + 928);
    }
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
}

TEST(CopyRoutines, UnpackY12PMakesTwelveBitSamples) {
    std::vector<uint8_t> source = {0xAB, 0xCD, 0xEF};
    source.resize(3 + 8, 0);  // padding
    std::vector<uint8_t> out(kRawFrameBytes, 0x55);
    size_t position = 0;
    unpackY12P(source.data(), source.size(), out.data(), position, out.size());
    ASSERT_EQ(position, 4u);
    EXPECT_EQ(out[0] | out[1] << 8, 0xABF);
    EXPECT_EQ(out[2] | out[3] << 8, 0xCDE);
    EXPECT_EQ(out[4], 0x55);
}

TEST(CopyRoutines, UnpackY12PAppendsNothingFromAnEightByteBuffer) {
    const auto source = counting(8);
    std::vector<uint8_t> out(kRawFrameBytes, 0x55);
    size_t position = 12;
    unpackY12P(source.data(), source.size(), out.data(), position, out.size());
    EXPECT_EQ(position, 12u);
    EXPECT_EQ(out[12], 0x55);
}

TEST(CopyRoutines, UnpackY12PSkipsLinePaddingForAWholeSubFrame) {
    // 180 lines of 360 pixel bytes and 8 padding bytes; sample = line * 16 + pair.
    std::vector<uint8_t> source(368 * 180, 0xFF);
    for (int line = 0; line < 180; ++line)
        for (int pair = 0; pair < 120; ++pair) {
            const uint16_t w = uint16_t((line * 16 + pair) & 0xFFF);
            uint8_t* at = &source[size_t(line) * 368 + size_t(pair) * 3];
            at[0] = uint8_t(w >> 4);
            at[1] = uint8_t(w >> 4);
            at[2] = uint8_t((w & 0xF) | (w & 0xF) << 4);
        }
    std::vector<uint8_t> out(kRawFrameBytes, 0);
    size_t position = kPhasePlaneBytes;  // the second sub-frame of a frame
    unpackY12P(source.data(), source.size(), out.data(), position, out.size());
    ASSERT_EQ(position, 2u * kPhasePlaneBytes);
    for (int line : {0, 1, 90, 179})
        for (int pixel : {0, 1, 238, 239}) {
            const size_t at = kPhasePlaneBytes + (size_t(line) * 240 + pixel) * 2;
            EXPECT_EQ(out[at] | out[at + 1] << 8, (line * 16 + pixel / 2) & 0xFFF) << line << "," << pixel;
        }
}

struct ClampCase {
    const char* name;
    CopyRoutine routine;
    size_t length;
    size_t start;
    size_t expectedAppended;
};

void PrintTo(const ClampCase& c, std::ostream* os) { *os << c.name; }

class CopyClampTest : public ::testing::TestWithParam<ClampCase> {};

// Oversized, short and odd buffers: never more than one sub-frame, never past
// the raw frame, never past the source (ASan checks the reads).
TEST_P(CopyClampTest, StaysInsideBothBuffers) {
    const ClampCase c = GetParam();
    const auto source = counting(c.length);
    std::vector<uint8_t> frame(kRawFrameBytes, 0);
    size_t position = c.start;
    c.routine(source.data(), source.size(), frame.data(), position, frame.size());
    EXPECT_EQ(position - c.start, c.expectedAppended);
    EXPECT_LE(position, size_t(kRawFrameBytes));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CopyClampTest,
    ::testing::Values(ClampCase{"whole_oversized", copyWhole, 100000, 0, 86400},
                      ClampCase{"whole_short", copyWhole, 1001, 0, 1001},
                      ClampCase{"whole_near_end", copyWhole, 86400, 345600 - 10, 10},
                      ClampCase{"strided_oversized", copyStrided, 512 * 200, 0, 86400},
                      ClampCase{"strided_partial_line", copyStrided, 512 + 100, 0, 580},
                      ClampCase{"linepairs_partial_block", copyLinePairs, 960 + 927, 0, 960},
                      ClampCase{"linepairs_oversized", copyLinePairs, 960 * 100, 0, 86400},
                      ClampCase{"y12p_short", unpackY12P, 5, 0, 4},
                      ClampCase{"y12p_two_bytes", unpackY12P, 2, 0, 0},
                      ClampCase{"y12p_oversized", unpackY12P, 368 * 400, 0, 86400},
                      ClampCase{"y12p_odd_tail", unpackY12P, 113, 0, 140},
                      ClampCase{"y12p_at_end", unpackY12P, 66240, 345600, 0}));

struct GroupCase {
    timeval previous, current;
    bool restarts;
};

class GroupingTest : public ::testing::TestWithParam<GroupCase> {};

TEST_P(GroupingTest, RestartsOnLargeStepsWithSecondsCarriedAndOnBackwardSteps) {
    const GroupCase c = GetParam();
    EXPECT_EQ(restartsGroup(c.previous, c.current), c.restarts);
}

INSTANTIATE_TEST_SUITE_P(Stamps, GroupingTest,
                         ::testing::Values(GroupCase{{1, 10000}, {1, 13000}, false},
                                           GroupCase{{1, 13000}, {1, 18000}, false},
                                           GroupCase{{1, 13000}, {1, 18001}, true},
                                           GroupCase{{1, 16000}, {1, 23000}, true},
                                           GroupCase{{5, 999000}, {6, 2000}, false},
                                           GroupCase{{5, 999000}, {6, 3000}, false},
                                           GroupCase{{5, 999000}, {6, 3001}, true},
                                           // a sub-frame lost across the second: 27 ms apart
                                           GroupCase{{5, 991000}, {6, 18000}, true},
                                           GroupCase{{5, 1000}, {6, 5000}, true},
                                           GroupCase{{1, 13000}, {1, 12999}, true},
                                           GroupCase{{6, 1000}, {5, 999000}, true},
                                           GroupCase{{5, 1000}, {5, 1000}, false}));

TEST(Timestamp, IsInHundredNanosecondUnits) {
    EXPECT_EQ(timestampTicks(timeval{12, 345678}), 123456780u);
    EXPECT_EQ(timestampTicks(timeval{1700000000, 999999}), 17000000009999990u);
}

}  // namespace
