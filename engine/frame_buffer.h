// Frame buffers: the abstract LumivexFrameBuffer and its three concrete kinds.
#pragma once

#include <cstdint>
#include <memory>

#include "frame_types.h"

namespace Lumivex {

class LumivexFrameBuffer {
public:
    virtual ~LumivexFrameBuffer() = default;
    // Stores the time stamp in every format the buffer holds.
    virtual void setTimestamp(uint64_t timestamp) = 0;
    // Address of the plane of that kind, or null if the buffer has none.
    virtual void* getData(FrameType type) = 0;
    // Copies the format of that kind into `format` and returns 0; -1 (and
    // `format` untouched) if the buffer holds no plane of that kind.
    virtual int32_t getFormat(FrameType type, FrameDataFormat& format) = 0;
    // Stores the range the frame was converted at in every format it holds.
    virtual void setRange(int32_t range) = 0;
};

class RawData : public LumivexFrameBuffer {
public:
    explicit RawData(const FrameDataFormat& format);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int32_t getFormat(FrameType type, FrameDataFormat& format) override;
    void setRange(int32_t range) override;

private:
    std::unique_ptr<int16_t[]> data;
    FrameDataFormat format;
};

class DepthData : public LumivexFrameBuffer {
public:
    DepthData(const FrameDataFormat& depthFormat, const FrameDataFormat& amplitudeFormat);
    ~DepthData() override;
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int32_t getFormat(FrameType type, FrameDataFormat& format) override;
    void setRange(int32_t range) override;

private:
    std::unique_ptr<float[]> amplitude;
    std::unique_ptr<float[]> depth;
    FrameDataFormat depthFormat;
    FrameDataFormat amplitudeFormat;
};

class CacheData : public LumivexFrameBuffer {
public:
    explicit CacheData(const FrameDataFormat& format);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int32_t getFormat(FrameType type, FrameDataFormat& format) override;
    void setRange(int32_t range) override;

private:
    std::unique_ptr<uint8_t[]> data;
    FrameDataFormat format;
};

}  // namespace Lumivex
