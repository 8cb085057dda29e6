// Bulk streaming: 32 transfers in flight on endpoint 0x82, completions
// recorded by read_callback and decoded by capture on the caller's thread,
// the six-slot frame ring, clock synchronisation and single-frame mode.
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "usb_camera_session.h"
#include "usb_clock.h"

namespace {
constexpr unsigned char kBulkEndpoint = 0x82;
constexpr unsigned kStreamTimeoutMs = 5000;
constexpr uint32_t kControllerAddress = 0x46;
constexpr uint32_t kDefaultTransferSize = 131072;
// Ending a capture waits this long for libusb to hand back cancelled transfers.
constexpr int64_t kCancelWaitMs = 2000;
constexpr int64_t kSyncIntervalTicks = 10000000;  // 1 s
// setCamCfg waits at most this long for a decode on another thread to end.
constexpr auto kDecodeWait = std::chrono::seconds(2);
using namespace LumivexUsb::CompletionCode;
constexpr size_t kChunkBytes = 16384;
constexpr uint32_t kMarkerPacket = 512;
// capture waits for events in slices of this length, so that a bounded wait
// ends within it of its deadline.
constexpr int64_t kEventSliceMs = 100;
// How long a capture start reads what a stopped board still sends (bytes
// already in its USB controller: microseconds of bus time) before it drops it.
constexpr int64_t kRemnantDrainMs = 10;

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

bool UsbCameraSession::usesMarkerStream() const { return usbType == 1 || usbType == 2 || productId == 0x03F2; }

uint32_t UsbCameraSession::fillAndSubmit(int slot, unsigned int timeoutMs) {
    const uint32_t length = alignment.nextLength();
    libusb_fill_bulk_transfer(transfers[slot], device->handle, kBulkEndpoint, transferBuffers[slot], int(length),
                              read_callback, this, timeoutMs);
    inFlight[slot].store(true);  // before submission: a callback may run at once on another thread
    if (libusb_submit_transfer(transfers[slot]) != 0) {
        inFlight[slot].store(false);
        alignment.refused(length);
        return USB_CAMERA_TRANSFER_STOPPED;
    }
    return 0;
}

uint32_t UsbCameraSession::submitIdleTransfers(unsigned int timeoutMs) {
    uint32_t result = 0;
    for (int i = 0; i < kTransferCount; ++i) {
        if (transferBuffers[i] == nullptr) transferBuffers[i] = new (std::nothrow) uint8_t[transferSize];
        if (transfers[i] == nullptr) transfers[i] = libusb_alloc_transfer(0);
        if (inFlight[i]) continue;  // libusb has not handed it back yet: it keeps its place
        if (transferBuffers[i] == nullptr || transfers[i] == nullptr || fillAndSubmit(i, timeoutMs) != 0)
            result = USB_CAMERA_TRANSFER_STOPPED;
    }
    return result;
}

void UsbCameraSession::startAlignment() {
    // Only a marker stream of frames of one known length can be cut at its
    // frame ends; a chunk stream ends its transfers itself.
    uint32_t wireFrame = 0;
    if (usesMarkerStream() && image.format != 3 && lengthAccepted(expectedFrameBytes()))
        wireFrame = LumivexUsb::FrameAlignedTransfers::wireFrameBytes(expectedFrameBytes(), kMarkerPacket);
    const int maxPacket = libusb_get_max_packet_size(libusb_get_device(device->handle), kBulkEndpoint);
    alignment.start(wireFrame, transferSize, maxPacket > 0 ? uint32_t(maxPacket) : kMarkerPacket);
}

void UsbCameraSession::clearCompletionRecords() {
    for (auto& length : completedLengths) length.store(0);
    for (auto& timedOut : completedTimedOut) timedOut = false;
    std::memset(completedBuffers, 0, sizeof completedBuffers);
    completionIndex.store(0);
    consumeIndex = 0;
}

uint32_t UsbCameraSession::beginCapture() {
    if (captureState.capturing()) return 0;
    if (!opened || device == nullptr || device->handle == nullptr) return USB_CAMERA_TRANSFER_STOPPED;
    if (transfers[0] != nullptr) {  // transfers of an armed one-shot capture
        cancel_libusb_transfer();
        freeTransfers();
    }
    captureState.stream();
    transferSize = transferUnits != 0 ? transferUnits * 2048 : kDefaultTransferSize;
    // The chunk decoder reads each transfer from a chunk's start: its
    // transfers hold whole chunks.
    if (!usesMarkerStream()) transferSize = uint32_t((transferSize + kChunkBytes - 1) / kChunkBytes * kChunkBytes);
    clearCompletionRecords();  // no stale record is decoded
    // Every capture starts with no partial frame and an empty ring (here, and
    // again after the board's capture reset below): nothing from before the
    // restart is glued to or mixed with the new stream.
    frameOffset = 0;
    flush();
    sequenceRestart = true;
    libusb_claim_interface(device->handle, 0);
    // A halt left by an earlier session (a stall) stays until cleared.
    libusb_clear_halt(device->handle, kBulkEndpoint);
    startAlignment();
    if (submitIdleTransfers(kStreamTimeoutMs) != 0) {
        // Every submission counts: what was submitted comes back, and the
        // object is ready for another beginCapture.
        cancel_libusb_transfer();
        freeTransfers();
        captureState.idle();
        return USB_CAMERA_TRANSFER_STOPPED;
    }
    uint32_t moved = 0;
    if (usbType == 3 || usbType == 4) SendVRCommand(0xA1, 0x00, 0, 0, 0, nullptr, &moved);
    writeReg_8_8(kControllerAddress, 3, 0xC0);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    discardBeforeStart();
    writeReg_8_8(kControllerAddress, 3, 0x00);
    return 0;
}

void UsbCameraSession::discardBeforeStart() {
    // A board that streamed before this capture (its set-up may start it, or
    // a program ended without stopping it) sent its backlog as soon as the
    // transfers were submitted, and the capture reset above cut it mid-frame.
    // The host controller fills a transfer as packets arrive, so the one in
    // progress at the reset holds old bytes, whole old frames among them, and
    // would complete later with the new stream behind them. What the board
    // had already handed to its USB controller still comes after the reset,
    // and may hold whole old frames too (transfers cut at frame ends are
    // small). So, while the board is stopped: every transfer is cancelled,
    // submitted anew to take that remnant, which is dropped unread with them,
    // and submitted once more: the new stream begins at a transfer's start.
    // Should anything old come even later, the first frames that fail the
    // length check are dropped quietly rather than reported (startRemnants).
    for (int round = 0; round < 2; ++round) {
        cancel_libusb_transfer();
        const bool failed = failureRecorded();
        clearCompletionRecords();
        frameOffset = 0;
        flush();
        if (failed) {
            // A transfer failed meanwhile (an error, a stall, the board gone):
            // the capture reports it, as it would have found it in its records.
            completedLengths[0].store(kFailed, std::memory_order_release);
            completionIndex.store(1);
            return;
        }
        submitIdleTransfers(kStreamTimeoutMs);
        if (round == 0) handleEventsFor(kRemnantDrainMs);
    }
    startRemnants = kStartRemnants;
}

void UsbCameraSession::handleEventsFor(int64_t milliseconds) {
    const int64_t deadline = steadyMs() + milliseconds;
    for (int64_t left = milliseconds; left > 0; left = deadline - steadyMs()) {
        timeval slice{time_t(left / 1000), suseconds_t(left % 1000 * 1000)};
        libusb_handle_events_timeout_completed(nullptr, &slice, nullptr);
    }
}

void UsbCameraSession::read_callback(libusb_transfer* transfer) {
    auto* self = static_cast<UsbCameraSession*>(transfer->user_data);
    int slot = 0;
    while (slot < kTransferCount && self->transfers[slot] != transfer) ++slot;
    int32_t code = 0;
    bool timedOut = false;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            code = transfer->actual_length > 0 ? transfer->actual_length : kEmpty;
            break;
        case LIBUSB_TRANSFER_TIMED_OUT:  // what arrived before the time-out is kept
            code = transfer->actual_length > 0 ? transfer->actual_length : kTimedOut;
            timedOut = transfer->actual_length > 0;
            break;
        case LIBUSB_TRANSFER_CANCELLED:  // by the consumer, which knows it
            if (slot < kTransferCount) self->inFlight[slot].store(false);
            return;  // no record; the completion index stays
        default:  // error, stall, no device, overflow
            code = kFailed;
            break;
    }
    // The record is free: its transfer was resubmitted only after capture
    // consumed what this record held before.
    const uint8_t c = self->completionIndex.load();
    self->completedBuffers[c] = transfer->buffer;
    self->completedSlots[c] = uint8_t(slot < kTransferCount ? slot : 0);
    self->completedTimedOut[c] = timedOut;
    self->completedLengths[c].store(code, std::memory_order_release);
    self->completionIndex.store(uint8_t((c + 1) % kTransferCount));
    if (slot < kTransferCount) self->inFlight[slot].store(false);
}

