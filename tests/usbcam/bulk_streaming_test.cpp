// Streaming through the virtual bus: transfers, capture, the ring, time-outs,
// disconnection, single-frame mode and frames intact across transfer sizes.
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "usb_clock.h"

#include "stream_builder.h"
#include "session_probe.h"
#include "virtual_bus.h"

using namespace LumivexTest;

namespace {

class Streaming : public BusTest {
protected:
    void open(const std::string& board, uint32_t frameBytes = 1024, uint32_t transferUnits = 0, uint32_t format = 0) {
        configureBus(board);
        cfg = sensorConfig(2, format);
        uint32_t lines = 1;  // width at most 65535
        while (frameBytes / lines > 65535 || frameBytes % lines != 0) ++lines;
        cfg.width = frameBytes / lines;
        cfg.height = lines;
        cfg.bytesPerPixel = 1;
        cfg.transferUnits = transferUnits;
        ASSERT_EQ(camera.open(&cfg, 0), 0u);
        lumivex_vusb_clear_log();
    }
    void TearDown() override {
        camera.close();
        BusTest::TearDown();
    }
    // Captures until `frames` frames wait in the ring (or a bounded number of tries).
    uint32_t captureFrames(uint32_t frames) {
        uint32_t last = 0;
        for (int tries = 0; tries < 200 && camera.available() < frames; ++tries) {
            last = camera.capture();
            if (last == USB_CAMERA_TRANSFER_STOPPED) break;
        }
        return last;
    }
    // Captures (at most `tries` times) until `wanted` frames of `bytes` were
    // read, each checked whole, shown to `each` and released; every capture
    // must finish frames or report nothing (a sequence gap too, if allowed).
    int takeFrames(uint32_t bytes, int wanted, int tries, bool gapsAllowed = false,
                   const std::function<void(const LumivexOutData*)>& each = nullptr);
    LumivexCfg cfg;
    Probe camera;
};

TEST_F(Streaming, BeginCaptureStartsThirtyTwoTransfersAndTheBoard) {
    open("pid=0x00F1,stall");  // no frame completes a transfer meanwhile
    ASSERT_EQ(camera.beginCapture(), 0u);
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 32);
    EXPECT_EQ(camera.beginCapture(), 0u);  // already capturing: nothing more
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 32);
    const std::string log = busLog();
    EXPECT_NE(log.find("claim_interface 0"), std::string::npos);
    const size_t c0 = log.find("wIndex=0x0300 wLength=1 data=[C0]");
    const size_t c40 = log.find("wIndex=0x0300 wLength=1 data=[40]", c0);
    const size_t c00 = log.find("wIndex=0x0300 wLength=1 data=[00]", c40);
    EXPECT_TRUE(c0 != std::string::npos && c40 != std::string::npos && c00 != std::string::npos) << log;
    EXPECT_EQ(countOf(log, "bRequest=0xA1"), 0);  // USB type 1 gets no start request
    EXPECT_EQ(camera.endCapture(), 0u);
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 0);
    EXPECT_EQ(lumivex_vusb_transfers_allocated(), 0);
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
}

TEST_F(Streaming, StartAndStopRequestsFollowTheUsbType) {
    open("pid=0x03F1,speed=super,stream=marker");
    camera.beginCapture();
    camera.endCapture();
    EXPECT_EQ(countOf(busLog(), "bRequest=0xA1"), 1);
    EXPECT_EQ(countOf(busLog(), "bRequest=0xA2"), 1);
    camera.close();
    open("pid=0x03F1,speed=high,stream=marker");  // type 4: no stop request
    camera.beginCapture();
    camera.endCapture();
    EXPECT_EQ(countOf(busLog(), "bRequest=0xA1"), 1);
    EXPECT_EQ(countOf(busLog(), "bRequest=0xA2"), 0);
}

struct TransferCase {
    const char* board;
    // transferBytes: the transfer size (the longest transfer); submitted: a
    // length the log must show (marker streams on links without short
    // packets cut transfers at frame ends: 86,400 bytes are 87,040 on the wire).
    uint32_t frameBytes, transferUnits, transferBytes, submitted;
};

void PrintTo(const TransferCase& c, std::ostream* os) { *os << c.board << " units=" << c.transferUnits; }

