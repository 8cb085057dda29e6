#include "frame_aligned_transfers.h"

namespace LumivexUsb {

uint32_t FrameAlignedTransfers::wireFrameBytes(uint32_t imageBytes, uint32_t packetBytes) {
    if (imageBytes == 0 || packetBytes == 0) return 0;
    const uint64_t bytes = (uint64_t(imageBytes) + packetBytes - 1) / packetBytes * packetBytes + packetBytes;
    return bytes > 0x7FFFFFFF ? 0 : uint32_t(bytes);
}

void FrameAlignedTransfers::start(uint32_t wireFrameBytes, uint32_t largestBytes, uint32_t packetBytes) {
    wireFrame = wireFrameBytes;
    largest = largestBytes;
    packet = packetBytes > 0 ? packetBytes : 512;
    // Lengths must stay whole packets: a transfer that ends inside a packet
    // overflows when the board sends the whole packet.
    aligned = wireFrame != 0 && wireFrame % packet == 0 && largest >= packet;
    restart();
}

uint32_t FrameAlignedTransfers::nextLength() {
    uint32_t length = largest;
    if (aligned) {
        // Where this transfer begins within a frame, if every frame from the
        // last one seen is of the expected size.
        const uint64_t into = (phase + queued) % wireFrame;
        const uint64_t toFrameEnd = wireFrame - into;
        const uint64_t wholeLargest = largest / packet * packet;
        length = uint32_t(toFrameEnd < wholeLargest ? toFrameEnd : wholeLargest);
        // A phase that is not whole packets (a board that sent a short
        // packet after all) rounds up: the transfer still ends by the frame end.
        length = (length + packet - 1) / packet * packet;
        if (length > largest) length = largest;
    }
    queued += length;
    return length;
}

void FrameAlignedTransfers::consumed(uint32_t length, int32_t actual, int64_t bytesAfterLastFrameEnd) {
    queued = queued > length ? queued - length : 0;
    if (actual <= 0) return;
    phase = bytesAfterLastFrameEnd >= 0 ? uint64_t(bytesAfterLastFrameEnd) : phase + uint64_t(actual);
}

}  // namespace LumivexUsb
