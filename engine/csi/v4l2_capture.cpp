#include "v4l2_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>

#include "frame_types.h"
#include "media_pipeline.h"
#include "warning.h"

// Packed 12-bit grey (two pixels in three bytes); older kernel headers lack it.
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Lumivex {

namespace {
constexpr uint32_t kRangeControl = 0x00981901;  // V4L2_CID_USER_BASE + 0x1001
constexpr uint32_t kStridedBufferLength = 92160;   // 180 lines of 512 bytes
// getFrame gives up after this long without a sub-frame (a silent sensor),
// or without four that belong together (sub-frames that never group),
// instead of blocking for ever, so the engine can always stop.
constexpr int kFrameWaitMs = 2000;
constexpr const char* kNoGroup = "No four sub-frames close enough in time for a frame";

// A zeroed buffer request for QUERYBUF, QBUF and DQBUF (memory 0: not set).
v4l2_buffer bufferRequest(uint32_t index, uint32_t type, uint32_t memory) {
    v4l2_buffer buffer;
    std::memset(&buffer, 0, sizeof buffer);
    buffer.index = index;
    buffer.type = type;
    buffer.memory = memory;
    return buffer;
}

// False only when the node has nothing to dequeue within `waitMs`, or
// `interrupted` is set meanwhile (checked every 100 ms).
bool subFrameArrives(int fd, int waitMs, const std::atomic<bool>& interrupted) {
    if (fd < 0) return true;  // xioctl refuses the request itself
    constexpr int kSliceMs = 100;
    for (int waited = 0; waited < waitMs; waited += kSliceMs) {
        if (interrupted.load()) return false;
        pollfd request{fd, POLLIN, 0};
        const int ready = ::poll(&request, 1, std::min(kSliceMs, waitMs - waited));
        if (ready != 0) return true;  // readable, or an error the dequeue reports
    }
    return false;
}

}  // namespace

bool restartsGroup(const timeval& previous, const timeval& current) {
    // Seconds are carried, so a dropped sub-frame across a second boundary
    // cannot join two captures; time going backwards also restarts.
    const int64_t d = (int64_t(current.tv_sec) - int64_t(previous.tv_sec)) * 1000000 +
                      (int64_t(current.tv_usec) - int64_t(previous.tv_usec));
    return d < 0 || d > 5000 || (current.tv_sec != previous.tv_sec && d > 4000);
}

LumivexTOFCSISensor::LumivexTOFCSISensor(const char* path, HostPlatform hostPlatform)
    : platform(hostPlatform) {
    std::snprintf(devicePath, sizeof devicePath, "%s", path);
}

LumivexTOFCSISensor::~LumivexTOFCSISensor() {
    for (int i = 0; i < kBufferCount; ++i) unmapBuffer(i);
    if (subdevFd >= 0) ::close(subdevFd);
    if (videoOpen) ::close(videoFd);
}

int LumivexTOFCSISensor::xioctl(int fd, unsigned long request, void* argument) {
    if (videoFd < 0) {
        errno = EBADF;  // so that a caller's perror names the reason
        return -1;
    }
    int tries = 4;
    for (;;) {
        --tries;  // 3, 2, 1, 0, -1 on the first to fifth call
        const int result = ::ioctl(fd, request, argument);
        if (result >= 0) return result;
        const int error = errno;
        const bool retry = error == EINTR || error == EAGAIN || error == ETIMEDOUT;
        if (tries == -1 || (!retry && tries == 0)) {
            warn("xioctl", "UVC: ioctl (%d) retried %d times - giving up: %s)", int32_t(request), 4,
                 std::strerror(error));
            errno = error;
            return result;
        }
        if (!retry) return result;
    }
}

int32_t LumivexTOFCSISensor::open() {
    videoFd = ::open(devicePath, O_RDWR);
    if (videoFd < 0) {
        const int error = errno;
        warn("open", "Could not open device node %s. Please check for permissions.", devicePath);
        // The line above names permissions whatever the cause: the precise one.
        if (error == ENOENT || error == ENODEV || error == ENXIO) {
            warn("open", "%s: no such device (lumivex-ls lists the cameras; without one, run under lumivex-virtual)",
                 devicePath);
        } else if (error == EACCES || error == EPERM) {
            warn("open", "%s: permission denied (add the user to the video group: sudo usermod -aG video $USER, "
                 "then log in again)", devicePath);
        } else {
            warn("open", "%s: %s", devicePath, std::strerror(error));
        }
        return -1;
    }
    videoOpen = true;
    if (platform == RASPBERRY_PI || platform == RASPBERRY_PI_5) {
        ctrlFd = v4l2_device_open_v4l2_subdev(*this, videoFd);
        subdevFd = ctrlFd;
    } else {
        ctrlFd = videoFd;
    }
    const int result = xioctl(videoFd, VIDIOC_S_INPUT, &inputIndex);
    if ((result < 0 && errno == EBUSY) || queueHeldElsewhere()) {
        // Another camera object or program streams from this node: nothing
        // of its stream is touched, and this object refuses every later call.
        warn("open", "%s is in use (by another camera object or program)", devicePath);
        close();
        return -1;
    }
    return result;
}

bool LumivexTOFCSISensor::queueHeldElsewhere() {
    // videobuf2 refuses a buffer request from any descriptor but the one
    // that holds the queue; a request of none changes nothing otherwise.
    v4l2_requestbuffers probe;
    std::memset(&probe, 0, sizeof probe);
    probe.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    probe.memory = V4L2_MEMORY_MMAP;
    return ::ioctl(videoFd, VIDIOC_REQBUFS, &probe) < 0 && errno == EBUSY;
}

int32_t LumivexTOFCSISensor::close() {
    if (videoOpen) ::close(videoFd);
    videoOpen = false;
    videoFd = -1;  // a later call must not reach whatever reuses the number
    if (subdevFd >= 0) ::close(subdevFd);
    subdevFd = -1;
    ctrlFd = -1;
    return 0;
}

int32_t LumivexTOFCSISensor::setVideoMode() {
    v4l2_format format;
    std::memset(&format, 0, sizeof format);
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = kSensorWidth;
    format.fmt.pix.height = kSensorHeight;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    const uint32_t wanted = platform == RASPBERRY_PI_5 ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
    format.fmt.pix.pixelformat = wanted;
    if (xioctl(videoFd, VIDIOC_TRY_FMT, &format) < 0) {
        warn("setVideoMode", "TOFCamera: Could not set current frame format");
        return -1;
    }
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(videoFd, VIDIOC_S_FMT, &format) < 0) {
        if (errno == EBUSY) {
            warn("setVideoMode", "%s is in use (by another camera object or program)", devicePath);
        } else {
            warn("setVideoMode", "TOFCamera: Could not set current frame format");
        }
        return -1;
    }
    // A driver that substitutes another size or pixel format is not driving
    // this sensor (often another camera's node): its frames would be noise.
    if (format.fmt.pix.width != kSensorWidth || format.fmt.pix.height != kSensorHeight ||
        format.fmt.pix.pixelformat != wanted) {
        warn("setVideoMode", "TOFCamera: Could not set current frame format");
        return -1;
    }
    return 0;
}