class TransferSizeTest : public Streaming, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(TransferSizeTest, FramesArriveIntactWhateverTheTransferSize) {
    const TransferCase c = GetParam();
    open(c.board, c.frameBytes, c.transferUnits);
    ASSERT_EQ(camera.beginCapture(), 0u);
    EXPECT_EQ(camera.transferSize, c.transferBytes);
    int checked = 0;
    for (int round = 0; round < 100 && checked < 12; ++round) {
        const uint32_t result = captureFrames(1);
        ASSERT_GE(camera.available(), 1u) << "after " << checked << " frames, result " << std::hex << result;
        LumivexOutData* frame = nullptr;
        while (camera.read(frame) == 0) {
            ASSERT_EQ(frame->config.frameLength, c.frameBytes);
            // The board's pattern: byte k of frame n is k + 3n; n is found from byte 0.
            const uint8_t n = frame->data[0];
            for (uint32_t k = 0; k < c.frameBytes; k += 97) ASSERT_EQ(frame->data[k], uint8_t(k + n)) << k;
            ASSERT_EQ(frame->data[c.frameBytes - 1], uint8_t(c.frameBytes - 1 + n));
            EXPECT_EQ(frame->config.width * frame->config.height, c.frameBytes);
            EXPECT_EQ(camera.del(), 0u);
            ++checked;
        }
    }
    EXPECT_GE(checked, 12);
    EXPECT_NE(busLog().find("bulk 0x82 length=" + std::to_string(c.submitted) + " "), std::string::npos);
    EXPECT_EQ(camera.endCapture(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TransferSizeTest,
    ::testing::Values(TransferCase{"pid=0x00F1,frame_bytes=86400,fps=400", 86400, 0, 131072, 87040},
                      TransferCase{"pid=0x00F1,frame_bytes=86400,fps=400", 86400, 64, 131072, 87040},
                      TransferCase{"pid=0x00F1,frame_bytes=86400,fps=400", 86400, 16, 32768, 32768},
                      TransferCase{"pid=0x00F1,frame_bytes=86400,fps=400", 86400, 16, 32768, 21504},  // 87040 - 2 x 32768
                      TransferCase{"pid=0x00F1,frame_bytes=86400,fps=400", 86400, 1, 2048, 1024},
                      TransferCase{"pid=0x00F1,frame_bytes=1000,fps=400", 1000, 3, 6144, 1536},
                      TransferCase{"pid=0x00F1,frame_bytes=86400,fps=400,link=short", 86400, 0, 131072, 87040},
                      TransferCase{"pid=0x00F1,frame_bytes=614400,fps=100", 614400, 128, 262144, 90624},
                      TransferCase{"pid=0x03F1,speed=super,frame_bytes=86400,fps=400", 86400, 0, 131072, 131072},
                      TransferCase{"pid=0x03F1,speed=super,frame_bytes=1000,fps=400", 1000, 16, 32768, 32768},
                      // chunk streams: transfers rounded up to whole 16 KiB chunks
                      TransferCase{"pid=0x03F1,speed=super,frame_bytes=86400,fps=400", 86400, 9, 32768, 32768},
                      TransferCase{"pid=0x03F1,speed=super,frame_bytes=86400,fps=400", 86400, 1, 16384, 16384}));

TEST_F(Streaming, ALinkThatEndsTransfersItselfGetsWholeTransfersAgain) {
    // A short-packet link: each frame that fills a transfer cut at its end is
    // followed by a zero-length completion. Once one shows the link for what
    // it is, transfers are the transfer size again and each frame ends one.
    open("pid=0x00F1,frame_bytes=86400,fps=400,link=short", 86400);
    ASSERT_EQ(camera.beginCapture(), 0u);
    EXPECT_EQ(takeFrames(86400, 40, 400), 40);
    const std::string log = busLog();
    EXPECT_GE(countOf(log, "bulk 0x82 length=131072 -> completed 87040\n"), 4);
    EXPECT_LE(countOf(log, "-> completed 0\n"), 32);  // only those cut before the link showed itself
    EXPECT_EQ(camera.endCapture(), 0u);
}

// The byte counts of the bulk completions in the log, in order.
std::vector<uint64_t> completedLengths(const std::string& log) {
    std::vector<uint64_t> lengths;
    const std::string mark = "-> completed ";
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
        lengths.push_back(std::stoull(log.substr(at + mark.size())));
    return lengths;
}

TEST_F(Streaming, TransfersComeBackInStepAfterAPacketIsLost) {
    // Sub-frames of the depth camera's size; the fourth loses one packet on
    // the wire, so every frame end after it lies 512 bytes earlier. Transfers
    // that stayed cut to the old frame ends would each end 512 bytes into the
    // next frame and hold every frame back until the next one comes. The
    // next submissions are cut to the new frame ends: once the transfers
    // queued before them (32) are through, every transfer ends a frame again.
    constexpr uint64_t kWire = 87040;  // 169 data packets and the marker
    constexpr int kDropped = 3;
    open("pid=0x00F1,frame_bytes=86400,fps=200,drop_packet_at=3", 86400);
    ASSERT_EQ(camera.beginCapture(), 0u);
    int frames = 0, lengthErrors = 0;
    ::testing::internal::CaptureStdout();  // the lost packet's length error line
    for (int i = 0; i < 400 && frames < 80; ++i) {
        const uint32_t result = camera.capture();
        if (result == USB_CAMERA_DATA_LEN_ERROR) ++lengthErrors;
        ASSERT_TRUE(result <= 254 || result == USB_CAMERA_DATA_LEN_ERROR) << std::hex << result;
        camera.flush();
        frames += result <= 254 ? int(result) : 0;
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(lengthErrors, 1);
    // Where frames end in the stream, computed from the board's settings.
    auto endsAFrame = [&](uint64_t position) {
        if (position <= kDropped * kWire) return position % kWire == 0;
        return (position + 512) % kWire == 0;
    };
    const std::vector<uint64_t> lengths = completedLengths(busLog());
    ASSERT_GE(lengths.size(), 80u);
    uint64_t position = 0;
    size_t firstOutOfStep = lengths.size(), lastOutOfStep = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        position += lengths[i];
        if (endsAFrame(position)) continue;
        firstOutOfStep = std::min(firstOutOfStep, i);
        lastOutOfStep = i;
    }
    ASSERT_LT(firstOutOfStep, lengths.size()) << "the lost packet put no transfer out of step";
    EXPECT_LE(lastOutOfStep, firstOutOfStep + 32) << "transfers out of step for good";
    EXPECT_EQ(camera.endCapture(), 0u);
}

// The board's pattern: byte k of frame n is k + 3n (n found from byte 0).
::testing::AssertionResult intact(const LumivexOutData* frame, uint32_t bytes) {
    if (frame->config.frameLength != bytes)
        return ::testing::AssertionFailure() << "length " << frame->config.frameLength;
    const uint8_t n = frame->data[0];
    for (uint32_t k = 0; k < bytes; k += 61) {
        if (frame->data[k] != uint8_t(k + n)) return ::testing::AssertionFailure() << "byte " << k;
    }
    if (frame->data[bytes - 1] != uint8_t(bytes - 1 + n)) return ::testing::AssertionFailure() << "last byte";
    return ::testing::AssertionSuccess();
}

int Streaming::takeFrames(uint32_t bytes, int wanted, int tries, bool gapsAllowed,
                          const std::function<void(const LumivexOutData*)>& each) {
    int frames = 0;
    for (int i = 0; i < tries && frames < wanted; ++i) {
        const uint32_t result = camera.capture();
        EXPECT_TRUE(result <= 254 || (gapsAllowed && result == USB_CAMERA_SEQUENCE_GAP))
            << "after " << frames << " frames: " << std::hex << result;
        if (result > 254 && !(gapsAllowed && result == USB_CAMERA_SEQUENCE_GAP)) break;
        LumivexOutData* frame = nullptr;
        while (frames < wanted && camera.read(frame) == 0) {
            EXPECT_TRUE(intact(frame, bytes)) << "frame " << frames;
            if (each) each(frame);
            camera.del();
            ++frames;
        }
    }
    return frames;
}

// Register reads on another thread: every synchronous control transfer
// handles events, so completions run on this thread too, as on a board.
class RegisterReader {
public:
    explicit RegisterReader(HxUsbCameraLib& camera)
        : thread([this, &camera] {
              uint32_t value = 0;
              while (!done.load()) {
                  camera.readReg_8_8(0x46, 0, &value);
                  std::this_thread::sleep_for(std::chrono::microseconds(300));
              }
          }) {}
    ~RegisterReader() {
        done.store(true);
        thread.join();
    }

private:
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST_F(Streaming, ASlowConsumerGetsCompleteFramesInOrder) {
    // 400 frames a second, a consumer taking 8 ms a frame, completions run by
    // another thread's register reads: the board is throttled (it drops
    // frames: sequence gaps), nothing is overwritten, stitched or reordered.
    open("pid=0x00F1,frame_bytes=86400,fps=400,fw=0x0314,date=21/6/6", 86400);
    ASSERT_EQ(camera.beginCapture(), 0u);
    RegisterReader reader(camera);
    uint64_t previous = 0;
    const int frames = takeFrames(86400, 40, 2000, true, [&previous](const LumivexOutData* frame) {
        EXPECT_GT(frame->timestamp, previous);  // device time: never backwards
        previous = frame->timestamp;
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
    });
    EXPECT_EQ(frames, 40);
    EXPECT_EQ(camera.endCapture(), 0u);
}

struct RestartCase {
    const char* board;
    uint32_t frameBytes;
    bool reopen;  // a new session on the same board (its frame counter runs on)
    bool deviceClock;  // frames stamped by the board (since 1601), else by the host (since 1970)
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.board << (c.reopen ? " reopened" : " restarted"); }

class RestartTest : public Streaming, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, EverySessionStartsCleanWhateverCameBefore) {
    // Transfers filled end to end: every stop leaves a frame half assembled.
    const RestartCase c = GetParam();
    open(c.board, c.frameBytes);
    for (int session = 0; session < 3; ++session) {
        if (c.reopen && session > 0) {
            camera.close();
            ASSERT_EQ(camera.open(&cfg, 0), 0u);
        }
        const uint64_t started = c.deviceClock ? LumivexUsb::hostFileTime() : uint64_t(LumivexUsb::ticksNow());
        ASSERT_EQ(camera.beginCapture(), 0u);
        EXPECT_EQ(camera.available(), 0u) << "frames from before the start";
        const int frames = takeFrames(c.frameBytes, 4, 200, false, [&](const LumivexOutData* frame) {
            EXPECT_GE(frame->timestamp, started) << "session " << session;
        });
        EXPECT_EQ(frames, 4) << "session " << session;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the board runs on meanwhile
        camera.endCapture();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, RestartTest,
    ::testing::Values(
        RestartCase{"pid=0x00F1,frame_bytes=86400,fps=400,date=21/6/6,seq_start=500", 86400, false, true},
        RestartCase{"pid=0x00F1,frame_bytes=86400,fps=400,date=21/6/6,seq_start=500", 86400, true, true},
        RestartCase{"pid=0x00F1,frame_bytes=1024,fps=400,date=21/6/6,seq_start=7,link=short", 1024, true, true},
        RestartCase{"pid=0x03F1,speed=super,frame_bytes=40000,fps=400", 40000, false, false}));

struct EarlyStreamCase {
    const char* board;
    uint32_t frameBytes;
};

void PrintTo(const EarlyStreamCase& c, std::ostream* os) { *os << c.board; }

class EarlyStreamTest : public Streaming, public ::testing::WithParamInterface<EarlyStreamCase> {};

TEST_P(EarlyStreamTest, ABoardStreamingBeforeTheStartGivesNoFrameFromBeforeIt) {
    // The board already streams (a set-up that starts it, or a program that
    // ended without stopping it): its backlog fills the first transfers, the
    // last of them only partly when the capture reset cuts the stream. None
    // of it may come out as a frame of the new capture, nor as an error.
    const EarlyStreamCase c = GetParam();
    open(c.board, c.frameBytes);
    for (int session = 0; session < 3; ++session) {
        ASSERT_EQ(camera.writeReg_8_8(0x46, 3, 0x00), 0u);  // the board starts
        std::this_thread::sleep_for(std::chrono::milliseconds(35 + 10 * session));
        const uint64_t started = LumivexUsb::hostFileTime();
        ASSERT_EQ(camera.beginCapture(), 0u);
        const int frames = takeFrames(c.frameBytes, 4, 200, false, [&](const LumivexOutData* frame) {
            EXPECT_GE(frame->timestamp, started) << "a frame from before the start, session " << session;
        });
        EXPECT_EQ(frames, 4) << "session " << session;
        camera.endCapture();
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, EarlyStreamTest,
                         ::testing::Values(EarlyStreamCase{"pid=0x00F1,frame_bytes=65536,fps=100,date=21/6/6", 65536},
                                           EarlyStreamCase{"pid=0x03F2,frame_bytes=65536,fps=100,date=21/6/6", 65536},
                                           EarlyStreamCase{"pid=0x00F1,frame_bytes=1024,fps=1000,date=21/6/6", 1024}));

struct FailureCase {
    const char* fault;
    bool nextSessionStreams;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.fault; }

class FailureTest : public Streaming, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, FramesBeforeAFailureAreDeliveredAndTheNextSessionStreams) {
    // One frame a transfer; the sixth transfer fails.
    const FailureCase c = GetParam();
    open(std::string("pid=0x00F1,frame_bytes=1024,fps=400,") + c.fault);  // cut at frame ends
    ASSERT_EQ(camera.beginCapture(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint32_t value = 0;
    camera.readReg_8_8(0x46, 0, &value);  // the completions (and the failure) run in this request
    int frames = 0;
    uint32_t result = 0;
    for (int i = 0; i < 20; ++i) {
        result = camera.capture();
        if (result < 1 || result > 254) break;
        LumivexOutData* frame = nullptr;
        while (camera.read(frame) == 0) {
            EXPECT_TRUE(intact(frame, 1024));
            camera.del();
            ++frames;
        }
    }
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(frames, 5);
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
    EXPECT_EQ(camera.endCapture(), 0u);
    if (!c.nextSessionStreams) {
        EXPECT_EQ(camera.beginCapture(), USB_CAMERA_TRANSFER_STOPPED);
        return;
    }
    ASSERT_EQ(camera.beginCapture(), 0u);
    EXPECT_LE(captureFrames(2), 254u);
    EXPECT_GE(camera.available(), 2u);
    EXPECT_NE(busLog().find("clear_halt 0x82"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, FailureTest,
                         ::testing::Values(FailureCase{"error_at=5", true}, FailureCase{"halt_at=5", true},
                                           FailureCase{"disconnect_at=5", false}));

// A submission refused at the start (the first, one in the middle, the
// last): the start fails, nothing stays in flight, and a second start
// streams (before, only the last submission counted, and a failed start
// left the capture marked as begun: the retry did nothing).
TEST_F(Streaming, ARefusedSubmissionFailsTheStartAndTheNextStartStreams) {
    for (const char* fault : {"submit_fail_at=0", "submit_fail_at=17", "submit_fail_at=31"}) {
        SCOPED_TRACE(fault);
        open(std::string("pid=0x00F1,frame_bytes=1024,fps=400,link=short,") + fault);
        EXPECT_EQ(camera.beginCapture(), USB_CAMERA_TRANSFER_STOPPED);
        EXPECT_EQ(camera.capturing(), 0);
        EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 0);
        ASSERT_EQ(camera.beginCapture(), 0u);
        EXPECT_GT(lumivex_vusb_transfers_in_flight(), 0);
        captureFrames(3);
        EXPECT_GE(camera.available(), 3u);
        camera.endCapture();
        camera.close();
    }
}

TEST_F(Streaming, AHaltWhileCaptureWaitsEndsItAndTheNextSessionClearsIt) {
    open("pid=0x00F1,frame_bytes=1024,fps=4,link=short");
    ASSERT_EQ(camera.beginCapture(), 0u);
    captureFrames(1);
    camera.flush();
    std::thread halter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        lumivex_vusb_halt(0);
    });
    uint32_t result = 1;
    for (int i = 0; i < 10 && result >= 1 && result <= 254; ++i) result = camera.capture();
    halter.join();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
    camera.endCapture();
    ASSERT_EQ(camera.beginCapture(), 0u);
    EXPECT_LE(captureFrames(1), 254u);
    EXPECT_EQ(camera.available(), 1u);
}

TEST_F(Streaming, ATimedOutTransferKeepsTheFramesItCarried) {
    // Two JPEG frames a second (their lengths vary, so transfers cannot be
    // cut at frame ends) into 128 KiB transfers: the first transfer times out
    // after 5 s holding about ten whole frames.
    open("pid=0x00F1,frame_bytes=1024,fps=2,content=jpeg", 1024, 0, 3);
    ASSERT_EQ(camera.beginCapture(), 0u);
    uint32_t result = 0;
    for (int i = 0; i < 5 && result != USB_CAMERA_TRANSFER_TIMEOUT; ++i) result = camera.capture();
    EXPECT_EQ(result, USB_CAMERA_TRANSFER_TIMEOUT);
    EXPECT_EQ(camera.available(), 5u);  // the ring's five; the others overwrote its write slot
    LumivexOutData* frame = nullptr;
    while (camera.read(frame) == 0) {
        // The board's JPEG frames end (FF D9) at 7/8 of their 1024 bytes.
        EXPECT_EQ(frame->config.frameLength, 896u);
        EXPECT_TRUE(frame->data[0] == 0xFF && frame->data[1] == 0xD8 && frame->data[894] == 0xFF &&
                    frame->data[895] == 0xD9);
        camera.del();
    }
    EXPECT_NE(busLog().find("-> timed out "), std::string::npos);
}

TEST_F(Streaming, ZeroLengthCompletionsAreSkippedWithoutWaiting) {
    // Each frame fills a 2 KiB transfer exactly, so a zero-length packet ends
    // it; after 20 completions the board falls silent. All ten frames come
    // out before any transfer could time out (5 s after submission).
    open("pid=0x00F1,frame_bytes=1536,fps=400,link=short,timeout_after=20", 1536, 1);
    ASSERT_EQ(camera.beginCapture(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint32_t value = 0;
    camera.readReg_8_8(0x46, 0, &value);
    EXPECT_EQ(takeFrames(1536, 10, 40), 10);
    const std::string log = busLog();
    EXPECT_GE(countOf(log, "-> completed 0\n"), 10);  // the zero-length packets
    EXPECT_EQ(countOf(log, "timed out"), 0);
}

TEST_F(Streaming, ASlowRequestRunsCompletionsAndEndsAtItsTimeOut) {
    // User data reads take 1.5 s on this board: longer than a request's 1 s.
    // One frame a transfer (each is cut at a frame end).
    open("pid=0x00F1,frame_bytes=1024,fps=400,ctrl_delay=1500:0xF7");
    ASSERT_EQ(camera.beginCapture(), 0u);
    lumivex_vusb_clear_log();
    uint8_t serial[16] = {};
    EXPECT_EQ(camera.readUserData(1008, 16, serial), USB_CAMERA_CONTROL_ERROR);
    const std::string log = busLog();
    const size_t timedOut = log.find("bRequest=0xF7");
    ASSERT_NE(timedOut, std::string::npos) << log;
    EXPECT_NE(log.find("-> timed out", timedOut), std::string::npos);
    // The transfers in flight completed inside the request (a few may have
    // done so inside beginCapture's own requests already); their frames
    // come out whole and in order.
    EXPECT_GE(countOf(log.substr(0, timedOut), "-> completed 1536"), 16) << log.substr(0, 2000);
    EXPECT_EQ(takeFrames(1024, 32, 40), 32);
}

TEST_F(Streaming, SetCamCfgNeverFreesAFrameInUse) {
    open("pid=0x00F1,frame_bytes=1024,fps=400,link=short");
    camera.beginCapture();
    captureFrames(1);
    LumivexOutData* frame = nullptr;
    ASSERT_EQ(camera.read(frame), 0u);
    const uint8_t first = frame->data[0];
    LumivexCfg next = cfg;
    auto pending = std::async(std::launch::async, [&] { return camera.setCamCfg(&next); });
    // A read meanwhile finds nothing (the reconfiguration waits), and the
    // frame read before stays lent all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    LumivexOutData* none = nullptr;
    EXPECT_EQ(camera.read(none), USB_CAMERA_NO_FRAME_TO_READ);
    // The frame stays valid until del; setCamCfg gives up after 2 s, changing nothing.
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(pending.get(), USB_CAMERA_CONTROL_ERROR);
    EXPECT_EQ(frame->data[0], first);
    EXPECT_TRUE(intact(frame, 1024));
    EXPECT_EQ(camera.del(), 0u);
    EXPECT_EQ(camera.setCamCfg(&next), 0u);
    camera.endCapture();
}

TEST_F(BusTest, TwoBoardsStreamOnTwoThreadsEachGettingItsOwnFrames) {
    // Both share libusb's default context: one board's completions run on
    // whichever thread handles events, the other's included.
    configureBus("pid=0x00F1,frame_bytes=1024,fps=400,serial=BOARD-A;pid=0x00F1,frame_bytes=3072,fps=300,serial=BOARD-B");
    auto run = [](unsigned index, uint32_t bytes, int* frames) {
        Probe camera;
        LumivexCfg cfg = sensorConfig(2, 0);
        cfg.width = bytes;
        cfg.height = 1;
        cfg.bytesPerPixel = 1;
        if (camera.open(&cfg, index) != 0 || camera.beginCapture() != 0) return;
        {
            RegisterReader reader(camera);
            for (int tries = 0; tries < 500 && *frames < 60; ++tries) {
                const uint32_t result = camera.capture();
                if (result > 254) ADD_FAILURE() << "board " << index << " result " << std::hex << result;
                LumivexOutData* frame = nullptr;
                while (camera.read(frame) == 0) {
                    EXPECT_TRUE(intact(frame, bytes)) << "board " << index;
                    camera.del();
                    ++*frames;
                }
            }
        }
        camera.endCapture();
        camera.close();
    };
    int framesA = 0, framesB = 0;
    std::thread a(run, 0u, 1024u, &framesA);
    std::thread b(run, 1u, 3072u, &framesB);
    a.join();
    b.join();
    EXPECT_EQ(framesA, 60);
    EXPECT_EQ(framesB, 60);
}

struct SingleFrameCase {
    const char* board;
    int mode;
    // Trigger mode: the transfers carry the caller's time-out too; whichever
    // ends the wait first decides the result.
    uint32_t result, alsoAccepted;
};

void PrintTo(const SingleFrameCase& c, std::ostream* os) { *os << "mode " << c.mode; }

class SingleFrameTimeOut : public Streaming, public ::testing::WithParamInterface<SingleFrameCase> {};

TEST_P(SingleFrameTimeOut, AQuietBoardReturnsNearTheTimeOutNotTheTransferTimeOut) {
    open(GetParam().board);
    if (GetParam().mode == 1) {
        ASSERT_EQ(camera.setMode(1), 0u);
    }
    LumivexOutData* frame = nullptr;
    auto pending = std::async(std::launch::async, [&] { return camera.getSingleFrame(frame, 100); });
    // A bound, not a speed measurement: well short of the 5 s transfer time-out.
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    const uint32_t result = pending.get();
    EXPECT_TRUE(result == GetParam().result || result == GetParam().alsoAccepted) << std::hex << result;
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 0);
    if (GetParam().mode == 1) camera.setMode(0);
}

INSTANTIATE_TEST_SUITE_P(Modes, SingleFrameTimeOut,
                         ::testing::Values(SingleFrameCase{"pid=0x00F1,stall", 0, USB_CAMERA_NO_FRAME_TO_READ,
                                                           USB_CAMERA_NO_FRAME_TO_READ},
                                           SingleFrameCase{"vid=0x52CB,pid=0x52CB,ctrl=0x30,date=21/6/6,timeout_after=0",
                                                           1, USB_CAMERA_TRANSFER_TIMEOUT, USB_CAMERA_NO_FRAME_TO_READ}));

// In trigger mode each call's time-out holds, not the first call's: the
// armed transfers are resubmitted with the time-out of the call at hand.
TEST_F(Streaming, EachSingleFrameCallKeepsItsOwnTimeOut) {
    open("vid=0x52CB,pid=0x52CB,ctrl=0x30,date=21/6/6,timeout_after=0");
    ASSERT_EQ(camera.setMode(1), 0u);
    LumivexOutData* frame = nullptr;
    EXPECT_NE(camera.getSingleFrame(frame, 50), 0u);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_NE(camera.getSingleFrame(frame, 600), 0u);
    // A lower bound only (a loaded machine makes it longer, never shorter):
    // the 50 ms of the first call no longer ends the second.
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(500));
    EXPECT_EQ(frame, nullptr);
    camera.setMode(0);
}

TEST_F(Streaming, SequenceGapsAreReportedAndTheFrameKept) {
    open("pid=0x00F1,gap_at=2,link=short");
    camera.beginCapture();
    std::vector<uint32_t> results;
    for (int i = 0; i < 4; ++i) {
        results.push_back(captureFrames(uint32_t(i + 1)));
    }
    EXPECT_EQ(results[2], USB_CAMERA_SEQUENCE_GAP);
    EXPECT_EQ(camera.available(), 4u);
}

TEST_F(Streaming, SpecialAndShortFramesFromTheBoard) {
    open("pid=0x00F1,special_at=1,short_at=2,link=short");
    camera.beginCapture();
    EXPECT_EQ(captureFrames(1), 1u);
    EXPECT_EQ(captureFrames(2), 1u);
    LumivexOutData* frame = nullptr;
    camera.read(frame);
    camera.del();
    camera.read(frame);
    EXPECT_EQ(frame->config.format, 8u);
    ::testing::internal::CaptureStdout();
    uint32_t result = 0;
    for (int i = 0; i < 50 && result != USB_CAMERA_DATA_LEN_ERROR; ++i) result = camera.capture();
    EXPECT_EQ(result, USB_CAMERA_DATA_LEN_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "USB_CAMERA_DATA_LEN_ERROR\tRECEIVE_LENGTH:924\n");
}

TEST_F(Streaming, ATransferTimeOutSurfacesOnceAndCaptureGoesOn) {
    open("pid=0x00F1,timeout_after=40,fps=400");
    camera.beginCapture();
    // 40 transfers carry frames; then the board falls silent and the first
    // of the rest times out after its 5 s.
    uint32_t result = 0;
    int frames = 0;
    while ((result = camera.capture()) != USB_CAMERA_TRANSFER_TIMEOUT) {
        ASSERT_LT(result, 0xFFu) << std::hex << result;
        frames += int(result);
        camera.flush();
    }
    EXPECT_GT(frames, 5);
    // Every remaining record is a time-out too, each reported once.
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_TIMEOUT);
    EXPECT_EQ(camera.endCapture(), 0u);
}

TEST_F(Streaming, ADisconnectStopsTheCaptureAndLaterCapturesReportIt) {
    open("pid=0x00F1,disconnect_at=5");  // one frame a transfer
    camera.beginCapture();
    // Frames before the disconnect are delivered; then capture reports it.
    uint32_t result = 1;
    int frames = 0;
    for (int i = 0; i < 20 && result >= 1 && result <= 254; ++i) {
        result = camera.capture();
        if (result <= 254) frames += int(result);
    }
    EXPECT_EQ(frames, 5);
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
    EXPECT_EQ(camera.endCapture(), 0u);  // nothing left in flight
}

TEST_F(Streaming, ABoardPulledWhileCaptureWaitsEndsThatCaptureWithZero) {
    open("pid=0x00F1,stall");
    camera.beginCapture();
    std::thread puller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        lumivex_vusb_disconnect(0);
    });
    EXPECT_EQ(camera.capture(), 0u);
    puller.join();
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
    EXPECT_EQ(camera.endCapture(), 0u);
}

TEST_F(Streaming, CloseWhileStreamingEndsTheCaptureFirst) {
    open("pid=0x00F1");
    camera.beginCapture();
    captureFrames(2);
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 32);
    EXPECT_EQ(camera.close(), 0u);
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 0);
    EXPECT_EQ(lumivex_vusb_transfers_allocated(), 0);
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
}