void UsbCameraSession::consumeRecord(bool resubmit, int64_t bytesAfterLastFrameEnd) {
    const int c = consumeIndex;
    const uint8_t slot = completedSlots[c];
    const int32_t code = completedLengths[c].load();
    libusb_transfer* const transfer = transfers[slot];
    if (transfer != nullptr) {
        // A transfer that came back short of its length without a time-out
        // ended at a short packet: this link ends transfers itself.
        const int32_t actual = code > 0 ? code : 0;
        if ((code == kEmpty || code > 0) && !completedTimedOut[c] && actual < transfer->length)
            alignment.linkEndsTransfers();
        alignment.consumed(uint32_t(transfer->length), actual, bytesAfterLastFrameEnd);
    }
    completedTimedOut[c] = false;
    completedLengths[c].store(0);
    consumeIndex = (c + 1) % kTransferCount;
    // The transfer's buffer has been decoded: only now may the board refill it.
    if (!resubmit || captureState.stopped() || transfer == nullptr || inFlight[slot]) return;
    if (fillAndSubmit(slot, transfer->timeout) != 0) captureState.streamEnded();
}

int64_t UsbCameraSession::bytesAfterLastMarker(const uint8_t* buffer, int32_t length) {
    if (!usesMarkerStream() || length <= 0) return -1;
    for (int64_t at = (int64_t(length) / kMarkerPacket - 1) * kMarkerPacket; at >= 0; at -= kMarkerPacket) {
        if (IsMarker(buffer + at)) return length - (at + kMarkerPacket);
    }
    return -1;
}

