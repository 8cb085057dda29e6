// The two decoders fed with stream bytes directly: frame lengths, tails,
// sequence numbers, special frames, JPEG markers, overflow, the ring.
#include "stream_builder.h"
#include "session_probe.h"
#include "virtual_bus.h"

using namespace LumivexTest;

namespace {

class Decoder : public ::testing::Test {
protected:
    uint32_t feedMarker(std::vector<uint8_t> bytes) {
        uint8_t frames = 0;
        return probe.DecodeFrameUseMarker(bytes.data(), int32_t(bytes.size()), probe.frameOffset, frames);
    }
    uint32_t feedChunks(std::vector<uint8_t> bytes) {
        uint8_t frames = 0;
        return probe.DecodeFrameUseUVC(bytes.data(), int32_t(bytes.size()), probe.frameOffset, frames);
    }
    LumivexOutData* take() {
        LumivexOutData* frame = nullptr;
        EXPECT_EQ(probe.read(frame), 0u);
        return frame;
    }
    Probe probe;
};

TEST_F(Decoder, A614400ByteFrameOf1200PacketsAndATailZeroMarker) {
    ASSERT_EQ(probe.prepare(640, 480, 2, 0), 0u);
    const auto image = patternImage(614400, 1);
    auto stream = markerFrame(image, 0);
    ASSERT_EQ(stream.size(), 1201u * 512);
    // Across transfers of 131072 bytes, as the bulk stream arrives.
    uint32_t frames = 0;
    for (size_t at = 0; at < stream.size(); at += 131072) {
        const size_t n = std::min<size_t>(131072, stream.size() - at);
        frames += feedMarker(std::vector<uint8_t>(stream.begin() + long(at), stream.begin() + long(at + n)));
    }
    EXPECT_EQ(frames, 1u);
    LumivexOutData* frame = take();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->config.frameLength, 614400u);
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + 614400), image);
}

TEST_F(Decoder, AThousandByteFrameWithTail488StoresBothPackets) {
    ASSERT_EQ(probe.prepare(1000, 1, 1, 0), 0u);
    const auto image = patternImage(1000, 2);
    EXPECT_EQ(feedMarker(markerFrame(image, 0)), 1u);
    LumivexOutData* frame = take();
    EXPECT_EQ(frame->config.frameLength, 1000u);
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + 1000), image);
    EXPECT_EQ(frame->data[1023], 0xEE);  // all 1024 data bytes stored
}

struct SequenceCase {
    uint16_t last, next;
    uint32_t trigger;
    uint32_t result;
};

class SequenceTest : public Decoder, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(SequenceTest, GapsAreReportedInContinuousModeAndTheFrameIsStillDelivered) {
    const SequenceCase c = GetParam();
    ASSERT_EQ(probe.prepare(512, 1, 1, 0), 0u);
    probe.lastSequence = c.last;
    probe.triggerMode = c.trigger;
    EXPECT_EQ(feedMarker(markerFrame(patternImage(512, 0), c.next)), c.result);
    EXPECT_EQ(probe.available(), 1u);
    EXPECT_EQ(probe.lastSequence, c.next);
}

INSTANTIATE_TEST_SUITE_P(Numbers, SequenceTest,
                         ::testing::Values(SequenceCase{0xFFFF, 0, 0, 1}, SequenceCase{0xFFFE, 0xFFFF, 0, 1},
                                           SequenceCase{5, 6, 0, 1}, SequenceCase{5, 7, 0, USB_CAMERA_SEQUENCE_GAP},
                                           SequenceCase{5, 7, 1, 1}, SequenceCase{0xFFFF, 3, 0, USB_CAMERA_SEQUENCE_GAP}));

TEST_F(Decoder, FirstFrameNumberedZeroPassesAfterConstruction) {
    ASSERT_EQ(probe.prepare(512, 1, 1, 0), 0u);
    EXPECT_EQ(feedMarker(markerFrame(patternImage(512, 0), 0)), 1u);
}

TEST_F(Decoder, ASpecialFrameIsFormat8WhateverItsLengthAndKeepsTheSequence) {
    ASSERT_EQ(probe.prepare(1024, 1, 1, 0), 0u);
    probe.lastSequence = 9;
    EXPECT_EQ(feedMarker(markerFrame(patternImage(300, 0), 500, true)), 1u);
    LumivexOutData* frame = take();
    EXPECT_EQ(frame->config.format, 8u);
    EXPECT_EQ(frame->config.frameLength, 300u);
    EXPECT_EQ(probe.lastSequence, 9);
}