TEST_F(Streaming, ShotStartsStreamingCapturesOnceAndLeavesItStopped) {
    open("pid=0x00F1");
    EXPECT_EQ(camera.stopped(), 1);
    const uint32_t result = camera.shot();
    EXPECT_GE(result, 1u);
    EXPECT_LE(result, 254u);
    EXPECT_EQ(camera.capturing(), 1);
    EXPECT_EQ(camera.stopped(), 1);
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
    const uint32_t again = Lumivex_shot(&camera);  // the flat function reaches the same operation
    EXPECT_GE(again, 1u);
    EXPECT_LE(again, 254u);
    EXPECT_EQ(camera.stopped(), 1);
}

TEST_F(Streaming, ClockSynchronisationAtMostOncePerSecondUnlessForced) {
    open("pid=0x00F1");
    camera.syncTimer(false);
    camera.syncTimer(false);
    EXPECT_EQ(countOf(busLog(), "bRequest=0xB0"), 0);  // open synchronised just now
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    camera.syncTimer(false);
    camera.syncTimer(false);
    EXPECT_EQ(countOf(busLog(), "bRequest=0xB0"), 1);
    EXPECT_EQ(countOf(busLog(), "bRequest=0xB1"), 1);
    camera.syncTimer(true);
    EXPECT_EQ(countOf(busLog(), "bRequest=0xB0"), 2);
}

