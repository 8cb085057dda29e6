// The state of a board's capture: its phase, and the codes its completion
// records carry besides byte counts. Which thread changes what is set out
// with the session's state (usb_camera_session.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace LumivexUsb {

// A completion record holds a transfer's byte count (> 0) or one of these.
namespace CompletionCode {
constexpr int32_t kNone = 0;       // not filled yet, or already consumed
constexpr int32_t kTimedOut = -1;  // timed out with no data
constexpr int32_t kEmpty = -2;     // completed with no data (a zero-length packet)
constexpr int32_t kFailed = -3;    // failed (error, stall, no device, overflow): the stream ends here
}  // namespace CompletionCode

// The capture's phases. The design's flags are views of it: capturing
// (Streaming or Ended), stopped (neither Streaming nor Triggered), one-shot
// armed (Triggered or Armed).
enum class CapturePhase : uint8_t {
    Idle,       // no transfer allocated: after open, endCapture or close
    Streaming,  // beginCapture (or shot): transfers in flight, capture decodes and resubmits
    Ended,      // the stream ended by itself (a failed or unsubmittable transfer, nothing
                // left in flight, the end of shot): transfers stay allocated until endCapture
    Triggered,  // single-frame mode: the armed transfers wait for one triggered frame
    Armed,      // single-frame mode between frames: transfers allocated, none resubmitted
};

// The phase, changed only through these transitions, by the capture's
// consumer (readable from any thread).
class CaptureState {
public:
    CapturePhase phase() const { return current.load(); }
    bool capturing() const { return phase() == CapturePhase::Streaming || phase() == CapturePhase::Ended; }
    bool stopped() const { return phase() != CapturePhase::Streaming && phase() != CapturePhase::Triggered; }
    bool oneShotArmed() const { return phase() == CapturePhase::Triggered || phase() == CapturePhase::Armed; }

    void stream() { enter(CapturePhase::Streaming); }  // beginCapture, shot
    void trigger() { enter(CapturePhase::Triggered); }  // a single frame is awaited
    // The stream ends by itself: a continuous capture ends, a triggered one
    // goes back to armed.
    void streamEnded() {
        if (phase() == CapturePhase::Streaming) current.store(CapturePhase::Ended);
        if (phase() == CapturePhase::Triggered) current.store(CapturePhase::Armed);
    }
    // The consumer reached a failure record: the stream ends there, and
    // records after it (more failures, as every transfer of a board that
    // left fails) are not decoded.
    void endAtFailure() {
        streamEnded();
        failureTaken.store(true);
    }
    void idle() { enter(CapturePhase::Idle); }  // endCapture, close, a failed start

    // Whether a capture of a stream that has ended still takes the records
    // that came before a failure (only until it reaches that failure).
    bool drainsToFailure() const { return !failureTaken.load(); }

private:
    void enter(CapturePhase phase) {
        failureTaken.store(false);
        current.store(phase);
    }
    std::atomic<CapturePhase> current{CapturePhase::Idle};
    std::atomic<bool> failureTaken{false};  // a fact, not a phase: see endAtFailure
};

}  // namespace LumivexUsb
