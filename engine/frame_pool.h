// The frame pool: three frame buffers handed between the worker and callers
// through a free stack and a ready FIFO, plus the capture buffer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "frame_buffer.h"

namespace Lumivex {

// Where a node is; every node is in exactly one place at a time.
enum class NodeState { Free, Ready, Worker, Lent };

struct BufferNode {
    BufferNode* next = nullptr;
    std::unique_ptr<LumivexFrameBuffer> frame;
    NodeState state = NodeState::Free;
    // Set when the worker publishes the frame: its place in capture order
    // (1, 2, ...) and the range it was converted at.
    uint64_t sequence = 0;
    int32_t range = 0;
};

// Free stack (top first) and ready FIFO (head and tail) under one mutex.
class BufferQueue {
public:
    // Building only (no worker exists yet): push onto the free stack and
    // append to the node table.
    void addNode(std::unique_ptr<LumivexFrameBuffer> frame);

    // Pops the top of the free stack for the worker; null if it is empty.
    BufferNode* popFree();
    // Appends a node the worker holds at the tail of the ready FIFO.
    void appendReady(BufferNode* node);
    // A node the worker holds goes back unchanged: to the head of the ready
    // FIFO (it was the oldest ready frame) or onto the free stack.
    void putBack(BufferNode* node, bool asOldestReady);
    // Unlinks the head of the ready FIFO and hands it to `newOwner`. Callers
    // first claim a frame through the pool's ready count, so the FIFO is
    // never empty here; null is returned defensively if it is.
    BufferNode* takeReadyHead(NodeState newOwner);
    // For a caller: like takeReadyHead, but a frame that must not be handed
    // out (older than one already lent, or not of `range`) goes onto the free
    // stack instead, and `stale` is set.
    BufferNode* lendReadyHead(int32_t range, bool& stale);
    // Puts a lent frame back on the free stack: 0, or -1 if the frame is not
    // in this queue or not currently lent (lists untouched).
    int32_t release(const LumivexFrameBuffer* frame);

    bool holds(const LumivexFrameBuffer* frame) const;  // node table lookup
    bool isLent(const LumivexFrameBuffer* frame);
    int lentCount();

private:
    BufferNode* find(const LumivexFrameBuffer* frame) const;

    std::mutex mutex;
    BufferNode* freeTop = nullptr;
    BufferNode* readyHead = nullptr;
    BufferNode* readyTail = nullptr;
    uint64_t lastLent = 0;  // sequence of the newest frame handed to a caller
    std::vector<std::unique_ptr<BufferNode>> nodes;  // creation order, fixed after building
};

class FramePool {
public:
    // Builds the capture buffer and three frame buffers for RAW or DEPTH.
    FramePool(FrameType type, uint32_t width, uint32_t height);

    uint8_t* captureTarget();

    // Worker: the top of the free stack, or null if it is empty.
    BufferNode* popFreeForCapture() { return queue->popFree(); }

    // Worker, when the free stack is empty: waits up to 20 ms for a ready
    // frame and reclaims the oldest one; null when none became ready.
    BufferNode* reclaimOldestReady();
    // Worker: appends the filled node, converted at `range`, to the FIFO,
    // then counts it as ready unless the count is already above the limit.
    void publish(BufferNode* node, int32_t range);
    // Worker, after a failed capture: nothing is published. The node goes
    // back as it was: a reclaimed ready frame (a real capture) to the head of
    // the FIFO, a free buffer to the free stack.
    void returnUnfilled(BufferNode* node, bool wasReady);

    // Caller: the oldest ready frame, waiting up to timeoutMs; null on
    // time-out. A negative time-out waits as long as a frame can still come:
    // null at once when the callers hold every buffer, and when no worker
    // runs (it ended, or the back-end's start failed). Any wait returns null
    // at once while the device is gone. The wait goes in slices; between
    // them `interrupted` (if any) is asked, without the pool's locks,
    // whether to give up (null).
    LumivexFrameBuffer* requestFrame(int16_t timeoutMs, const std::function<bool()>& interrupted = nullptr);
    int32_t releaseFrame(const LumivexFrameBuffer* frame);

    bool holds(const LumivexFrameBuffer* frame) const { return queue->holds(frame); }
    bool isLent(const LumivexFrameBuffer* frame) { return queue->isLent(frame); }
    int lentCount() { return queue->lentCount(); }

    // Set while a worker fills this pool; an unbounded wait ends when it clears.
    void setProducing(bool producing);
    // Set while the device is gone (unplugged): a caller waiting, with any
    // time-out, gets null at once. Cleared by the next frame published.
    void setSourceGone(bool gone);
    // The range in force (start, and every switch): from here on a caller
    // is handed only frames converted at it; those of an earlier range still
    // waiting are dropped.
    void setRangeInForce(int32_t range) { rangeInForce.store(range); }

private:
    std::unique_ptr<BufferQueue> queue;
    std::unique_ptr<CacheData> cache;
    uint8_t bufferCount = 3;
    std::mutex readyMutex;
    std::condition_variable readyCondition;
    int32_t readyCount = 0;
    int32_t readyLimit = 3;
    bool producing = false;  // guarded by readyMutex
    bool sourceGone = false;   // guarded by readyMutex
    // Frames claimed by callers and not yet released, guarded by readyMutex,
    // so that an unbounded wait decides under its own lock that nothing can
    // come (the queue's node states need the other lock).
    int32_t claimedCount = 0;
    std::atomic<int32_t> rangeInForce{0};
    uint64_t published = 0;  // frames published so far (the worker's alone)
};

}  // namespace Lumivex
