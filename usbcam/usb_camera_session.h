// The state and operations behind HxUsbCameraLib: one board's session,
// its bulk streaming and frame decoding. Private to the library (and its
// tests): the installed class holds a pointer to it, so what is here may
// change without changing the library's ABI.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture_state.h"
#include "frame_aligned_transfers.h"
#include "usb_camera_lib.h"

class UsbCameraSession {
public:
    static constexpr int kTransferCount = 32;
    static constexpr int kFrameSlots = 6;

    UsbCameraSession();
    ~UsbCameraSession();
    UsbCameraSession(const UsbCameraSession&) = delete;
    UsbCameraSession& operator=(const UsbCameraSession&) = delete;

    uint32_t open(LumivexCfg* cfg);
    uint32_t close();
    uint32_t capture();
    uint32_t read(LumivexOutData*& frame);
    uint32_t del();
    uint32_t flush();
    uint32_t available();
    uint32_t writeSensorReg(uint32_t reg, uint32_t value);
    uint32_t readSensorReg(uint32_t reg, uint32_t* value);
    uint32_t getSensorCfg(LumivexCfg* cfg);
    uint32_t scan(unsigned int* list, unsigned short vendorId);
    uint32_t scan(LumivexIndexinfo* list);
    uint32_t open(LumivexCfg* cfg, unsigned int index);
    uint32_t beginCapture();
    uint32_t endCapture();
    uint32_t shot();
    uint32_t writeReg_8_8(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readReg_8_8(uint32_t address, uint32_t reg, uint32_t* value);
    uint32_t writeReg_8_16(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readReg_8_16(uint32_t address, uint32_t reg, uint32_t* value);
    uint32_t writeReg_16_8(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readReg_16_8(uint32_t address, uint32_t reg, uint32_t* value);
    uint32_t writeReg_16_16(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readReg_16_16(uint32_t address, uint32_t reg, uint32_t* value);
    uint32_t writeReg_16_32(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readReg_16_32(uint32_t address, uint32_t reg, uint32_t* value);
    uint32_t SendVRCommand(uint8_t request, uint8_t direction, uint16_t value, uint16_t index, uint32_t length,
                           uint8_t* buffer, uint32_t* transferred);
    uint32_t enableForceRead();
    uint32_t disableForceRead();
    uint32_t readUserData(uint16_t address, uint8_t length, uint8_t* buffer);
    uint32_t writeUserData(uint16_t address, uint8_t length, uint8_t* buffer);
    uint32_t softTrigger();
    uint32_t isFrameReady();
    uint32_t getSingleFrame(LumivexOutData*& frame, int32_t timeoutMs);
    uint32_t setMode(int32_t mode);
    uint32_t getUsbType(uint8_t* usbType, uint8_t* speedClass);
    uint32_t registerCtrls(Control* controls, uint32_t count);
    uint32_t setCtrl(const char* name, int64_t value, void* userData);
    uint32_t setCamCfg(LumivexCfg* cfg);

    // Device discovery and session.
    uint32_t InitUsbContext(libusb_device_handle* handle, uint8_t& usbTypeOut, uint8_t index,
                            uint8_t busNumber = 0);
    uint32_t InitCameraPara(LumivexCfg* cfg);
    uint32_t InitVideoBuff();
    uint32_t GetDeviceInfo();
    libusb_device_handle* NewCyUSBDevice(USB2DriverInfo* info);
    uint32_t detectCpld();

    // Register access.
    uint32_t writeReg(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readReg(uint32_t address, uint32_t reg, uint32_t* value);
    uint32_t CheckI2cStatus(uint8_t status, uint32_t result);

    // Streaming.
    static void read_callback(libusb_transfer* transfer);
    uint32_t beginCaptureOneShot(int32_t timeoutMs);
    uint32_t cancel_libusb_transfer();
    uint32_t getSingleFrame2(LumivexOutData*& frame, int32_t timeoutMs);
    uint32_t clearImageFlag();
    uint32_t supportSingleMode();
    uint32_t syncTimer(bool force);
    // The board clock that stamps the frames, now (request 0xB0): 0 with
    // `ticks` set, USB_CAMERA_NOT_SUPPORTED when the frames carry no board
    // time (no device clock, or a chunk stream stamped as it is decoded), or
    // the request's error.
    uint32_t readFrameClock(uint64_t& ticks);
    uint32_t getFirmwareVersion(uint32_t& version);
    // capture, waiting at most `milliseconds` for a transfer to complete
    // (0 when none did): a caller that must stop soon is never held by a
    // silent board for a whole transfer time-out.
    uint32_t captureWithin(int32_t milliseconds);

    // Frame decoding.
    uint32_t USB_GetBufferSize(uint32_t n);
    uint32_t IsMarker(const uint8_t* packet);
    void AssignTimeStamp(const uint8_t* packet);
    uint32_t DecodeFrameUseMarker(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames);
    uint32_t DecodeFrameUseUVC(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames);
    void FillImagePara(LumivexCfg* slotConfig, const uint8_t* packet);

    // Control scripts.
    uint32_t InitController();

    // Internal operations.
    void advanceWrite();
    uint32_t expectedFrameBytes() const;  // per the format; 0 for lengths no frame can have
    bool lengthAccepted(uint32_t length) const;
    bool firmwareAtLeast314() const;
    uint32_t controllerDate() const;
    void freeFrameBuffers();
    void freeTransfers();
    uint32_t fillAndSubmit(int slot, unsigned int timeoutMs);
    void releaseDefaultContext();
    bool acquireDefaultContext();
    uint32_t storeFrameBytes(uint32_t at, const uint8_t* source, uint64_t count);
    uint32_t pumpEventsFor(int64_t milliseconds);
    bool anyInFlight() const;
    bool failureRecorded() const;
    bool usesMarkerStream() const;
    void clearCompletionRecords();
    // Consumes the record at the consume index and resubmits its transfer;
    // `bytesAfterLastFrameEnd` is the phase of its data (-1: no frame ended in it).
    void consumeRecord(bool resubmit, int64_t bytesAfterLastFrameEnd);
    int64_t bytesAfterLastMarker(const uint8_t* buffer, int32_t length);
    // Submits every transfer libusb does not hold (allocating what is
    // missing): 0, or USB_CAMERA_TRANSFER_STOPPED when one could not be.
    uint32_t submitIdleTransfers(unsigned int timeoutMs);
    void startAlignment();
    void handleEventsFor(int64_t milliseconds);
    void discardBeforeStart();
    // capture with a bound: gives up (0) once `deadlineMs` (steady clock, in
    // milliseconds; a negative value: none) has passed while waiting.
    uint32_t captureBefore(int64_t deadlineMs);

    // State, in the documented order.
    //
    // Threads. The consumer is the thread that calls capture (and read, del,
    // beginCapture, endCapture, the single-frame operations). read_callback
    // runs on whichever thread handles libusb events on the default context:
    // the consumer inside capture or any synchronous control transfer, or,
    // with two boards in one process, the other board's consumer. setCamCfg
    // and setMode may come from a third thread. Hence:
    // - completionIndex, completedBuffers/Slots/TimedOut and the non-zero
    //   completedLengths codes: written by read_callback (the one producer:
    //   libusb runs callbacks under its event lock); a code is published last
    //   (release) and reset to 0 by the consumer once the record is decoded.
    //   A transfer is resubmitted only after its record was consumed, so a
    //   record is never overwritten before it is decoded.
    //   read_callback writes nothing else: a failure reaches the consumer as
    //   a record (CompletionCode::kFailed), in order after the data before it.
    // - inFlight: set by the consumer on submission, cleared by read_callback.
    // - captureState (the phase; the design's capturing, stopped and one-shot
    //   armed flags are views of it): the consumer only, through its
    //   transitions (capture_state.h). triggerMode: the consumer and setMode
    //   (any thread).
    // - alignment, consumeIndex, frameOffset, startRemnants, sequenceRestart
    //   and everything the decoders write: the consumer only.
    // - reconfiguring (setCamCfg's thread) against decoding and frameLent (the
    //   consumer): each side raises its flag, then looks at the other's.
    // - readIndex, writeIndex: the consumer, and setCamCfg while the consumer
    //   neither decodes nor holds a frame.
    std::atomic<uint8_t> completionIndex{0};
    uint8_t* completedBuffers[kTransferCount] = {};
    uint8_t* transferBuffers[kTransferCount] = {};
    std::atomic<int32_t> completedLengths[kTransferCount] = {};
    LumivexUsb::CaptureState captureState;  // the design's stopped, capturing and one-shot armed flags
    uint8_t opened = 0;
    ImageParameters image = {};
    int32_t forceRead = 0;
    CtrlState* controller = nullptr;
    UsbDeviceRecord* device = nullptr;
    uint32_t usbTypeWord = 0;
    uint32_t bufferRoundUnit = 0;
    uint32_t transferSize = 0;
    uint32_t packetSize = 0;
    uint32_t markerLength = 0;
    uint8_t markerPattern[10] = {};
    uint32_t productWord = 0;
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    std::atomic<libusb_transfer*> transfers[kTransferCount] = {};  // read by callbacks on any thread
    int32_t consumeIndex = 0;
    uint32_t frameSize = 0;
    uint32_t frameBufferSize = 0;
    std::atomic<uint32_t> readIndex{0};
    std::atomic<uint32_t> writeIndex{0};
    uint32_t frameOffset = 0;
    LumivexOutData frameSlots[kFrameSlots] = {};
    std::atomic<uint32_t> triggerMode{0};
    uint16_t lastSequence = 0xFFFF;  // a first frame numbered 0 passes
    uint32_t transferUnits = 0;
    uint8_t lastFrameId = 0;
    uint8_t usbType = 0;
    UsbDeviceInfo deviceInfo = {};
    int64_t lastTimeSync = 0;
    std::atomic<uint8_t> reconfiguring{0};

    // Beyond the documented state: whether this object holds a reference on
    // libusb's default context (taken by scan and open, given back by scan
    // and close), and the private generator of detectCpld.
    bool holdsContext = false;
    uint32_t randomState = 0;
    // The transfer each completion record came from (resubmitted once the
    // record is consumed), and whether it timed out with data.
    uint8_t completedSlots[kTransferCount] = {};
    bool completedTimedOut[kTransferCount] = {};
    // Which transfers libusb holds (submitted, callback not yet run): only
    // those may be cancelled, and none of them may be freed.
    std::atomic<bool> inFlight[kTransferCount] = {};
    // The first frame after beginCapture is in sequence whatever its number:
    // a board's frame counter keeps running across sessions.
    bool sequenceRestart = false;
    // After beginCapture's capture reset, until the first frame that passes
    // the length check (at most this many frame ends): a frame that fails it
    // is a remnant of the stream from before the reset (still on its way
    // through the board's buffers), dropped without a report
    // and without counting in the frame sequence.
    static constexpr uint8_t kStartRemnants = 4;
    uint8_t startRemnants = 0;
    // Raised by capture around a decode and by read until del or flush, so
    // that setCamCfg on another thread never replaces the frame buffers
    // under either.
    std::atomic<bool> decoding{false};
    std::atomic<bool> frameLent{false};
    // The lengths of the next submissions: each transfer ends where a frame
    // ends on the wire (frame_aligned_transfers.h).
    LumivexUsb::FrameAlignedTransfers alignment;
};