void LumivexTOFCSISensor::unmapBuffer(int index) {
    if (bufferMaps[index] == nullptr) return;
    ::munmap(bufferMaps[index], mappedLengths[index]);
    bufferMaps[index] = nullptr;
    mappedLengths[index] = 0;
}

int32_t LumivexTOFCSISensor::requestBuffer() {
    v4l2_requestbuffers request;
    std::memset(&request, 0, sizeof request);
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(videoFd, VIDIOC_REQBUFS, &request) < 0) {
        warn("requestBuffer", "TOFCamera: Fail to request buffer");
        return -1;
    }
    if (request.count < kBufferCount) {
        warn("requestBuffer", "TOFCamera: Not request enough buffers");
        if (request.count == 0) return -1;
    }
    // bufferMaps has eight slots: buffers granted beyond them are not used.
    mappedCount = 0;
    const int granted = request.count < kBufferCount ? int(request.count) : kBufferCount;
    for (int i = 0; i < granted; ++i) {
        v4l2_buffer buffer = bufferRequest(i, request.type, V4L2_MEMORY_MMAP);
        if (xioctl(videoFd, VIDIOC_QUERYBUF, &buffer) < 0) return -1;

        if (buffer.length == kStridedBufferLength) {
            copyRoutine = copyStrided;
        } else if (platform == JETSON_XAVIER) {
            copyRoutine = copyLinePairs;
        } else if (platform == RASPBERRY_PI_5) {
            copyRoutine = unpackY12P;
        } else {
            copyRoutine = copyWhole;
        }

        unmapBuffer(i);  // a mapping left by an earlier start is not leaked
        void* map = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, videoFd,
                           buffer.m.offset);
        if (map == MAP_FAILED) {
            warn("requestBuffer", "TOFCamera: MAP Failed");
            return -1;
        }
        bufferMaps[i] = map;
        mappedLengths[i] = buffer.length;
        mappedCount = i + 1;

        buffer.index = i;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (xioctl(videoFd, VIDIOC_QBUF, &buffer) < 0) {
            warn("requestBuffer", "TOFCamera: VIDIOC_QBUF Failed");
            return -1;
        }
    }
    return 0;
}

