// The capture node: formats, inputs, buffers and their queue, streaming,
// sub-frames rendered from the scene at their due times, poll.
#include "virtual_kernel.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/v4l2-subdev.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <thread>

#include "real_libc.h"

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

#include "vkernel_shared.h"

namespace LumivexSim {

using namespace detail;

int VirtualKernel::videoIoctl(std::unique_lock<std::mutex>& lock, int fd, int index, const std::string& path,
                              unsigned long request, void* argument) {
    VideoNode& node = videoNodes[size_t(index)];
    const char* at = path.c_str();
    // videobuf2: the queue belongs to the descriptor that allocated its
    // buffers; another one may not allocate, queue, dequeue or stream.
    const bool queueRequest = request == VIDIOC_REQBUFS || request == VIDIOC_QBUF || request == VIDIOC_DQBUF ||
                              request == VIDIOC_STREAMON || request == VIDIOC_STREAMOFF;
    if (queueRequest && node.owner >= 0 && node.owner != fd) {
        log("ioctl %s %s -> EBUSY (the queue belongs to another descriptor)", at, requestName(request));
        return failWith(EBUSY);
    }
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            std::memset(caps, 0, sizeof *caps);
            std::snprintf(reinterpret_cast<char*>(caps->driver), sizeof caps->driver, "lumivex-virtual");
            std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "Lumivex ToF (virtual)");
            caps->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
            caps->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_S_INPUT:
            // videobuf2: no input change while buffers are allocated.
            if (!node.buffers.empty()) {
                log("ioctl %s VIDIOC_S_INPUT -> EBUSY (buffers allocated)", at);
                return failWith(EBUSY);
            }
            if (*static_cast<int*>(argument) != 0) return failWith(EINVAL);
            node.input = 0;
            return 0;
        case VIDIOC_G_INPUT:
            *static_cast<int*>(argument) = node.input;
            return 0;
        case VIDIOC_TRY_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_G_FMT: {
            auto* format = static_cast<v4l2_format*>(argument);
            if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
            if (request == VIDIOC_G_FMT) {
                format->fmt.pix = node.format;
                return 0;
            }
            const uint32_t asked = format->fmt.pix.pixelformat;
            // videobuf2: no format change while buffers are allocated.
            if (request == VIDIOC_S_FMT && (node.streaming || !node.buffers.empty())) {
                log("ioctl %s VIDIOC_S_FMT -> EBUSY (buffers allocated)", at);
                return failWith(EBUSY);
            }
            const uint32_t askedField = format->fmt.pix.field;
            // The driver offers the format its receiver delivers.
            v4l2_pix_format pix = node.format;
            if (config.formatWidth > 0) pix.width = uint32_t(config.formatWidth);
            if (request == VIDIOC_TRY_FMT && config.tryField >= 0) pix.field = uint32_t(config.tryField);
            format->fmt.pix = pix;
            if (request == VIDIOC_S_FMT) node.format = pix;
            log("ioctl %s %s pixelformat=%s field=%u -> %s width=%u height=%u", at, requestName(request),
                fourcc(asked).c_str(), askedField, fourcc(pix.pixelformat).c_str(), pix.width, pix.height);
            return 0;
        }
        case VIDIOC_REQBUFS: {
            const int result = requestBuffers(node, *static_cast<v4l2_requestbuffers*>(argument));
            if (result == 0) node.owner = node.buffers.empty() ? -1 : fd;
            return result;
        }
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->index >= node.buffers.size()) {
                log("ioctl %s VIDIOC_QUERYBUF index=%u -> EINVAL", at, buffer->index);
                return failWith(EINVAL);
            }
            const Buffer& b = node.buffers[buffer->index];
            buffer->length = b.length;
            buffer->m.offset = b.offset;
            buffer->memory = V4L2_MEMORY_MMAP;
            buffer->flags = b.queued ? V4L2_BUF_FLAG_QUEUED : 0;
            log("ioctl %s VIDIOC_QUERYBUF index=%u length=%u offset=%u", at, buffer->index, b.length, b.offset);
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP ||
                buffer->index >= node.buffers.size() || node.buffers[buffer->index].queued) {
                log("ioctl %s VIDIOC_QBUF index=%u -> EINVAL", at, buffer->index);
                return failWith(EINVAL);
            }
            node.buffers[buffer->index].queued = true;
            node.queue.push_back(buffer->index);
            log("ioctl %s VIDIOC_QBUF index=%u", at, buffer->index);
            return 0;
        }
        case VIDIOC_DQBUF:
            return dequeue(lock, node, *static_cast<v4l2_buffer*>(argument));
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
            if (request == VIDIOC_STREAMON) {
                if (node.buffers.empty()) {
                    log("ioctl %s VIDIOC_STREAMON -> EINVAL (no buffers)", at);
                    return failWith(EINVAL);
                }
                node.streaming = true;
                node.startMicros = nowMicros();
                node.nextSubFrame = 0;
                node.delivered = 0;
                node.done.clear();
                if (replaying(node)) {  // each stream replays the recording from its start
                    replay->rewind();
                    node.replayed = nullptr;
                    node.replaySub = 0;
                    node.replayEnded = false;
                    node.previousReplayMicros = node.startMicros - 1000000;
                }
            } else {
                node.streaming = false;
                for (auto& b : node.buffers) b.queued = false;
                node.queue.clear();
                node.done.clear();
            }
            return 0;
        }
        case VIDIOC_S_CTRL:
        case VIDIOC_G_CTRL:
            // On Raspberry Pi hosts the sensor's controls live on its sub-device.
            if (controlsOnSubdev()) {
                log("ioctl %s %s -> ENOTTY (controls are on the sensor sub-device)", at, requestName(request));
                return failWith(ENOTTY);
            }
            return controlIoctl(at, request, argument);
        default:
            return failWith(ENOTTY);
    }
}

