// Decoding throughput of the two USB stream formats against a memcpy of the
// same bytes: each image byte is copied once, so the decoders should run at
// a good share of memory bandwidth.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "stream_builder.h"
#include "usb_camera_session.h"

namespace {

constexpr size_t kTransfer = 131072;

class BenchDecoder : public UsbCameraSession {
public:
    BenchDecoder(uint32_t width, uint32_t height) {
        image.width = width;
        image.height = height;
        image.bytesPerPixel = 2;
        image.format = 0;
        static const uint8_t pattern[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAA};
        std::memcpy(markerPattern, pattern, sizeof pattern);
        InitVideoBuff();
    }
    uint32_t decode(bool chunks, uint8_t* buffer, size_t n) {
        uint8_t frames = 0;
        const uint32_t result = chunks ? DecodeFrameUseUVC(buffer, int32_t(n), frameOffset, frames)
                                       : DecodeFrameUseMarker(buffer, int32_t(n), frameOffset, frames);
        LumivexOutData* frame = nullptr;
        while (read(frame) == 0) del();
        return result;
    }
};

// Four 640 x 480 x 2 frames cut into 131,072-byte transfers. A marker
// stream runs on across transfers; a chunk frame ends its last transfer.
std::vector<std::vector<uint8_t>> transfers(bool chunks) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> stream;
    auto cut = [&out](const std::vector<uint8_t>& bytes) {
        for (size_t at = 0; at < bytes.size(); at += kTransfer)
            out.emplace_back(bytes.begin() + long(at), bytes.begin() + long(std::min(bytes.size(), at + kTransfer)));
    };
    for (uint16_t f = 0; f < 4; ++f) {
        const auto image = LumivexTest::patternImage(614400, uint8_t(f));
        if (chunks) {
            cut(LumivexTest::chunkFrame(image, uint8_t(f & 1)));
        } else {
            const auto frame = LumivexTest::markerFrame(image, f);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
    }
    if (!chunks) cut(stream);
    return out;
}

void decodeStream(benchmark::State& state, bool chunks) {
    auto buffers = transfers(chunks);
    BenchDecoder decoder(640, 480);
    size_t bytes = 0;
    for (auto _ : state) {
        for (auto& b : buffers) {
            benchmark::DoNotOptimize(decoder.decode(chunks, b.data(), b.size()));
            bytes += b.size();
        }
    }
    state.SetBytesProcessed(int64_t(bytes));
}

void BM_DecodeMarkerStream(benchmark::State& state) { decodeStream(state, false); }
void BM_DecodeChunkStream(benchmark::State& state) { decodeStream(state, true); }
BENCHMARK(BM_DecodeMarkerStream)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeChunkStream)->Unit(benchmark::kMicrosecond);

// The baseline: the same bytes copied once into a frame-sized buffer.
void BM_MemcpySameBytes(benchmark::State& state) {
    auto buffers = transfers(false);
    std::vector<uint8_t> frame(614400 + kTransfer);
    size_t bytes = 0;
    for (auto _ : state) {
        size_t at = 0;
        for (auto& b : buffers) {
            if (at + b.size() > frame.size()) at = 0;
            std::memcpy(frame.data() + at, b.data(), b.size());
            at += b.size();
            bytes += b.size();
        }
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMicrosecond);

}  // namespace