TEST_F(Streaming, DeviceTimestampsFollowTheSynchronisedClock) {
    open("pid=0x00F1,fw=0x0314,date=21/6/6,link=short");
    camera.beginCapture();
    captureFrames(1);
    LumivexOutData* frame = nullptr;
    ASSERT_EQ(camera.read(frame), 0u);
    const uint64_t host = uint64_t(LumivexUsb::ticksNow()) + 116444736000000000ull;
    EXPECT_GT(frame->timestamp, host - 20000000ull);  // the board clock was set to the host's
    EXPECT_LE(frame->timestamp, host);
}

// The clock that stamps the frames, read on request: a frame stamped after
// the reading was begun after it, whatever the clock's epoch or drift.
// Boards whose frames carry no board time say so.
TEST_F(Streaming, TheFrameClockIsReadWhereTheBoardStampsFrames) {
    struct Case {
        const char* board;
        uint32_t result;
    } cases[] = {{"pid=0x00F1,fw=0x0314,date=21/6/6,link=short", 0},
                 {"pid=0x00F1,fw=0x0314,date=21/6/6,link=short,clock_skew=-3600000", 0},  // another epoch
                 {"pid=0x00F1,fw=0x0313,link=short", USB_CAMERA_NOT_SUPPORTED},           // no device clock
                 {"pid=0x03F1,speed=super", USB_CAMERA_NOT_SUPPORTED}};                    // chunk stream
    for (const Case& c : cases) {
        SCOPED_TRACE(c.board);
        open(c.board);
        uint64_t before = 0;
        ASSERT_EQ(Lumivex_readFrameClock(&camera, &before), c.result);
        EXPECT_EQ(Lumivex_readFrameClock(&camera, nullptr), USB_CAMERA_PARAMETER_ERROR);
        if (c.result != 0) {
            camera.close();
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        camera.beginCapture();
        captureFrames(1);
        LumivexOutData* frame = nullptr;
        ASSERT_EQ(camera.read(frame), 0u);
        EXPECT_GT(frame->timestamp, before);
        uint64_t after = 0;
        ASSERT_EQ(Lumivex_readFrameClock(&camera, &after), 0u);
        EXPECT_LE(frame->timestamp, after);
        camera.del();
        camera.endCapture();
        camera.close();
    }
    EXPECT_EQ(Lumivex_readFrameClock(nullptr, nullptr), USB_CAMERA_PARAMETER_ERROR);
}

TEST_F(Streaming, SingleFrameModeNeedsAControllerThatSupportsIt) {
    open("pid=0x00F1");
    EXPECT_EQ(camera.setMode(1), USB_CAMERA_NOT_SUPPORTED);
    EXPECT_EQ(camera.triggerMode, 1u);
    EXPECT_EQ(camera.softTrigger(), USB_CAMERA_NOT_SUPPORTED);
    EXPECT_EQ(camera.isFrameReady(), USB_CAMERA_NOT_SUPPORTED);
    EXPECT_EQ(camera.setMode(0), 0u);
    EXPECT_EQ(camera.triggerMode, 0u);
}

TEST_F(Streaming, TriggeredFramesComeOnePerRequest) {
    open("vid=0x52CB,pid=0x52CB,ctrl=0x30,date=21/6/6,fps=100");
    ASSERT_EQ(camera.setMode(1), 0u);
    EXPECT_NE(busLog().find("wIndex=0x0800 wLength=1 data=[81]"), std::string::npos);
    for (int i = 0; i < 3; ++i) {
        LumivexOutData* frame = nullptr;
        ASSERT_EQ(camera.getSingleFrame(frame, 1000), 0u) << i;
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->config.frameLength, 1024u);
        camera.del();
    }
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 0);
    // A triggered frame is whole packets too: the transfer that carried it
    // ended with it, not at its time-out.
    EXPECT_EQ(countOf(busLog(), "bulk 0x82 length=1536 -> completed 1536\n"), 3);
    EXPECT_EQ(countOf(busLog(), "timed out"), 0);
    EXPECT_EQ(camera.softTrigger(), 0u);
    EXPECT_NE(busLog().find("wIndex=0x0300 wLength=1 data=[60]"), std::string::npos);
}