size_t VirtualKernel::bufferLength() const {
    return config.bufferLength > 0 ? size_t(config.bufferLength) : layoutLength(config.layout);
}

void VirtualKernel::freeBuffers(VideoNode& node) {
    if (node.driverMap != nullptr) real().munmap(node.driverMap, node.mapSize);
    if (node.memfd >= 0) real().close(node.memfd);
    node.driverMap = nullptr;
    node.memfd = -1;
    node.buffers.clear();
    node.queue.clear();
    node.done.clear();
    node.owner = -1;
}

int VirtualKernel::requestBuffers(VideoNode& node, v4l2_requestbuffers& request) {
    if (request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request.memory != V4L2_MEMORY_MMAP) {
        log("ioctl /dev/video VIDIOC_REQBUFS -> EINVAL");
        return failWith(EINVAL);
    }
    // videobuf2: no buffer request while streaming, nor a new allocation
    // while buffers are mapped (a count of 0 frees them once unmapped).
    if (node.streaming || node.mappings > 0) {
        log("ioctl /dev/video VIDIOC_REQBUFS count=%u -> EBUSY", request.count);
        return failWith(EBUSY);
    }
    freeBuffers(node);
    const uint32_t asked = request.count;
    uint32_t granted = config.grant >= 0 ? uint32_t(config.grant) : std::min<uint32_t>(asked, 32);
    if (asked == 0) granted = 0;
    request.count = granted;
    log("ioctl /dev/video VIDIOC_REQBUFS count=%u -> granted %u", asked, granted);
    if (granted == 0) return 0;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    node.stride = (bufferLength() + page - 1) / page * page;
    node.mapSize = node.stride * granted;
    node.memfd = memfd_create("lumivex-virtual-buffers", MFD_CLOEXEC);
    if (node.memfd < 0 || ftruncate(node.memfd, off_t(node.mapSize)) != 0) return failWith(ENOMEM);
    void* map = real().mmap(nullptr, node.mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, node.memfd, 0);
    if (map == MAP_FAILED) return failWith(ENOMEM);
    node.driverMap = static_cast<uint8_t*>(map);
    node.buffers.resize(granted);
    for (uint32_t i = 0; i < granted; ++i) {
        node.buffers[i].length = uint32_t(bufferLength());
        node.buffers[i].offset = uint32_t(i * node.stride);
    }
    return 0;
}