uint32_t UsbCameraSession::capture() { return captureBefore(-1); }

uint32_t UsbCameraSession::captureWithin(int32_t milliseconds) {
    return captureBefore(steadyMs() + (milliseconds > 0 ? milliseconds : 0));
}

uint32_t UsbCameraSession::captureBefore(int64_t deadlineMs) {
    // A stream that ended still gives what came before a failure that ended
    // it: the records up to that failure's own.
    if (captureState.stopped() && !(captureState.drainsToFailure() && failureRecorded()))
        return USB_CAMERA_TRANSFER_STOPPED;
    syncTimer(false);
    if (markerLength == 0) return 0;
    uint32_t result = 0;
    for (;;) {
        int32_t code = completedLengths[consumeIndex].load(std::memory_order_acquire);
        while (code == 0) {
            if (captureState.stopped()) return result;  // ended by this capture: nothing more comes
            // Nothing in flight can complete this record: waiting for events
            // would never end. The stream has ended.
            if (!anyInFlight()) {
                captureState.streamEnded();
                return result;
            }
            int64_t sliceMs = kEventSliceMs;
            if (deadlineMs >= 0) {
                const int64_t left = deadlineMs - steadyMs();
                if (left <= 0) return result;
                if (left < sliceMs) sliceMs = left;
            }
            timeval slice{time_t(sliceMs / 1000), suseconds_t(sliceMs % 1000 * 1000)};
            libusb_handle_events_timeout_completed(nullptr, &slice, nullptr);
            code = completedLengths[consumeIndex].load(std::memory_order_acquire);
        }
        if (code == kEmpty) {  // a zero-length completion: nothing to decode, go on
            consumeRecord(true, -1);
            continue;
        }
        if (code == kTimedOut) {
            consumeRecord(true, -1);
            return USB_CAMERA_TRANSFER_TIMEOUT;
        }
        if (code == kFailed) {
            // The stream broke here: the frame being assembled is lost with it.
            consumeRecord(false, -1);
            frameOffset = 0;
            captureState.endAtFailure();
            return result;
        }
        decoding.store(true);
        if (reconfiguring.load()) {  // setCamCfg is replacing the frame buffers
            decoding.store(false);
            if (deadlineMs >= 0 && steadyMs() >= deadlineMs) return result;
            std::this_thread::yield();
            continue;
        }
        uint8_t frames = 0;
        uint8_t* buffer = completedBuffers[consumeIndex];
        const bool timedOut = completedTimedOut[consumeIndex];
        result = usesMarkerStream() ? DecodeFrameUseMarker(buffer, code, frameOffset, frames)
                                    : DecodeFrameUseUVC(buffer, code, frameOffset, frames);
        decoding.store(false);
        consumeRecord(true, bytesAfterLastMarker(buffer, code));
        if (result > 254) return result;
        if (timedOut) return USB_CAMERA_TRANSFER_TIMEOUT;
        if (result >= 1) return result;
    }
}