TEST_F(Streaming, ContinuousSingleFrameWaitsInWallClockTime) {
    open("pid=0x00F1,stall");
    LumivexOutData* frame = nullptr;
    auto pending = std::async(std::launch::async, [&] { return camera.getSingleFrame(frame, 200); });
    // Bounded by the time-out and one transfer time-out (5 s), not by CPU time.
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(pending.get(), USB_CAMERA_NO_FRAME_TO_READ);
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(camera.triggerMode, 0u);
}

TEST_F(Streaming, ContinuousSingleFrameTakesTheFirstFrame) {
    open("pid=0x00F1");
    LumivexOutData* frame = nullptr;
    EXPECT_EQ(camera.getSingleFrame(frame, 2000), 0u);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->config.frameLength, 1024u);
    EXPECT_EQ(lumivex_vusb_transfers_in_flight(), 0);
}

TEST_F(Streaming, SetCamCfgWhileCapturingAndReadingOnAnotherThread) {
    // The reader reads every frame whole and releases it; reconfigurations
    // on this thread wait for it and never free a frame under it (ASan and
    // TSan watch the buffers and the ring).
    open("pid=0x00F1,frame_bytes=1024,fps=500,link=short");
    camera.beginCapture();
    std::atomic<bool> done{false};
    std::atomic<int> frames{0};
    std::thread reader([&] {
        while (!done.load()) {
            camera.capture();
            LumivexOutData* frame = nullptr;
            while (camera.read(frame) == 0) {
                EXPECT_TRUE(intact(frame, 1024));
                camera.del();
                ++frames;
            }
        }
    });
    for (int i = 0; i < 20; ++i) {
        LumivexCfg next = cfg;
        EXPECT_EQ(camera.setCamCfg(&next), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done.store(true);
    reader.join();
    EXPECT_GT(frames.load(), 0);
    camera.endCapture();
}

}  // namespace

namespace {

TEST_F(Streaming, JpegChunkFramesFromTheBoardAreTrimmedAndMissingMarkersReported) {
    open("pid=0x03F1,speed=super,content=jpeg,frame_bytes=4000,fps=100,no_jpeg_start_at=3", 4000, 0, 3);
    camera.beginCapture();
    uint32_t result = 0;
    int frames = 0, jpegErrors = 0;
    for (int i = 0; i < 400 && (frames < 4 || jpegErrors == 0); ++i) {  // bounded, not timed
        result = camera.capture();
        jpegErrors += result == USB_CAMERA_JPEG_ERROR;
        LumivexOutData* frame = nullptr;
        while (camera.read(frame) == 0) {
            if (frames++ == 0) {  // the first frame's ID equals the initial one: no start search
                camera.del();
                continue;
            }
            // The board's JPEG: 4 bytes of padding, FF D8 ... FF D9 at 3500, zeros after.
            EXPECT_EQ(frame->data[0], 0xFF);
            EXPECT_EQ(frame->data[1], 0xD8);
            EXPECT_EQ(frame->config.frameLength, 3496u);
            EXPECT_EQ(frame->data[3494], 0xFF);
            EXPECT_EQ(frame->data[3495], 0xD9);
            camera.del();
        }
    }
    EXPECT_GE(frames, 4);
    EXPECT_EQ(jpegErrors, 1);  // frame 3 has no start marker
}

TEST_F(Streaming, ATransferErrorStopsTheCapture) {
    open("pid=0x00F1,error_at=3,link=short");
    camera.beginCapture();
    uint32_t result = 1;
    for (int i = 0; i < 20 && result >= 1 && result <= 254; ++i) result = camera.capture();
    EXPECT_EQ(camera.capture(), USB_CAMERA_TRANSFER_STOPPED);
    EXPECT_EQ(camera.endCapture(), 0u);
}

}  // namespace