TEST_F(Decoder, AWrongLengthIsDroppedWithAMessageOrDeliveredUnderForceRead) {
    ASSERT_EQ(probe.prepare(1024, 1, 1, 0), 0u);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(feedMarker(markerFrame(patternImage(700, 0), 0)), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "USB_CAMERA_DATA_LEN_ERROR\tRECEIVE_LENGTH:700\n");
    EXPECT_EQ(probe.available(), 0u);
    probe.enableForceRead();
    EXPECT_EQ(feedMarker(markerFrame(patternImage(700, 5), 1)), USB_CAMERA_DATA_LEN_ERROR);
    ASSERT_EQ(probe.available(), 1u);
    LumivexOutData* frame = take();
    EXPECT_EQ(frame->config.frameLength, 700u);
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + 700), patternImage(700, 5));
}

TEST_F(Decoder, AFrameLongerThanItsSlotNeverWritesPastIt) {
    ASSERT_EQ(probe.prepare(1024, 1, 1, 0), 0u);
    const auto huge = markerFrame(patternImage(5000, 0), 0);
    EXPECT_EQ(feedMarker(huge), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(probe.available(), 0u);
    probe.enableForceRead();
    EXPECT_EQ(feedMarker(std::vector<uint8_t>(huge.begin(), huge.end() - 512)), USB_CAMERA_DATA_LEN_ERROR);
    ASSERT_EQ(probe.available(), 1u);
    EXPECT_EQ(take()->config.frameLength, 1024u);  // filled to its size
    EXPECT_EQ(probe.frameOffset, 0u);
}

TEST_F(Decoder, JpegMarkerFramesAreTrimmedAtTheEndMarkerOrGetLengthZero) {
    ASSERT_EQ(probe.prepare(64, 16, 1, 3), 0u);  // 1024-byte slots
    std::vector<uint8_t> jpeg(600, 0x11);
    jpeg[0] = 0xFF;
    jpeg[1] = 0xD8;
    jpeg[400] = 0xFF;
    jpeg[401] = 0xD9;
    EXPECT_EQ(feedMarker(markerFrame(jpeg, 0)), 1u);
    EXPECT_EQ(take()->config.frameLength, 402u);
    probe.del();
    jpeg[401] = 0x00;
    EXPECT_EQ(feedMarker(markerFrame(jpeg, 1)), 1u);
    EXPECT_EQ(take()->config.frameLength, 0u);
}

TEST_F(Decoder, OldFirmwareStampsZeroAndNewFirmwareTheDeviceClock) {
    ASSERT_EQ(probe.prepare(512, 1, 1, 0), 0u);
    probe.deviceInfo.firmwareVersion = 0x0313;
    probe.deviceInfo.date[0] = 21;
    probe.deviceInfo.date[1] = 6;
    probe.deviceInfo.date[2] = 6;
    feedMarker(markerFrame(patternImage(512, 0), 0, false, 123456789));
    EXPECT_EQ(take()->timestamp, 0u);
    probe.del();
    probe.deviceInfo.firmwareVersion = 0x0314;
    feedMarker(markerFrame(patternImage(512, 0), 1, false, 123456789));
    EXPECT_EQ(take()->timestamp, 123456789u);
    probe.del();
    probe.deviceInfo.date[2] = 5;  // 21605 is not above 21605
    feedMarker(markerFrame(patternImage(512, 0), 2, false, 123456789));
    EXPECT_EQ(take()->timestamp, 0u);
}

TEST_F(Decoder, TheRingHoldsFiveFramesAndTheSixthIsOverwrittenInItsSlot) {
    ASSERT_EQ(probe.prepare(512, 1, 1, 0), 0u);
    for (uint16_t i = 0; i < 7; ++i) feedMarker(markerFrame(patternImage(512, uint8_t(i)), i));
    EXPECT_EQ(probe.available(), 5u);
    EXPECT_EQ(probe.writeIndex, 5u);
    EXPECT_EQ(probe.frameSlots[5].data[0], 6);  // the seventh frame replaced the sixth
    for (uint8_t i = 0; i < 5; ++i) {
        EXPECT_EQ(take()->data[0], i);
        EXPECT_EQ(probe.del(), 0u);
    }
    LumivexOutData* none = reinterpret_cast<LumivexOutData*>(1);
    EXPECT_EQ(probe.read(none), USB_CAMERA_NO_FRAME_TO_READ);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(probe.del(), USB_CAMERA_NO_FRAME_TO_RELEASE);
    probe.readIndex = 4;
    probe.writeIndex = 1;
    EXPECT_EQ(probe.available(), 3u);
    EXPECT_EQ(probe.flush(), 0u);
    EXPECT_EQ(probe.available(), 0u);
}

TEST_F(Decoder, ChunkFramesToggleTheirIdAndEndAtTheEndBit) {
    ASSERT_EQ(probe.prepare(200, 100, 2, 0), 0u);  // 40,000-byte frames
    const auto first = patternImage(40000, 3);
    EXPECT_EQ(feedChunks(chunkFrame(first, 1)), 1u);
    LumivexOutData* frame = take();
    EXPECT_EQ(frame->config.frameLength, 40000u);
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + 40000), first);
    // A frame without its end: the next frame ID reports it.
    EXPECT_EQ(feedChunks(chunkFrame(patternImage(40000, 4), 0, false)), 0u);
    EXPECT_EQ(feedChunks(chunkFrame(patternImage(40000, 5), 1)), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(probe.available(), 2u);  // the complete one is delivered all the same
}

