#include "frame_pool.h"

#include <algorithm>
#include <chrono>

namespace Lumivex {

void BufferQueue::addNode(std::unique_ptr<LumivexFrameBuffer> frame) {
    auto node = std::make_unique<BufferNode>();
    node->frame = std::move(frame);
    node->next = freeTop;
    freeTop = node.get();
    nodes.push_back(std::move(node));
}

BufferNode* BufferQueue::popFree() {
    std::lock_guard<std::mutex> lock(mutex);
    BufferNode* node = freeTop;
    if (node != nullptr) {
        freeTop = node->next;
        node->next = nullptr;
        node->state = NodeState::Worker;
    }
    return node;
}

void BufferQueue::appendReady(BufferNode* node) {
    std::lock_guard<std::mutex> lock(mutex);
    node->next = nullptr;
    node->state = NodeState::Ready;
    if (readyTail != nullptr) {
        readyTail->next = node;
    } else {
        readyHead = node;
    }
    readyTail = node;
}

void BufferQueue::putBack(BufferNode* node, bool asOldestReady) {
    std::lock_guard<std::mutex> lock(mutex);
    if (asOldestReady) {
        node->state = NodeState::Ready;
        node->next = readyHead;
        readyHead = node;
        if (readyTail == nullptr) readyTail = node;
    } else {
        node->state = NodeState::Free;
        node->next = freeTop;
        freeTop = node;
    }
}

BufferNode* BufferQueue::takeReadyHead(NodeState newOwner) {
    std::lock_guard<std::mutex> lock(mutex);
    BufferNode* node = readyHead;
    if (node == nullptr) return nullptr;
    readyHead = node->next;
    if (readyHead == nullptr) readyTail = nullptr;
    node->next = nullptr;
    node->state = newOwner;
    return node;
}

BufferNode* BufferQueue::lendReadyHead(int32_t range, bool& stale) {
    std::lock_guard<std::mutex> lock(mutex);
    stale = false;
    BufferNode* node = readyHead;
    if (node == nullptr) return nullptr;
    readyHead = node->next;
    if (readyHead == nullptr) readyTail = nullptr;
    // A frame put back after a newer one was lent (a reclaim whose capture
    // failed), or one of a range no longer in force: never handed out.
    if (node->sequence <= lastLent || node->range != range) {
        stale = true;
        node->state = NodeState::Free;
        node->next = freeTop;
        freeTop = node;
        return nullptr;
    }
    lastLent = node->sequence;
    node->next = nullptr;
    node->state = NodeState::Lent;
    return node;
}

BufferNode* BufferQueue::find(const LumivexFrameBuffer* frame) const {
    if (frame == nullptr) return nullptr;
    for (const auto& node : nodes) {
        if (node->frame.get() == frame) return node.get();
    }
    return nullptr;
}

int32_t BufferQueue::release(const LumivexFrameBuffer* frame) {
    BufferNode* node = find(frame);
    if (node == nullptr) return -1;
    std::lock_guard<std::mutex> lock(mutex);
    if (node->state != NodeState::Lent) return -1;  // already free or still queued
    node->state = NodeState::Free;
    node->next = freeTop;
    freeTop = node;
    return 0;
}

bool BufferQueue::holds(const LumivexFrameBuffer* frame) const { return find(frame) != nullptr; }

bool BufferQueue::isLent(const LumivexFrameBuffer* frame) {
    BufferNode* node = find(frame);
    if (node == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex);
    return node->state == NodeState::Lent;
}

int BufferQueue::lentCount() {
    std::lock_guard<std::mutex> lock(mutex);
    int count = 0;
    for (const auto& node : nodes) count += node->state == NodeState::Lent;
    return count;
}

FramePool::FramePool(FrameType type, uint32_t width, uint32_t height)
    : queue(std::make_unique<BufferQueue>()) {
    cache = std::make_unique<CacheData>(FrameDataFormat{8 * width, height, CACHE, 0, 0});
    for (int i = 0; i < bufferCount; ++i) {
        std::unique_ptr<LumivexFrameBuffer> frame;
        if (type == RAW) {
            frame = std::make_unique<RawData>(FrameDataFormat{4 * width, height, RAW, 0, 0});
        } else {
            frame = std::make_unique<DepthData>(FrameDataFormat{width, height, DEPTH, 0, 0},
                                                FrameDataFormat{width, height, AMPLITUDE, 0, 0});
        }
        queue->addNode(std::move(frame));
    }
}

uint8_t* FramePool::captureTarget() { return static_cast<uint8_t*>(cache->getData(CACHE)); }

BufferNode* FramePool::reclaimOldestReady() {
    {
        std::unique_lock<std::mutex> lock(readyMutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        while (readyCount <= 0) {
            if (readyCondition.wait_until(lock, deadline) == std::cv_status::timeout &&
                readyCount <= 0) {
                return nullptr;
            }
        }
        readyCount -= 1;
    }
    return queue->takeReadyHead(NodeState::Worker);
}

void FramePool::publish(BufferNode* node, int32_t range) {
    node->sequence = ++published;
    node->range = range;
    queue->appendReady(node);
    std::lock_guard<std::mutex> lock(readyMutex);
    sourceGone = false;
    if (!(readyCount > readyLimit)) {
        readyCount += 1;
        readyCondition.notify_all();
    }
}

void FramePool::returnUnfilled(BufferNode* node, bool wasReady) {
    queue->putBack(node, wasReady);
    if (!wasReady) return;
    std::lock_guard<std::mutex> lock(readyMutex);
    readyCount += 1;  // the count the reclaim took
    readyCondition.notify_all();
}

LumivexFrameBuffer* FramePool::requestFrame(int16_t timeoutMs, const std::function<bool()>& interrupted) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    std::unique_lock<std::mutex> lock(readyMutex);
    const bool unbounded = timeoutMs < 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(unbounded ? 0 : timeoutMs);
    for (;;) {
        while (readyCount <= 0) {
            // Unbounded: callers holding every buffer would wait for ever (the
            // worker has nothing to fill); so would anyone once no worker runs.
            if (unbounded && (!producing || claimedCount >= bufferCount)) return nullptr;
            if (sourceGone) return nullptr;  // nothing comes until the device is back
            const auto now = std::chrono::steady_clock::now();
            if (!unbounded && now >= deadline) return nullptr;
            readyCondition.wait_until(lock, unbounded ? now + kSlice : std::min(deadline, now + kSlice));
            if (readyCount > 0 || !interrupted) continue;
            lock.unlock();
            const bool giveUp = interrupted();
            lock.lock();
            if (giveUp) return nullptr;
        }
        readyCount -= 1;
        claimedCount += 1;
        if (claimedCount >= bufferCount) readyCondition.notify_all();
        lock.unlock();  // the two locks are never held together
        bool stale = false;
        BufferNode* node = queue->lendReadyHead(rangeInForce.load(), stale);
        lock.lock();
        if (node != nullptr) return node->frame.get();
        claimedCount -= 1;  // the claim found no frame to hand out
        if (!stale) return nullptr;  // defensive: the FIFO was empty
        // The stale frame went back to the free stack for the worker to
        // fill; the wait goes on, within the same time-out.
        readyCondition.notify_all();
    }
}

int32_t FramePool::releaseFrame(const LumivexFrameBuffer* frame) {
    const int32_t result = queue->release(frame);
    if (result == 0) {
        std::lock_guard<std::mutex> lock(readyMutex);
        claimedCount -= 1;
    }
    return result;
}

void FramePool::setSourceGone(bool gone) {
    std::lock_guard<std::mutex> lock(readyMutex);
    if (gone == sourceGone) return;
    sourceGone = gone;
    readyCondition.notify_all();
}

void FramePool::setProducing(bool value) {
    std::lock_guard<std::mutex> lock(readyMutex);
    producing = value;
    readyCondition.notify_all();
}

}  // namespace Lumivex