const PhaseImages& VirtualKernel::phases(uint64_t frame, int range) {
    const uint64_t key = config.moving || config.noiseSeed ? frame : viewNumber(scene, frame);
    if (range != cachedRange || key != cachedFrame) {
        cached = renderPhases(scene, range, frame, config.moving, config.noiseSeed);
        cachedRange = range;
        cachedFrame = key;
    }
    return cached;
}

int64_t VirtualKernel::dueMicros(const VideoNode& node, uint64_t subFrame) const {
    // Sub-frame n is due at start + (n / 4) frame periods + (n % 4) spacings.
    const int64_t period = int64_t(1e6 / config.fps);
    return node.startMicros + int64_t(subFrame / 4) * period + int64_t(subFrame % 4) * config.spacingMicros;
}

bool VirtualKernel::stalled(const VideoNode& node) const {
    if (replaying(node) && node.replayEnded) return true;  // the recording has ended: the sensor is silent
    return config.stallAfter >= 0 && node.delivered >= uint64_t(config.stallAfter);
}

bool VirtualKernel::replaying(const VideoNode& node) const {
    return replay != nullptr && &node == &videoNodes.front();
}

bool VirtualKernel::replayFrame(VideoNode& node, int64_t now) {
    if (node.replayEnded) return false;
    const int range = rangeControl != 0 ? 2 : 4;
    // The sensor takes a new range as a frame begins: a switch since this
    // frame was fetched, before any of it went out, fetches one of the new range.
    const bool stale = node.replayed != nullptr && node.replaySub == 0 && node.replayed->range != range;
    if (node.replayed != nullptr && !stale) return true;
    const int64_t periodMicros = int64_t(replay->meanPeriodTicks() / 10);
    for (;;) {
        uint64_t dueTicks = 0;
        node.replayed = replay->take(range, dueTicks);
        if (node.replayed == nullptr) {
            // Silent: for good once the recording has ended, until the range
            // changes while it holds no frames of this one.
            node.replayEnded = replay->has(range);
            return false;
        }
        if (config.replayFast) {
            node.replayFrameMicros = std::max(now, node.previousReplayMicros + ReplaySource::kFastFrameMicros);
            return true;
        }
        node.replayFrameMicros = node.startMicros + int64_t(dueTicks / 10);
        // A reader more than two frame periods late finds this frame overwritten.
        if (now - (node.replayFrameMicros + 3 * config.spacingMicros) <= 2 * periodMicros) return true;
    }
}

int64_t VirtualKernel::replayDueMicros(const VideoNode& node) const {
    return node.replayFrameMicros + node.replaySub * config.spacingMicros;
}

short VirtualKernel::pollEvents(int fd, int64_t now, int64_t& wakeAt) {
    auto found = files.find(fd);
    if (found == files.end() || found->second.kind != Kind::Video) return 0;  // not ours to answer
    VideoNode& node = videoNodes[size_t(found->second.index)];
    if (!node.streaming || (node.queue.empty() && node.done.empty())) return POLLERR;
    if (!node.done.empty()) return POLLIN | POLLRDNORM;
    if (stalled(node)) return 0;
    if (!config.timestamps.empty()) return POLLIN | POLLRDNORM;
    int64_t due = 0;
    if (replaying(node)) {
        if (!replayFrame(node, now)) return 0;
        due = replayDueMicros(node);
    } else {
        // Readable once a sub-frame is due for a queued buffer; it is filled
        // as it is dequeued (poll changes nothing: it runs on any thread).
        if (node.queue.empty()) return 0;
        due = dueMicros(node, node.nextSubFrame);
    }
    if (due <= now) return POLLIN | POLLRDNORM;
    wakeAt = std::min(wakeAt, due);
    return 0;
}