bool UsbCameraSession::failureRecorded() const {
    for (const auto& code : completedLengths) {
        if (code.load(std::memory_order_acquire) == kFailed) return true;
    }
    return false;
}

bool UsbCameraSession::anyInFlight() const {
    for (const auto& f : inFlight) {
        if (f.load()) return true;
    }
    return false;
}

uint32_t UsbCameraSession::pumpEventsFor(int64_t milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (!anyInFlight()) return 0;
        if (std::chrono::steady_clock::now() >= deadline) return 1;
        timeval slice{0, 50000};
        libusb_handle_events_timeout_completed(nullptr, &slice, nullptr);
    }
}

uint32_t UsbCameraSession::cancel_libusb_transfer() {
    // Each transfer libusb holds is cancelled and its callback run (no
    // transfer is resubmitted but by capture). The wait for them is bounded.
    for (int i = 0; i < kTransferCount; ++i) {
        if (transfers[i] != nullptr && inFlight[i]) libusb_cancel_transfer(transfers[i]);
    }
    pumpEventsFor(kCancelWaitMs);
    completionIndex.store(0);
    alignment.restart();  // nothing is queued: the next submission begins a frame
    return 0;
}

void UsbCameraSession::freeTransfers() {
    for (int i = 0; i < kTransferCount; ++i) {
        // A transfer libusb still holds may not be freed: it is left, with its
        // buffer, rather than risk libusb writing into freed memory.
        if (transfers[i] != nullptr && inFlight[i]) continue;
        if (transfers[i] != nullptr) libusb_free_transfer(transfers[i]);
        delete[] transferBuffers[i];
        transfers[i] = nullptr;
        transferBuffers[i] = nullptr;
    }
    clearCompletionRecords();  // no freed buffer is decoded
}

uint32_t UsbCameraSession::endCapture() {
    uint32_t moved = 0;
    if (usbType == 3) SendVRCommand(0xA2, 0x00, 0, 0, 0, nullptr, &moved);
    captureState.idle();
    cancel_libusb_transfer();
    freeTransfers();
    consumeIndex = 0;
    writeReg_8_8(kControllerAddress, 3, 0xC0);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    return 0;
}

uint32_t UsbCameraSession::shot() {
    if (!captureState.capturing()) beginCapture();
    if (!captureState.capturing()) return USB_CAMERA_TRANSFER_STOPPED;  // it could not begin
    captureState.stream();
    const uint32_t result = capture();
    captureState.streamEnded();
    return result;
}

uint32_t UsbCameraSession::read(LumivexOutData*& frame) {
    // The frame is lent until del or flush: setCamCfg waits for it. While a
    // reconfiguration runs there is nothing to read. (Only the consumer
    // reads, dels and flushes: a frame lent before this call stays lent,
    // whatever this call finds.)
    const bool lentBefore = frameLent.exchange(true);
    if (!reconfiguring.load() && readIndex != writeIndex) {
        frame = &frameSlots[readIndex];
        return 0;
    }
    if (!lentBefore) frameLent.store(false);
    frame = nullptr;
    return USB_CAMERA_NO_FRAME_TO_READ;
}

