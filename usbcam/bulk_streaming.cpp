// Bulk streaming: 32 transfers in flight on endpoint 0x82, completions
// recorded by read_callback and decoded by capture on the caller's thread,
// the six-slot frame ring, clock synchronisation and single-frame mode.
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "usb_camera_lib.h"
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
}  // namespace

uint32_t HxUsbCameraLib::fillAndSubmit(int slot, unsigned int timeoutMs) {
    libusb_fill_bulk_transfer(transfers[slot], device->handle, kBulkEndpoint, transferBuffers[slot],
                              int(transferSize), read_callback, this, timeoutMs);
    if (libusb_submit_transfer(transfers[slot]) != 0) return USB_CAMERA_TRANSFER_STOPPED;
    inFlight[slot] = true;
    return 0;
}

uint32_t HxUsbCameraLib::beginCapture() {
    if (capturing) return 0;
    if (!opened || device == nullptr || device->handle == nullptr) return USB_CAMERA_TRANSFER_STOPPED;
    if (transfers[0] != nullptr) {  // transfers of an armed one-shot capture
        cancel_libusb_transfer();
        freeTransfers();
    }
    capturing = 1;
    stopped = 0;
    transferSize = transferUnits != 0 ? transferUnits * 2048 : kDefaultTransferSize;
    std::memset(completedLengths, 0, sizeof completedLengths);  // no stale record is decoded
    completionIndex = 0;
    consumeIndex = 0;
    libusb_claim_interface(device->handle, 0);
    uint32_t last = 0;
    for (int i = 0; i < kTransferCount; ++i) {
        transferBuffers[i] = new (std::nothrow) uint8_t[transferSize];
        transfers[i] = libusb_alloc_transfer(0);
        last = transferBuffers[i] != nullptr && transfers[i] != nullptr ? fillAndSubmit(i, kStreamTimeoutMs)
                                                                       : USB_CAMERA_TRANSFER_STOPPED;
    }
    if (last != 0) return USB_CAMERA_TRANSFER_STOPPED;
    uint32_t moved = 0;
    if (usbType == 3 || usbType == 4) SendVRCommand(0xA1, 0x00, 0, 0, 0, nullptr, &moved);
    writeReg_8_8(kControllerAddress, 3, 0xC0);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    writeReg_8_8(kControllerAddress, 3, 0x00);
    return 0;
}

void HxUsbCameraLib::read_callback(libusb_transfer* transfer) {
    auto* self = static_cast<HxUsbCameraLib*>(transfer->user_data);
    int slot = 0;
    while (slot < kTransferCount && self->transfers[slot] != transfer) ++slot;
    if (slot < kTransferCount) self->inFlight[slot] = false;
    const uint8_t c = self->completionIndex;
    self->completedBuffers[c] = transfer->buffer;
    bool resubmit = true;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            self->completedLengths[c] = transfer->actual_length > 0 ? transfer->actual_length : -2;
            break;
        case LIBUSB_TRANSFER_TIMED_OUT:
            self->completedLengths[c] = -1;
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            self->completedLengths[c] = 0;
            self->stopped = 1;
            return;  // not resubmitted; the completion index stays
        default:  // error, stall, no device, overflow
            self->completedLengths[c] = 0;
            self->stopped = 1;
            break;
    }
    if (resubmit && !self->cancelling && slot < kTransferCount && libusb_submit_transfer(transfer) == 0)
        self->inFlight[slot] = true;
    self->completionIndex = uint8_t((c + 1) % kTransferCount);
}

uint32_t HxUsbCameraLib::capture() {
    if (stopped) return USB_CAMERA_TRANSFER_STOPPED;
    syncTimer(false);
    if (markerLength == 0) return 0;
    uint32_t result = 0;
    for (;;) {
        if (stopped) return result;
        while (completedLengths[consumeIndex] <= 0 && !stopped) {
            if (completedLengths[consumeIndex] == -1) {
                completedLengths[consumeIndex] = 0;
                consumeIndex = (consumeIndex + 1) % kTransferCount;
                return USB_CAMERA_TRANSFER_TIMEOUT;
            }
            if (completedLengths[consumeIndex] == -2) {
                completedLengths[consumeIndex] = 0;
                consumeIndex = (consumeIndex + 1) % kTransferCount;
            }
            // Nothing in flight can complete this record: waiting for events
            // would never end. The capture has stopped.
            if (!anyInFlight()) {
                stopped = 1;
                break;
            }
            libusb_handle_events_completed(nullptr, nullptr);
        }
        if (completedLengths[consumeIndex] <= 0) {  // stopped while waiting: consumed, no frame
            completedLengths[consumeIndex] = 0;
            consumeIndex = (consumeIndex + 1) % kTransferCount;
            return result;
        }
        decoding.store(true);
        if (reconfiguring.load()) {  // setCamCfg is replacing the frame buffers
            decoding.store(false);
            std::this_thread::yield();
            continue;
        }
        uint8_t frames = 0;
        uint8_t* buffer = completedBuffers[consumeIndex];
        const int32_t length = completedLengths[consumeIndex];
        const bool marker = usbType == 1 || usbType == 2 || productId == 0x03F2;
        result = marker ? DecodeFrameUseMarker(buffer, length, frameOffset, frames)
                        : DecodeFrameUseUVC(buffer, length, frameOffset, frames);
        decoding.store(false);
        completedLengths[consumeIndex] = 0;
        consumeIndex = (consumeIndex + 1) % kTransferCount;
        if (result > 254) return result;
        if (result >= 1) return result;
    }
}