int32_t LumivexTOFCSISensor::start() {
    if (videoFd >= 0 && setVideoMode() < 0) return -1;
    if (requestBuffer() < 0) return -1;
    interrupted.store(false);
    const int32_t range = readRange();
    rangeInForce.store(range);
    rangeJudge.begin(range);
    lastFrameRange = range;
    dropSubFrames = dropFrames = 0;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int result = xioctl(videoFd, VIDIOC_STREAMON, &type);
    if (result < 0) {
        warn("start", "TOFCamera: Stream opening Failed");
        return result;
    }
    return 0;
}

int32_t LumivexTOFCSISensor::readRange() {
    v4l2_control control;
    std::memset(&control, 0, sizeof control);
    control.id = kRangeControl;
    if (ctrlFd < 0 || ::ioctl(ctrlFd, VIDIOC_G_CTRL, &control) < 0) return 0;
    return control.value != 0 ? 2 : 4;
}

namespace {
uint64_t monotonicTicks() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 10000000u + uint64_t(now.tv_nsec) / 100u;
}

int64_t microsBetween(const timeval& from, const timeval& to) {
    return (int64_t(to.tv_sec) - int64_t(from.tv_sec)) * 1000000 + (int64_t(to.tv_usec) - int64_t(from.tv_usec));
}
}  // namespace

void LumivexTOFCSISensor::noteSwitches() {
    if (!rangeJudge.takeNewSwitch()) return;
    // Where the stamps are on no clock to judge by (the buffers say so as
    // they come): every buffer may hold a sub-frame taken before the switch,
    // and the frame after them may have begun before it.
    dropSubFrames = mappedCount;
    dropFrames = 1;
}

bool LumivexTOFCSISensor::frameOfKnownRange(const timeval& first, int64_t widestGapMicros, bool monotonic) {
    noteSwitches();
    if (!rangeJudge.pending()) return true;
    if (monotonic) {
        // The first sub-frame's exposure began up to one sub-frame period
        // before its stamp: the widest gap between the frame's sub-frames.
        const uint64_t stamp = timestampTicks(first);
        const uint64_t lead = uint64_t(widestGapMicros > 0 ? widestGapMicros : 0) * 10;
        return rangeJudge.accept(stamp > lead ? stamp - lead : 0);
    }
    if (dropFrames > 0) {
        --dropFrames;
        return false;
    }
    return rangeJudge.settle();
}

int32_t LumivexTOFCSISensor::stop() {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    xioctl(videoFd, VIDIOC_STREAMOFF, &type);
    // Nothing mapped: the first buffer query of the loop below would fail.
    if (mappedCount == 0) return -1;
    // Only the buffers the last start mapped (eight when all were granted).
    for (int i = 0; i < mappedCount; ++i) {
        v4l2_buffer buffer = bufferRequest(i, V4L2_BUF_TYPE_VIDEO_CAPTURE, 0);
        const int result = xioctl(videoFd, VIDIOC_QUERYBUF, &buffer);
        if (result < 0) return result;
        if (bufferMaps[i] != nullptr) {
            ::munmap(bufferMaps[i], buffer.length);
            bufferMaps[i] = nullptr;
            mappedLengths[i] = 0;
        }
    }
    mappedCount = 0;
    // Free the driver's buffers: a videobuf2 driver refuses a new format (the
    // next start) while any are allocated. Its result does not change stop's.
    v4l2_requestbuffers release;
    std::memset(&release, 0, sizeof release);
    release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    release.memory = V4L2_MEMORY_MMAP;
    xioctl(videoFd, VIDIOC_REQBUFS, &release);
    return 0;
}

