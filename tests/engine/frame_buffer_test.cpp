#include <gtest/gtest.h>

#include "frame_buffer.h"

using namespace Lumivex;

TEST(FrameBuffers, AnswerOnlyForTheirOwnPlanes) {
    RawData raw(FrameDataFormat{960, 180, RAW, 0, 0});
    DepthData depth(FrameDataFormat{240, 180, DEPTH, 0, 0}, FrameDataFormat{240, 180, AMPLITUDE, 0, 0});
    CacheData cache(FrameDataFormat{1920, 180, CACHE, 0, 0});

    FrameDataFormat untouched{1, 2, CACHE, 3, 0};
    EXPECT_EQ(raw.getData(DEPTH), nullptr);
    EXPECT_EQ(raw.getFormat(DEPTH, untouched), -1);
    EXPECT_EQ(untouched.width, 1u);
    EXPECT_EQ(untouched.timestamp, 3u);
    EXPECT_EQ(depth.getData(RAW), nullptr);
    EXPECT_EQ(depth.getData(CACHE), nullptr);
    EXPECT_EQ(cache.getData(RAW), nullptr);
    EXPECT_NE(raw.getData(RAW), nullptr);
    EXPECT_NE(cache.getData(CACHE), nullptr);
    EXPECT_NE(depth.getData(DEPTH), depth.getData(AMPLITUDE));
}

TEST(FrameBuffers, TimestampAndRangeReachEveryFormatAndStartAtZero) {
    DepthData depth(FrameDataFormat{240, 180, DEPTH, 7, 4}, FrameDataFormat{240, 180, AMPLITUDE, 7, 4});
    RawData raw(FrameDataFormat{960, 180, RAW, 7, 4});
    FrameDataFormat f{};
    ASSERT_EQ(depth.getFormat(DEPTH, f), 0);
    EXPECT_EQ(f.timestamp, 0u);
    EXPECT_EQ(f.range, 0);
    depth.setRange(2);
    raw.setRange(4);
    for (FrameType type : {DEPTH, AMPLITUDE}) {
        ASSERT_EQ(depth.getFormat(type, f), 0);
        EXPECT_EQ(f.range, 2) << type;
    }
    ASSERT_EQ(raw.getFormat(RAW, f), 0);
    EXPECT_EQ(f.range, 4);
    depth.setTimestamp(123456780);
    ASSERT_EQ(depth.getFormat(DEPTH, f), 0);
    EXPECT_EQ(f.timestamp, 123456780u);
    EXPECT_EQ(f.type, DEPTH);
    ASSERT_EQ(depth.getFormat(AMPLITUDE, f), 0);
    EXPECT_EQ(f.timestamp, 123456780u);
    EXPECT_EQ(f.type, AMPLITUDE);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 180u);
    // Planes start zeroed: nothing uninitialised is ever published.
    EXPECT_EQ(static_cast<float*>(depth.getData(AMPLITUDE))[43199], 0.0f);
}