bool HxUsbCameraLib::anyInFlight() const {
    for (bool f : inFlight) {
        if (f) return true;
    }
    return false;
}

uint32_t HxUsbCameraLib::pumpEventsFor(int64_t milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (!anyInFlight()) return 0;
        if (std::chrono::steady_clock::now() >= deadline) return 1;
        timeval slice{0, 50000};
        libusb_handle_events_timeout_completed(nullptr, &slice, nullptr);
    }
}

uint32_t HxUsbCameraLib::cancel_libusb_transfer() {
    // Each transfer libusb holds is cancelled and its callback run; none is
    // resubmitted meanwhile. The wait for them is bounded.
    cancelling = true;
    for (int i = 0; i < kTransferCount; ++i) {
        if (transfers[i] != nullptr && inFlight[i]) libusb_cancel_transfer(transfers[i]);
    }
    pumpEventsFor(kCancelWaitMs);
    cancelling = false;
    completionIndex = 0;
    return 0;
}

void HxUsbCameraLib::freeTransfers() {
    for (int i = 0; i < kTransferCount; ++i) {
        // A transfer libusb still holds may not be freed: it is left, with its
        // buffer, rather than risk libusb writing into freed memory.
        if (transfers[i] != nullptr && inFlight[i]) continue;
        if (transfers[i] != nullptr) libusb_free_transfer(transfers[i]);
        delete[] transferBuffers[i];
        transfers[i] = nullptr;
        transferBuffers[i] = nullptr;
    }
    std::memset(completedLengths, 0, sizeof completedLengths);  // no freed buffer is decoded
    std::memset(completedBuffers, 0, sizeof completedBuffers);
}

uint32_t HxUsbCameraLib::endCapture() {
    uint32_t moved = 0;
    if (usbType == 3) SendVRCommand(0xA2, 0x00, 0, 0, 0, nullptr, &moved);
    stopped = 1;
    capturing = 0;
    oneShotArmed = 0;
    cancel_libusb_transfer();
    freeTransfers();
    consumeIndex = 0;
    writeReg_8_8(kControllerAddress, 3, 0xC0);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    return 0;
}

uint32_t HxUsbCameraLib::shot() {
    if (!capturing) beginCapture();
    stopped = 0;
    const uint32_t result = capture();
    stopped = 1;
    return result;
}

uint32_t HxUsbCameraLib::read(LumivexOutData*& frame) {
    if (readIndex != writeIndex) {
        frame = &frameSlots[readIndex];
        return 0;
    }
    frame = nullptr;
    return USB_CAMERA_NO_FRAME_TO_READ;
}

uint32_t HxUsbCameraLib::del() {
    if (readIndex == writeIndex) return USB_CAMERA_NO_FRAME_TO_RELEASE;
    readIndex = (readIndex + 1) % kFrameSlots;
    return 0;
}

uint32_t HxUsbCameraLib::flush() {
    readIndex = writeIndex;
    return 0;
}

uint32_t HxUsbCameraLib::available() {
    int32_t count = int32_t(writeIndex) - int32_t(readIndex);
    if (count < 0) count += kFrameSlots;
    return uint32_t(count);
}

void HxUsbCameraLib::advanceWrite() {
    const uint32_t full = (readIndex + kFrameSlots - writeIndex) % kFrameSlots == 1;
    if (!full) writeIndex = (writeIndex + 1) % kFrameSlots;
}

uint32_t HxUsbCameraLib::enableForceRead() {
    forceRead = 1;
    return 0;
}

uint32_t HxUsbCameraLib::disableForceRead() {
    forceRead = 0;
    return 0;
}