int VirtualKernel::poll(struct pollfd* fds, unsigned long count, int timeoutMs) {
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : nowMicros() + int64_t(timeoutMs) * 1000;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const int64_t now = nowMicros();
        int64_t wakeAt = deadline;
        int ready = 0;
        for (unsigned long i = 0; i < count; ++i) {
            fds[i].revents = fds[i].fd < 0 ? 0 : short(pollEvents(fds[i].fd, now, wakeAt) & (fds[i].events | POLLERR | POLLNVAL));
            ready += fds[i].revents != 0;
        }
        if (ready > 0 || now >= deadline) {
            if (ready == 0) pollTimeouts.fetch_add(1);  // logged by the next entry
            return ready;
        }
        lock.unlock();  // sleep until the next sub-frame is due, 10 ms at most
        const int64_t sleepMicros = std::min<int64_t>(wakeAt - now, 10000);
        timespec pause{time_t(sleepMicros / 1000000), long(sleepMicros % 1000000) * 1000};
        // As the kernel's poll: a signal handled on this thread ends the wait with EINTR.
        if (::nanosleep(&pause, nullptr) != 0 && errno == EINTR) return failWith(EINTR);
        lock.lock();
    }
}

bool VirtualKernel::fillsAtDueTime(const VideoNode& node) const {
    // A replay and scripted time stamps take their sub-frame as it is dequeued.
    return node.streaming && !replaying(node) && config.timestamps.empty();
}

void VirtualKernel::fillDue(VideoNode& node, int64_t now) {
    if (!fillsAtDueTime(node)) return;
    const int64_t period = int64_t(1e6 / config.fps);
    while (!stalled(node)) {
        const uint64_t subFrame = node.nextSubFrame;
        const int64_t when = dueMicros(node, subFrame);
        if (when > now) return;
        if (node.queue.empty()) {
            // No buffer: the sensor's sub-frames are lost until one is
            // queued. A long gap skips to the frame being taken now.
            if (now - when > 2 * period) {
                node.nextSubFrame = uint64_t((now - node.startMicros) / period) * 4;
                if (node.nextSubFrame <= subFrame) node.nextSubFrame = subFrame + 1;
            } else {
                node.nextSubFrame = subFrame + 1;
            }
            node.sequence += uint32_t(node.nextSubFrame - subFrame);
            continue;
        }
        // The sensor takes a new range as a frame begins.
        if (subFrame % 4 == 0) node.frameRange = rangeAt(when);
        const uint32_t index = node.queue.front();
        node.queue.pop_front();
        Buffer& buffer = node.buffers[index];
        const PhaseImages& images = phases(subFrame / 4, node.frameRange);
        encodeSubFrame(images.phase[subFrame % 4].data(), config.layout, node.driverMap + buffer.offset,
                       buffer.length);
        buffer.timestamp.tv_sec = when / 1000000;
        buffer.timestamp.tv_usec = when % 1000000;
        buffer.sequence = node.sequence++;
        node.done.push_back(index);
        node.nextSubFrame = subFrame + 1;
        ++node.delivered;
    }
}

