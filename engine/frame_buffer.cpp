#include "frame_buffer.h"

namespace Lumivex {

namespace {
// Arrays are zero-filled so that a frame published before its first successful
// capture never exposes uninitialised memory.
template <typename T>
std::unique_ptr<T[]> allocatePlane(const FrameDataFormat& format) {
    return std::unique_ptr<T[]>(new T[size_t(format.width) * format.height]());
}

FrameDataFormat withZeroTimestamp(FrameDataFormat format) {
    format.timestamp = 0;
    format.range = 0;
    return format;
}
}  // namespace

RawData::RawData(const FrameDataFormat& f)
    : data(allocatePlane<int16_t>(f)), format(withZeroTimestamp(f)) {}

void RawData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void RawData::setRange(int32_t range) { format.range = range; }

void* RawData::getData(FrameType type) { return type == RAW ? data.get() : nullptr; }

int32_t RawData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type != RAW) return -1;
    out = format;
    return 0;
}

DepthData::DepthData(const FrameDataFormat& depthF, const FrameDataFormat& amplitudeF)
    : amplitude(allocatePlane<float>(depthF)),
      depth(allocatePlane<float>(depthF)),
      depthFormat(withZeroTimestamp(depthF)),
      amplitudeFormat(withZeroTimestamp(amplitudeF)) {}

DepthData::~DepthData() {
    depth.reset();  // depth is freed before amplitude
    amplitude.reset();
}

void DepthData::setTimestamp(uint64_t timestamp) {
    depthFormat.timestamp = timestamp;
    amplitudeFormat.timestamp = timestamp;
}

void DepthData::setRange(int32_t range) {
    depthFormat.range = range;
    amplitudeFormat.range = range;
}

void* DepthData::getData(FrameType type) {
    if (type == DEPTH) return depth.get();
    if (type == AMPLITUDE) return amplitude.get();
    return nullptr;
}

int32_t DepthData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type == DEPTH) {
        out = depthFormat;
        return 0;
    }
    if (type == AMPLITUDE) {
        out = amplitudeFormat;
        return 0;
    }
    return -1;
}

CacheData::CacheData(const FrameDataFormat& f)
    : data(allocatePlane<uint8_t>(f)), format(withZeroTimestamp(f)) {}

void CacheData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void CacheData::setRange(int32_t range) { format.range = range; }

void* CacheData::getData(FrameType type) { return type == CACHE ? data.get() : nullptr; }

int32_t CacheData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type != CACHE) return -1;
    out = format;
    return 0;
}

}  // namespace Lumivex
