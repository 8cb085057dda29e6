// libFuzzer target: arbitrary sequences of bulk buffers into either frame
// decoder, with an arbitrary image configuration. AddressSanitizer reports
// any read or write outside a transfer buffer or a frame slot.
//
// Input: selector (bit 0: chunk stream, bit 1: force read, bit 2: trigger
// mode), format, width (2 bytes), height (2 bytes), bytes per pixel; then
// buffers, each a 2-byte length and that many bytes (cut at the end).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "usb_camera_session.h"

namespace {

class FuzzedDecoder : public UsbCameraSession {
public:
    bool prepare(const uint8_t* p) {
        image.format = p[1] % 10;
        image.width = uint32_t(p[2] << 8 | p[3]) % 2048 + 1;
        image.height = uint32_t(p[4] << 8 | p[5]) % 64 + 1;
        image.bytesPerPixel = uint8_t(p[6] % 2 + 1);
        forceRead = p[0] & 2 ? 1 : 0;
        triggerMode = p[0] & 4 ? 1 : 0;
        static const uint8_t pattern[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAA};
        std::memcpy(markerPattern, pattern, sizeof pattern);
        return InitVideoBuff() == 0;
    }
    void feed(bool chunks, const uint8_t* bytes, size_t n) {
        std::vector<uint8_t> buffer(bytes, bytes + n);  // exact size: over-reads are caught
        uint8_t frames = 0;
        const uint32_t result = chunks ? DecodeFrameUseUVC(buffer.data(), int32_t(n), frameOffset, frames)
                                       : DecodeFrameUseMarker(buffer.data(), int32_t(n), frameOffset, frames);
        if (result < 0x100 && result > 254) __builtin_trap();  // a count the caller would read as an error
        if (frameOffset > frameBufferSize) __builtin_trap();
        LumivexOutData* frame = nullptr;
        while (read(frame) == 0) {
            volatile uint8_t last = frame->data[frameBufferSize - 1];  // the slot is whole
            (void)last;
            del();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    static FILE* quiet = std::freopen("/dev/null", "w", stdout);  // length messages are expected
    (void)quiet;
    FuzzedDecoder decoder;
    if (!decoder.prepare(data)) return 0;
    const bool chunks = data[0] & 1;
    size_t at = 7;
    while (at + 2 <= size) {
        size_t n = size_t(data[at] << 8 | data[at + 1]);
        at += 2;
        if (n > size - at) n = size - at;
        decoder.feed(chunks, data + at, n);
        at += n;
    }
    return 0;
}