uint32_t UsbCameraSession::del() {
    if (readIndex == writeIndex) return USB_CAMERA_NO_FRAME_TO_RELEASE;
    readIndex = (readIndex + 1) % kFrameSlots;
    frameLent.store(false);
    return 0;
}

uint32_t UsbCameraSession::flush() {
    readIndex = writeIndex.load();
    frameLent.store(false);
    return 0;
}

uint32_t UsbCameraSession::available() {
    int32_t count = int32_t(writeIndex) - int32_t(readIndex);
    if (count < 0) count += kFrameSlots;
    return uint32_t(count);
}

void UsbCameraSession::advanceWrite() {
    const uint32_t full = (readIndex + kFrameSlots - writeIndex) % kFrameSlots == 1;
    if (!full) writeIndex = (writeIndex + 1) % kFrameSlots;
}

uint32_t UsbCameraSession::enableForceRead() {
    forceRead = 1;
    return 0;
}

uint32_t UsbCameraSession::disableForceRead() {
    forceRead = 0;
    return 0;
}

uint32_t UsbCameraSession::syncTimer(bool force) {
    const int64_t now = LumivexUsb::ticksNow();
    if (!force && now - lastTimeSync < kSyncIntervalTicks) return 0;
    lastTimeSync = now;
    uint8_t state[24] = {};
    uint32_t moved = 0;
    SendVRCommand(0xB0, 0x80, 0, 0, 24, state, &moved);
    uint8_t update[16] = {};
    std::memcpy(update, state, 8);
    const uint64_t hostTime = LumivexUsb::hostFileTime();
    for (int i = 0; i < 8; ++i) update[8 + i] = uint8_t(hostTime >> (8 * i));
    SendVRCommand(0xB1, 0x00, 0, 0, 16, update, &moved);
    return 0;
}

uint32_t UsbCameraSession::readFrameClock(uint64_t& ticks) {
    // The condition under which the marker decoder takes a frame's time
    // stamp from the board (AssignTimeStamp).
    if (!usesMarkerStream() || !firmwareAtLeast314() || controllerDate() <= 21605) return USB_CAMERA_NOT_SUPPORTED;
    uint8_t state[24] = {};
    uint32_t moved = 0;
    const uint32_t result = SendVRCommand(0xB0, 0x80, 0, 0, 24, state, &moved);
    if (result != 0) return result;
    if (moved < 8) return USB_CAMERA_CONTROL_ERROR;
    ticks = 0;
    for (int i = 7; i >= 0; --i) ticks = ticks << 8 | state[i];
    return 0;
}

uint32_t UsbCameraSession::controllerDate() const {
    return deviceInfo.date[0] * 1000 + deviceInfo.date[1] * 100 + deviceInfo.date[2];
}

uint32_t UsbCameraSession::supportSingleMode() {
    return usbType == 2 && deviceInfo.controllerVersion > 0x16 && controllerDate() > 18816 ? 1 : 0;
}

uint32_t UsbCameraSession::setMode(int32_t mode) {
    uint32_t result = writeReg_8_8(kControllerAddress, 3, 0xC0);
    if (result == 0) result = writeReg_8_8(kControllerAddress, 3, 0x40);
    if (result != 0) return result;
    if (mode == 1) {
        triggerMode = 1;
        if (!supportSingleMode()) return USB_CAMERA_NOT_SUPPORTED;
        result = writeReg_8_8(kControllerAddress, 8, 0x81);
        if (result == 0) result = writeReg_8_8(kControllerAddress, 8, 0x80);
        return result;
    }
    triggerMode = 0;
    return writeReg_8_8(kControllerAddress, 8, 0x00);
}

uint32_t UsbCameraSession::softTrigger() {
    if (!supportSingleMode()) return USB_CAMERA_NOT_SUPPORTED;
    writeReg_8_8(kControllerAddress, 3, 0x40);
    writeReg_8_8(kControllerAddress, 3, 0x60);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    return 0;
}

uint32_t UsbCameraSession::clearImageFlag() {
    writeReg_8_8(kControllerAddress, 8, 0x81);
    writeReg_8_8(kControllerAddress, 8, 0x80);
    writeReg_8_8(kControllerAddress, 3, 0xC0);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    return 0;
}