int VirtualKernel::dequeue(std::unique_lock<std::mutex>& lock, VideoNode& node, v4l2_buffer& out) {
    if (out.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !node.streaming || (node.queue.empty() && node.done.empty())) {
        log("ioctl /dev/video VIDIOC_DQBUF -> EINVAL (%s)", !node.streaming ? "not streaming" : "no buffer queued");
        return failWith(EINVAL);
    }
    if (replaying(node)) replayFrame(node, nowMicros());
    auto stillStreaming = [&] { return node.streaming && !(node.queue.empty() && node.done.empty()); };
    // A blocking dequeue waits as long as the sensor is silent (in slices,
    // so that a stream switched off ends the wait).
    for (;;) {
        if (fillsAtDueTime(node)) fillDue(node, nowMicros());
        // A replay is silent too while the recording holds no frames at the
        // range in force.
        const bool silent = stalled(node) ||
                            (replaying(node) && config.timestamps.empty() && !replayFrame(node, nowMicros()));
        if (!node.done.empty() || !silent) break;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lock.lock();
        if (!stillStreaming()) return failWith(EINVAL);
    }
    timeval stamp{};
    uint32_t index = 0;
    if (fillsAtDueTime(node)) {
        while (node.done.empty()) {  // until the next sub-frame is due and filled
            const int64_t now = nowMicros();
            const int64_t when = dueMicros(node, node.nextSubFrame);
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(std::clamp<int64_t>(when - now, 0, 10000)));
            lock.lock();
            if (!stillStreaming()) return failWith(EINVAL);
            fillDue(node, nowMicros());
        }
        index = node.done.front();
        node.done.pop_front();
        stamp = node.buffers[index].timestamp;
    } else {
        const uint8_t* recorded = nullptr;  // the replayed sub-frame
        uint64_t subFrame = 0;
        if (replaying(node) && config.timestamps.empty()) {
            if (!replayFrame(node, nowMicros())) return failWith(EINVAL);  // ended while this one waited
            const int64_t when = replayDueMicros(node);
            // A recorded gap may be long: waited in slices, so that a stream
            // switched off meanwhile ends the wait.
            for (int64_t now = nowMicros(); when > now; now = nowMicros()) {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(std::min<int64_t>(when - now, 10000)));
                lock.lock();
                if (!node.streaming || node.queue.empty() || node.replayed == nullptr) return failWith(EINVAL);
            }
            recorded = node.replayed->data.data() + size_t(node.replaySub) * ReplaySource::kSubFrameBytes;
            stamp.tv_sec = when / 1000000;
            stamp.tv_usec = when % 1000000;
        } else {
            stamp = config.timestamps.front();
            config.timestamps.erase(config.timestamps.begin());
            subFrame = node.nextSubFrame++;
        }
        if (node.queue.empty()) return failWith(EINVAL);
        ++node.delivered;
        index = node.queue.front();
        node.queue.pop_front();
        Buffer& buffer = node.buffers[index];
        if (recorded != nullptr) {
            encodeCapturedSubFrame(recorded, config.layout, node.driverMap + buffer.offset, buffer.length);
            if (++node.replaySub == int(ReplaySource::kSubFrames)) {
                node.replaySub = 0;
                node.previousReplayMicros = node.replayFrameMicros;
                node.replayed = nullptr;
            }
        } else {
            const PhaseImages& images = phases(subFrame / 4, rangeControl != 0 ? 2 : 4);
            encodeSubFrame(images.phase[subFrame % 4].data(), config.layout, node.driverMap + buffer.offset,
                           buffer.length);
        }
        buffer.sequence = node.sequence++;
    }
    Buffer& buffer = node.buffers[index];
    buffer.queued = false;
    std::memset(&out, 0, sizeof out);
    out.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out.memory = V4L2_MEMORY_MMAP;
    out.index = index;
    out.length = buffer.length;
    out.bytesused = buffer.length;
    out.m.offset = buffer.offset;
    out.timestamp = stamp;
    out.sequence = buffer.sequence;
    out.field = V4L2_FIELD_NONE;
    out.flags = config.stampsOfUnknownClock ? V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN : V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (config.dqbufIndex >= 0) {
        out.index = uint32_t(config.dqbufIndex);
        config.dqbufIndex = -1;
        node.queue.push_front(index);  // the real buffer stays with the driver
        buffer.queued = true;
    }
    log("ioctl /dev/video VIDIOC_DQBUF index=%u time=%ld.%06ld", out.index, long(stamp.tv_sec), long(stamp.tv_usec));
    return 0;
}


}  // namespace LumivexSim
