// What a Python frame object holds: the engine's buffer and the pool that
// owns it. Holding the pool keeps the buffer's memory valid for as long as
// the Python object lives; the buffer is usable while the pool lends it.
#pragma once

#include <memory>
#include <stdexcept>

#include "frame_buffer.h"
#include "frame_pool.h"

namespace LumivexPython {

struct FrameHandle {
    Lumivex::LumivexFrameBuffer* buffer;
    std::shared_ptr<Lumivex::FramePool> pool;

    // The buffer, if the caller still borrows it; otherwise RuntimeError.
    Lumivex::LumivexFrameBuffer* lent() const {
        if (!pool || !pool->isLent(buffer))
            throw std::runtime_error("the frame was released: request a new frame");
        return buffer;
    }
};

struct RawHandle : FrameHandle {};
struct DepthHandle : FrameHandle {};

}  // namespace LumivexPython