int32_t LumivexTOFCSISensor::getFrame(uint8_t* rawFrame, uint64_t* timestamp) {
    size_t writePosition = 0;
    int count = 0;
    timeval previous{}, first{};
    int64_t widestGap = 0;  // microseconds between two sub-frames of the frame
    bool monotonic = true;
    // Sub-frames that keep coming but never group end the call at this time;
    // a sensor silent for a whole wait ends it at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFrameWaitMs);
    for (;;) {
        noteSwitches();
        v4l2_buffer buffer = bufferRequest(0, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP);
        if (!subFrameArrives(videoFd, kFrameWaitMs, interrupted)) {
            if (interrupted.load()) return -1;  // the session is stopping: nothing to report
            warn("getFrame", "Failed to dequeue buffer");
            return -1;
        }
        if (xioctl(videoFd, VIDIOC_DQBUF, &buffer) < 0) {
            warn("getFrame", "Failed to dequeue buffer");
            return -1;
        }
        // An index without a mapping is as unusable as one above 7.
        if (buffer.index > 7 || bufferMaps[buffer.index] == nullptr) {
            warn("getFrame", "Index out of range");
            return -1;
        }
        const bool stampMonotonic =
            (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        if (dropSubFrames > 0 && !stampMonotonic) {
            --dropSubFrames;  // may have been filled before a range switch
        } else {
            if (count > 0 && restartsGroup(previous, buffer.timestamp)) {
                count = 0;
                writePosition = 0;
            }
            if (count == 0) {
                first = buffer.timestamp;
                widestGap = 0;
                monotonic = true;
            } else {
                widestGap = std::max(widestGap, microsBetween(previous, buffer.timestamp));
            }
            monotonic = monotonic && stampMonotonic;
            const size_t length = buffer.length < mappedLengths[buffer.index]
                                      ? buffer.length
                                      : mappedLengths[buffer.index];
            copyRoutine(static_cast<const uint8_t*>(bufferMaps[buffer.index]), length, rawFrame,
                        writePosition, kRawFrameBytes);
            ++count;
            previous = buffer.timestamp;
        }
        if (xioctl(videoFd, VIDIOC_QBUF, &buffer) < 0) {
            warn("getFrame", "Failed to queue buffer");
            return -1;
        }
        if (count == 4) {
            if (frameOfKnownRange(first, widestGap, monotonic)) {
                *timestamp = timestampTicks(previous);
                lastFrameRange = rangeJudge.range();
                return 0;
            }
            count = 0;  // of an earlier range, or not certainly of the new one
            writePosition = 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            warn("getFrame", kNoGroup);
            return -1;
        }
    }
}

int32_t LumivexTOFCSISensor::setControl(CameraCtrl ctrl, int32_t value) {
    v4l2_control control;
    std::memset(&control, 0, sizeof control);
    if (ctrl == RANG) {
        if (value != 2 && value != 4) return -1;
        control.id = kRangeControl;
        control.value = value == 2 ? 1 : 0;
        rangeJudge.announce(value);  // no frame is accepted until it is recorded
    } else if (ctrl == EXPOSURE) {
        control.id = V4L2_CID_EXPOSURE;
        control.value = value;
    } else {
        return -1;
    }
    if (xioctl(ctrlFd, VIDIOC_S_CTRL, &control) < 0) {
        const int error = errno;
        if (ctrl == RANG) rangeJudge.record(rangeInForce.load(), monotonicTicks());  // the range stays
        errno = error;
        std::perror("VIDIOC_S_CTRL");
        return 1;
    }
    if (ctrl == RANG) {
        // The driver has written the sensor: frames begun from now on are of
        // the new range.
        rangeInForce.store(value);
        rangeJudge.record(value, monotonicTicks());
    }
    return 0;
}

int32_t LumivexTOFCSISensor::getControl(CameraCtrl ctrl, int32_t* value) {
    if (value == nullptr || (ctrl != RANG && ctrl != EXPOSURE)) return -1;
    v4l2_control control;
    std::memset(&control, 0, sizeof control);
    control.id = ctrl == RANG ? kRangeControl : V4L2_CID_EXPOSURE;
    if (xioctl(ctrlFd, VIDIOC_G_CTRL, &control) < 0) {
        std::perror("VIDIOC_S_CTRL");  // the label reads the same for reading
        return ctrl == RANG ? 1 : -1;
    }
    *value = ctrl == RANG ? (control.value != 0 ? 2 : 4) : control.value;
    return 0;
}

}  // namespace Lumivex
