// One virtual camera board as the host sees it over USB: its descriptors,
// vendor requests, the board controller and sensor registers behind the I2C
// bridge, the user data area, the board clock, and its bulk IN stream.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "replay_source.h"
#include "scene_renderer.h"

namespace LumivexSim {

struct BoardConfig {
    uint16_t vendorId = 0x04B4;
    uint16_t productId = 0x00F1;
    uint16_t bcdDevice = 0x0020;
    int speed = 3;                    // libusb speed: 2 full, 3 high, 4 super
    uint16_t firmware = 0x0314;       // request 0x80: major in the high byte
    bool controller = true;           // the board controller at I2C 0x46
    uint8_t controllerVersion = 0x30;
    uint8_t date[3] = {21, 6, 6};     // registers 5, 6, 7: 21 * 1000 + 6 * 100 + 6 = 21606
    std::string serial = "VIRT-0000-0001";
    uint8_t i2cStatus = 0;            // status byte of register reads
    // Stream.
    std::string stream;               // marker | chunk (default: by product id)
    uint32_t frameBytes = 1024;       // bytes of each frame's image
    std::string content = "pattern"; // pattern | jpeg
    double fps = 200;
    bool shortTransfers = false;      // transfers end at each frame end (a short packet)
    // The depth camera: four phase sub-frames per depth frame, 0.5 ms apart,
    // rendered from the scene at the range its sensor registers select.
    bool depthCamera = false;
    std::string scene = "default";
    LensModel lens = defaultLens();   // the ray-cast scenes' lens
    uint32_t noiseSeed = 0;           // seeded noise on every sample (0: none)
    bool moving = false;              // the scene moves from frame to frame
    std::vector<uint64_t> stamps;     // device time stamps of the first frames after each stream start
    int64_t clockSkewTicks = 0;       // the board clock runs this far ahead of the time it was set to
    // A USB recording the depth camera replays instead of the scene.
    std::string replayPath;
    bool replayFast = false, replayLoop = false;
    std::shared_ptr<ReplaySource> replay;  // opened as the settings are read
    uint16_t sequenceStart = 0;
    // Bytes the board has handed to its USB controller: a stop or capture
    // reset cannot take them back, the host gets them when it next reads.
    size_t pipelineBytes = 16384;       // the frame counter's first value (it keeps running across sessions)
    // Faults.
    bool descriptorFail = false, openFail = false, stall = false;
    bool busy = false;                // another program holds interface 0
    int controlDelayMs = 0;           // vendor requests take this long to answer
    int controlDelayRequest = -1;     // only this bRequest (-1: every one)
    long haltAt = -1;                 // the transfer (counting from 0) at which the board halts bulk IN
    long submitFailAt = -1;           // the submission (counting from 0) the host controller refuses
    long replugAfterMs = -1;          // a board that left the bus comes back (a new device) this much later
    int controlError = -1;            // bRequest that fails (-2: every vendor request)
    long timeoutAfter = -1;           // transfers after which the stream stalls
    long errorAt = -1, disconnectAt = -1;  // the transfer (counting from 0) that fails / disconnects
    long gapAt = -1, shortAt = -1, specialAt = -1;  // the frame (counting from 0) that shows the fault
    long dropPacketAt = -1;           // the frame that loses one data packet on the wire
    long noJpegStartAt = -1, noJpegEndAt = -1;
};

class Board {
public:
    explicit Board(const BoardConfig& config);

    const BoardConfig& config() const { return cfg; }
    bool disconnected() const { return gone.load(); }
    void disconnect() {
        goneSince.store(std::chrono::steady_clock::now().time_since_epoch().count());
        gone.store(true);
    }
    // Gone, and due back on the bus (replug_after).
    bool dueBack() const {
        if (!gone.load() || cfg.replugAfterMs < 0) return false;
        const auto since = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(goneSince.load()));
        return std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(cfg.replugAfterMs);
    }
    // Bulk IN halted (a stall): every transfer fails until the host clears it.
    bool halted() const { return haltedIn.load(); }
    void halt() { haltedIn.store(true); }
    void clearHalt() { haltedIn.store(false); }
    // The next bulk transfer fails (LIBUSB_TRANSFER_ERROR): electrical noise.
    void injectError() { errorInjected.store(true); }
    bool takeInjectedError() { return errorInjected.exchange(false); }
    // Whether the host controller refuses this submission (out of memory
    // for it, as usbfs can be): true once, at the configured one.
    bool refusesSubmission() { return submissions++ == cfg.submitFailAt; }
    // How often the stream has (re)started, and a stop with the board's queue
    // emptied (as request 0xA2 does): for a front-end that halts the stream.
    long streamStarts() const { return starts; }
    void stopStream();
    // A zero-length packet waits: the last frame ended exactly where a full
    // transfer did, on a link that ends transfers at frame ends.
    bool takeZeroLengthPacket() {
        const bool due = zeroLengthPacket;
        zeroLengthPacket = false;
        return due;
    }
    bool usesChunkStream() const;
    uint16_t bcdUsb() const { return cfg.speed >= 4 ? 0x0300 : 0x0200; }

