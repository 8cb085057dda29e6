#include <gtest/gtest.h>

#include "frame_buffer.h"

using namespace Lumivex;

TEST(FrameBuffers, AnswerOnlyForTheirOwnPlanes) {
    RawData raw(FrameDataFormat{960, 180, RAW, 0});
    DepthData depth(FrameDataFormat{240, 180, DEPTH, 0}, FrameDataFormat{240, 180, AMPLITUDE, 0});
    CacheData cache(FrameDataFormat{1920, 180, CACHE, 0});

    FrameDataFormat untouched{1, 2, CACHE, 3};
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

TEST(FrameBuffers, TimestampReachesEveryFormatAndStartsAtZero) {
    DepthData depth(FrameDataFormat{240, 180, DEPTH, 7}, FrameDataFormat{240, 180, AMPLITUDE, 7});
    FrameDataFormat f{};
    ASSERT_EQ(depth.getFormat(DEPTH, f), 0);
    EXPECT_EQ(f.timestamp, 0u);
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