TEST_F(Decoder, AChunkWithAnotherHeaderLengthEndsTheBufferAndEarlierChunksCount) {
    ASSERT_EQ(probe.prepare(16368, 1, 1, 0), 0u);
    auto bytes = chunkFrame(patternImage(16368, 0), 1);  // exactly one full chunk
    auto bad = chunkFrame(patternImage(16368, 1), 0);
    bad[0] = 11;
    bytes.insert(bytes.end(), bad.begin(), bad.end());
    EXPECT_EQ(feedChunks(bytes), 1u);
    EXPECT_EQ(probe.available(), 1u);
}

TEST_F(Decoder, JpegChunkFramesStartAtFFD8AndEndAfterFFD9) {
    ASSERT_EQ(probe.prepare(100, 30, 1, 3), 0u);  // 3072-byte slots
    std::vector<uint8_t> image(2000, 0x22);
    image[4] = 0xFF;  // chunk position 20
    image[5] = 0xD8;
    image[1500] = 0xFF;
    image[1501] = 0xD9;
    EXPECT_EQ(feedChunks(chunkFrame(image, 1)), 1u);
    LumivexOutData* frame = take();
    EXPECT_EQ(frame->data[0], 0xFF);
    EXPECT_EQ(frame->data[1], 0xD8);
    EXPECT_EQ(frame->config.frameLength, 1498u);  // from the FF D8 to the D9
    probe.del();
    image[5] = 0x00;
    EXPECT_EQ(feedChunks(chunkFrame(image, 0)), USB_CAMERA_JPEG_ERROR);
    image[5] = 0xD8;
    image[1501] = 0x00;
    EXPECT_EQ(feedChunks(chunkFrame(image, 1)), USB_CAMERA_JPEG_ERROR);
    EXPECT_EQ(probe.available(), 0u);
}

TEST_F(Decoder, ChunkPayloadBeyondTheSlotIsNotStored) {
    ASSERT_EQ(probe.prepare(100, 10, 1, 0), 0u);  // 1024-byte slots
    EXPECT_EQ(feedChunks(chunkFrame(patternImage(5000, 0), 1)), USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(probe.available(), 0u);
}

TEST(CheckJpg, FindsTheLastEndMarkerAfterAStartMarker) {
    uint8_t data[8] = {0xFF, 0xD8, 0xFF, 0xD9, 0, 0xFF, 0xD9, 0};
    uint32_t length = 8;
    EXPECT_EQ(checkJPG(length, data), 6);
    length = 5;
    EXPECT_EQ(checkJPG(length, data), 3);
    data[1] = 0;
    EXPECT_EQ(checkJPG(length, data), -1);
    length = 1;
    EXPECT_EQ(checkJPG(length, data), -1);
}

}  // namespace