uint32_t HxUsbCameraLib::syncTimer(bool force) {
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

uint32_t HxUsbCameraLib::controllerDate() const {
    return deviceInfo.date[0] * 1000 + deviceInfo.date[1] * 100 + deviceInfo.date[2];
}

uint32_t HxUsbCameraLib::supportSingleMode() {
    return usbType == 2 && deviceInfo.controllerVersion > 0x16 && controllerDate() > 18816 ? 1 : 0;
}

uint32_t HxUsbCameraLib::setMode(int32_t mode) {
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

uint32_t HxUsbCameraLib::softTrigger() {
    if (!supportSingleMode()) return USB_CAMERA_NOT_SUPPORTED;
    writeReg_8_8(kControllerAddress, 3, 0x40);
    writeReg_8_8(kControllerAddress, 3, 0x60);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    return 0;
}

uint32_t HxUsbCameraLib::clearImageFlag() {
    writeReg_8_8(kControllerAddress, 8, 0x81);
    writeReg_8_8(kControllerAddress, 8, 0x80);
    writeReg_8_8(kControllerAddress, 3, 0xC0);
    writeReg_8_8(kControllerAddress, 3, 0x40);
    return 0;
}

uint32_t HxUsbCameraLib::isFrameReady() {
    if (!supportSingleMode()) return USB_CAMERA_NOT_SUPPORTED;
    uint32_t value = 0;
    const uint32_t result = readReg_8_8(kControllerAddress, 9, &value);
    return result != 0 ? result : value;
}

uint32_t HxUsbCameraLib::beginCaptureOneShot(int32_t timeoutMs) {
    if (oneShotArmed) return USB_CAMERA_TRANSFER_STOPPED;
    if (!opened || device == nullptr || device->handle == nullptr) return USB_CAMERA_TRANSFER_STOPPED;
    oneShotArmed = 1;
    stopped = 0;
    libusb_claim_interface(device->handle, 0);
    uint32_t last = 0;
    for (int i = 0; i < kTransferCount; ++i) {
        if (transferBuffers[i] == nullptr) transferBuffers[i] = new (std::nothrow) uint8_t[transferSize];
        if (transfers[i] == nullptr) transfers[i] = libusb_alloc_transfer(0);
        if (inFlight[i]) continue;
        last = transferBuffers[i] != nullptr && transfers[i] != nullptr
                   ? fillAndSubmit(i, unsigned(timeoutMs > 0 ? timeoutMs : 0))
                   : USB_CAMERA_TRANSFER_STOPPED;
    }
    return last;
}

uint32_t HxUsbCameraLib::getSingleFrame(LumivexOutData*& frame, int32_t timeoutMs) {
    if (capturing) endCapture();
    if (triggerMode == 0) return getSingleFrame2(frame, timeoutMs);
    stopped = 0;
    if (!oneShotArmed) {
        beginCaptureOneShot(timeoutMs);
    } else {
        std::memset(completedLengths, 0, sizeof completedLengths);
        for (int i = 0; i < kTransferCount; ++i) {
            if (transfers[i] != nullptr && !inFlight[i] && libusb_submit_transfer(transfers[i]) == 0)
                inFlight[i] = true;
        }
    }
    consumeIndex = 0;
    flush();
    writeReg_8_8(kControllerAddress, 8, 0x00);
    const uint32_t result = capture();
    if (isFrameReady() != 0) clearImageFlag();
    stopped = 1;
    cancel_libusb_transfer();
    if (result > 0xFF) return result;
    return read(frame);
}

uint32_t HxUsbCameraLib::getSingleFrame2(LumivexOutData*& frame, int32_t timeoutMs) {
    triggerMode = 1;
    if (capturing) endCapture();
    flush();
    beginCapture();
    // Wall-clock milliseconds: a board that sends nothing cannot hold the
    // caller past the time-out (processor time hardly moves while waiting).
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (available() != 0) break;
        if (timeoutMs > 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeoutMs))
            break;
        if (capture() == USB_CAMERA_TRANSFER_STOPPED) {
            triggerMode = 0;
            return USB_CAMERA_TRANSFER_STOPPED;
        }
    }
    endCapture();
    triggerMode = 0;
    return read(frame);
}

uint32_t HxUsbCameraLib::setCamCfg(LumivexCfg* cfg) {
    if (!opened) return USB_CAMERA_NO_DEVICE;
    reconfiguring.store(1);
    // A capture on another thread finishes the decode it is in first.
    const auto deadline = std::chrono::steady_clock::now() + kDecodeWait;
    while (decoding.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    writeReg_8_8(kControllerAddress, 3, 0x40);
    uint32_t result = InitCameraPara(cfg);
    if (result == 0) result = InitVideoBuff();
    reconfiguring.store(0);
    return result;
}
