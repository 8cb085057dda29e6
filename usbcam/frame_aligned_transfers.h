// The lengths of the bulk transfers of a marker stream: each ends where a
// frame ends on the wire.
//
// A marker stream is made of whole 512-byte packets (a frame's last data
// packet is padded, its valid length travels in the marker), so on a link
// that sends no short packet a bulk transfer completes only when it is full.
// A transfer that ends inside a frame therefore holds that frame's tail until
// the next frame's bytes fill it: on USB 2 every frame would reach the caller
// one frame period late. When the frame size on the wire is known, each
// transfer is sized to end at the next frame end (never longer than the
// configured transfer size): a frame then completes its transfer with its own
// marker.
//
// The stream can slip out of step (a packet lost on the wire, a remnant of an
// earlier stream at the start, a special frame of another length). The phase
// of the stream after each decoded transfer (the bytes past its last marker)
// and the bytes still queued ahead of a new submission say where that
// submission will begin; its length is chosen to end at a frame end from
// there. A slip is thus mended by the next submission, and takes effect once
// the transfers queued before it have been filled (at most 32).
//
// A link that ends transfers itself (a short or zero-length packet) needs none
// of this: after the first such completion every transfer has the configured
// size again. Used only by the capture's consumer thread.
#pragma once

#include <cstdint>

namespace LumivexUsb {

class FrameAlignedTransfers {
public:
    // `wireFrameBytes`: a frame's bytes on the wire (0: not known, every
    // transfer is `largest`); `largest`: the configured transfer size;
    // `packetBytes`: the endpoint's packet size, which every length keeps to.
    void start(uint32_t wireFrameBytes, uint32_t largest, uint32_t packetBytes);
    // The length of the next submission, counted as queued from now on.
    uint32_t nextLength();
    // A submission of `length` bytes was refused: it is not queued.
    void refused(uint32_t length) { queued -= length; }
    // A transfer of `length` submitted bytes was handed back and consumed;
    // `bytesAfterLastFrameEnd` is its data's phase: the bytes after the last
    // frame end in it, or -1 when no frame ended in it (`actual` bytes all
    // belong to one frame).
    void consumed(uint32_t length, int32_t actual, int64_t bytesAfterLastFrameEnd);
    // A transfer came back shorter than submitted without a time-out: the
    // link ends transfers by itself.
    void linkEndsTransfers() { aligned = false; }
    // Every transfer is back and nothing is queued (a cancelled capture).
    void restart() {
        queued = 0;
        phase = 0;
    }
    bool aligning() const { return aligned; }
    // The frame bytes on the wire for an image of `imageBytes` in packets of
    // `packetBytes` (the padded data packets and the marker packet).
    static uint32_t wireFrameBytes(uint32_t imageBytes, uint32_t packetBytes);

private:
    uint32_t wireFrame = 0;
    uint32_t largest = 0;
    uint32_t packet = 512;
    bool aligned = false;
    uint64_t queued = 0;  // bytes submitted and not yet consumed
    uint64_t phase = 0;   // bytes of the frame in progress after the last consumed transfer
};

}  // namespace LumivexUsb