    // The 18-byte device descriptor and the configuration descriptor.
    std::vector<uint8_t> deviceDescriptor() const;
    std::vector<uint8_t> configDescriptor() const;
    std::string stringDescriptor(uint8_t index) const;

    // A control transfer: the number of bytes moved, or a negative libusb error.
    int control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                uint16_t length);

    // The stream: bytes that a bulk IN transfer of `length` bytes can take
    // now (0: it must wait), given the frames due by `now`.
    size_t bulkReady(size_t length, std::chrono::steady_clock::time_point now);
    // What a transfer of `length` bytes holds when it times out: whatever
    // the board has sent by then.
    size_t bulkPartial(size_t length) const { return fifo.size() < length ? fifo.size() : length; }
    void bulkTake(uint8_t* data, size_t count, size_t length);
    std::chrono::steady_clock::time_point nextFrameDue() const { return nextDue; }
    bool streaming() const { return running && !cfg.stall; }
    long transfersCompleted = 0;

    // The registers of the device at I2C `address` (0x46: the controller).
    std::map<uint32_t, uint32_t>& registers(uint32_t address) { return i2c[address]; }
    uint8_t userData[1024] = {};

private:
    int vendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                      uint16_t length);
    int standardRequest(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
    void writeRegister(uint32_t address, uint32_t reg, uint32_t value);
    uint32_t readRegister(uint32_t address, uint32_t reg);
    void controllerWrite(uint32_t reg, uint32_t value);
    void startStream();
    void produceFrame(bool endsTransfer, std::chrono::steady_clock::time_point due);
    std::vector<uint8_t> frameImage(long frame);
    void advanceSchedule();
    int depthRange();
    // Replay: the next recorded frame at the range in force, and when it is due.
    void fetchReplayFrame(std::chrono::steady_clock::time_point now);
    void produceReplay(std::chrono::steady_clock::time_point now);
    uint64_t boardClock(std::chrono::steady_clock::time_point at) const;

    BoardConfig cfg;
    std::atomic<bool> gone{false};  // may be pulled from another thread
    std::atomic<std::chrono::steady_clock::rep> goneSince{0};
    std::atomic<bool> haltedIn{false};
    std::atomic<long> submissions{0};
    std::atomic<bool> errorInjected{false};
    bool zeroLengthPacket = false;
    std::map<uint32_t, std::map<uint32_t, uint32_t>> i2c;
    // Clock: ticks at the last synchronisation and when it happened.
    uint64_t clockBase = 0;
    std::chrono::steady_clock::time_point clockSet;
    // Stream state.
    bool running = false;
    bool singleMode = false;
    int releases = 0;                // frames the host released in single-frame mode
    std::chrono::steady_clock::time_point nextDue;
    std::chrono::steady_clock::time_point frameStart;  // the current frame's first sub-frame
    int subFrame = 0;                                  // of the depth camera's four
    Scene depthScene;
    PhaseImages phases;
    int phasesRange = 0;
    long phasesFrame = -1;
    long depthFrames = 0;            // depth frames rendered
    int groupRange = 4;              // the range of the frame being sent
    long framesMade = 0;
    long framesSinceStart = 0;
    long starts = 0;       // since the stream last started (the scripted stamps count from there)
    uint16_t sequence = 0;
    uint8_t frameId = 0;
    const LumivexRecording::Frame* replayed = nullptr;  // the recorded frame being sent
    bool replayEnded = false;
    std::chrono::steady_clock::time_point replayStart, previousFrameStart;
    std::deque<uint8_t> fifo;        // bytes the board holds for the host
    // Fifo positions (absolute) where frames end, and whether the board ends
    // the transfer there (with a short packet: only on a link that sends them).
    std::deque<std::pair<uint64_t, bool>> frameEnds;
    uint64_t fifoStart = 0;          // absolute position of fifo.front()
};

}  // namespace LumivexSim