uint32_t UsbCameraSession::isFrameReady() {
    if (!supportSingleMode()) return USB_CAMERA_NOT_SUPPORTED;
    uint32_t value = 0;
    const uint32_t result = readReg_8_8(kControllerAddress, 9, &value);
    return result != 0 ? result : value;
}

uint32_t UsbCameraSession::beginCaptureOneShot(int32_t timeoutMs) {
    if (captureState.oneShotArmed()) return USB_CAMERA_TRANSFER_STOPPED;
    if (!opened || device == nullptr || device->handle == nullptr) return USB_CAMERA_TRANSFER_STOPPED;
    captureState.trigger();
    if (!anyInFlight()) clearCompletionRecords();
    libusb_claim_interface(device->handle, 0);
    libusb_clear_halt(device->handle, kBulkEndpoint);
    startAlignment();
    return submitIdleTransfers(unsigned(timeoutMs > 0 ? timeoutMs : 0));
}

uint32_t UsbCameraSession::getSingleFrame(LumivexOutData*& frame, int32_t timeoutMs) {
    if (captureState.capturing()) endCapture();
    if (triggerMode == 0) return getSingleFrame2(frame, timeoutMs);
    const int64_t deadlineMs = timeoutMs > 0 ? steadyMs() + timeoutMs : -1;
    frameOffset = 0;  // no remnant of an earlier frame
    if (!captureState.oneShotArmed()) {
        beginCaptureOneShot(timeoutMs);
    } else {
        captureState.trigger();
        // The armed transfers come back (cancelled at the end of the last
        // frame): the records start afresh before any is resubmitted, with
        // this call's time-out.
        if (!anyInFlight()) clearCompletionRecords();
        alignment.restart();  // a triggered frame begins at the first transfer
        submitIdleTransfers(unsigned(timeoutMs > 0 ? timeoutMs : 0));
    }
    flush();
    writeReg_8_8(kControllerAddress, 8, 0x00);
    const uint32_t result = captureBefore(deadlineMs);
    if (isFrameReady() != 0) clearImageFlag();
    captureState.streamEnded();  // armed for the next frame
    cancel_libusb_transfer();
    if (result > 0xFF) return result;
    return read(frame);
}

uint32_t UsbCameraSession::getSingleFrame2(LumivexOutData*& frame, int32_t timeoutMs) {
    triggerMode = 1;
    if (captureState.capturing()) endCapture();
    flush();
    beginCapture();
    // Wall-clock milliseconds, honoured while capture waits: a board that
    // sends nothing cannot hold the caller past the time-out.
    const int64_t deadlineMs = timeoutMs > 0 ? steadyMs() + timeoutMs : -1;
    for (;;) {
        if (available() != 0) break;
        if (deadlineMs >= 0 && steadyMs() >= deadlineMs) break;
        if (captureBefore(deadlineMs) == USB_CAMERA_TRANSFER_STOPPED) {
            triggerMode = 0;
            return USB_CAMERA_TRANSFER_STOPPED;
        }
    }
    endCapture();
    triggerMode = 0;
    return read(frame);
}

uint32_t UsbCameraSession::setCamCfg(LumivexCfg* cfg) {
    if (!opened) return USB_CAMERA_NO_DEVICE;
    reconfiguring.store(1);
    // A capture on another thread finishes the decode it is in, and a frame
    // given out by read is released with del or flush, first. Whichever does
    // not happen in time leaves everything as it was.
    // Once both flags were seen clear with reconfiguring raised, a capture or
    // read that raises one later sees reconfiguring and backs off without
    // touching the buffers (each side raises its own flag before it looks at
    // the other's): a flag raised for that instant is no reason to give up.
    const auto deadline = std::chrono::steady_clock::now() + kDecodeWait;
    bool clear = false;
    while (!(clear = !decoding.load() && !frameLent.load()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (!clear) {
        reconfiguring.store(0);
        return USB_CAMERA_CONTROL_ERROR;
    }
    writeReg_8_8(kControllerAddress, 3, 0x40);
    uint32_t result = InitCameraPara(cfg);
    if (result == 0) result = InitVideoBuff();
    reconfiguring.store(0);
    return result;
}
