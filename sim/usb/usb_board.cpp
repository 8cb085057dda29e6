#include "usb_board.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstring>

namespace LumivexSim {

namespace {
using Clock = std::chrono::steady_clock;
constexpr uint32_t kController = 0x46;
constexpr size_t kPacket = 512;
constexpr size_t kChunk = 16384;
constexpr size_t kChunkHeader = 16;
constexpr size_t kBoardMemory = 8u << 20;  // a board holding more drops frames
constexpr uint16_t kUserDataBase = 0x1C00;

void putLittle64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
}  // namespace

Board::Board(const BoardConfig& config)
    : cfg(config), clockSet(Clock::now()), nextDue(Clock::now()), frameStart(Clock::now()),
      sequence(config.sequenceStart) {
    if (cfg.depthCamera) depthScene = makeScene(cfg.scene, cfg.lens);
    auto& controller = i2c[kController];
    controller[0] = cfg.controllerVersion;
    controller[5] = cfg.date[0];
    controller[6] = cfg.date[1];
    controller[7] = cfg.date[2];
    controller[9] = 0;
    const size_t n = std::min<size_t>(cfg.serial.size(), 16);
    std::memcpy(userData + 1008, cfg.serial.data(), n);
}

void Board::fetchReplayFrame(Clock::time_point now) {
    uint64_t dueTicks = 0;
    replayed = cfg.replay->take(depthRange(), dueTicks);
    subFrame = 0;
    if (replayed == nullptr) {
        // The sensor falls silent: for good once the recording has ended,
        // until the range changes while it holds no frames of this one.
        replayEnded = cfg.replay->has(depthRange());
        return;
    }
    constexpr auto kFastFrame = std::chrono::microseconds(ReplaySource::kFastFrameMicros);
    frameStart = cfg.replayFast ? std::max(now, previousFrameStart + kFastFrame)
                                : replayStart + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::nanoseconds(dueTicks * 100));
    nextDue = frameStart;
}

void Board::produceReplay(Clock::time_point now) {
    if (replayEnded) return;
    if (replayed == nullptr) {  // waiting for a range the recording holds
        fetchReplayFrame(now);
        if (replayed == nullptr) return;
    }
    if (!cfg.replayFast && now - nextDue > std::chrono::seconds(1)) {
        // A long pause: the recording goes on from here, no backlog of old frames.
        const auto lag = now - nextDue;
        replayStart += lag;
        frameStart += lag;
        nextDue += lag;
    }
    constexpr size_t kFastBacklog = 4 * ReplaySource::kSubFrameBytes;  // a frame waiting for the host
    while (replayed != nullptr && nextDue <= now) {
        // The sensor takes a new range as a frame begins.
        if (subFrame == 0 && replayed->range != depthRange()) {
            fetchReplayFrame(now);
            continue;
        }
        if (cfg.replayFast && fifo.size() >= kFastBacklog) break;
        produceFrame(false, nextDue);
        if (++subFrame == int(ReplaySource::kSubFrames)) {
            previousFrameStart = frameStart;
            fetchReplayFrame(now);
        } else {
            nextDue = frameStart + std::chrono::microseconds(500) * subFrame;
        }
    }
}

bool Board::usesChunkStream() const {
    if (cfg.stream == "chunk") return true;
    if (cfg.stream == "marker") return false;
    return cfg.productId == 0x03F1;  // 0x03F2 streams markers even on USB 3
}

std::vector<uint8_t> Board::deviceDescriptor() const {
    const uint8_t maxPacket0 = cfg.speed >= 4 ? 9 : 64;
    return {18, 1, uint8_t(bcdUsb()), uint8_t(bcdUsb() >> 8), 0xFF, 0xFF, 0xFF, maxPacket0,
            uint8_t(cfg.vendorId), uint8_t(cfg.vendorId >> 8), uint8_t(cfg.productId), uint8_t(cfg.productId >> 8),
            uint8_t(cfg.bcdDevice), uint8_t(cfg.bcdDevice >> 8), 1, 2, 3, 1};
}

std::vector<uint8_t> Board::configDescriptor() const {
    const uint16_t maxPacket = cfg.speed >= 4 ? 1024 : cfg.speed == 3 ? 512 : 64;
    std::vector<uint8_t> d = {9, 2, 32, 0, 1, 1, 0, 0x80, 250,          // configuration
                              9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0,         // interface 0
                              7, 5, 0x82, 2, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 0,  // bulk IN 2
                              7, 5, 0x01, 2, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 0}; // bulk OUT 1
    return d;
}

std::string Board::stringDescriptor(uint8_t index) const {
    switch (index) {
        case 1: return "Lumivex";
        case 2: return "Lumivex USB camera board (virtual)";
        case 3: return cfg.serial;
        default: return "";
    }
}

int Board::control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                   uint16_t length) {
    if (gone) return LIBUSB_ERROR_NO_DEVICE;
    const uint8_t kind = requestType & 0x60;
    if (kind == 0x00) return standardRequest(request, value, index, data, length);
    if (kind == 0x40) return vendorRequest(requestType, request, value, index, data, length);
    return LIBUSB_ERROR_PIPE;
}

int Board::standardRequest(uint8_t request, uint16_t value, uint16_t, uint8_t* data, uint16_t length) {
    std::vector<uint8_t> answer;
    if (request == LIBUSB_REQUEST_GET_STATUS) {
        answer = {0, 0};
    } else if (request == LIBUSB_REQUEST_GET_DESCRIPTOR) {
        const uint8_t type = uint8_t(value >> 8), which = uint8_t(value);
        if (type == LIBUSB_DT_DEVICE) {
            answer = deviceDescriptor();
        } else if (type == LIBUSB_DT_CONFIG && which == 0) {
            answer = configDescriptor();
        } else if (type == LIBUSB_DT_STRING) {
            if (which == 0) {
                answer = {4, 3, 0x09, 0x04};
            } else {
                const std::string text = stringDescriptor(which);
                if (text.empty()) return LIBUSB_ERROR_PIPE;
                answer = {uint8_t(2 + 2 * text.size()), 3};
                for (char c : text) answer.insert(answer.end(), {uint8_t(c), 0});
            }
        } else if (type == 6 && cfg.speed == 3) {  // device qualifier of a high-speed device
            answer = {10, 6, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 1, 0};
        } else {
            return LIBUSB_ERROR_PIPE;
        }
    } else {
        return LIBUSB_ERROR_PIPE;
    }
    const size_t n = std::min<size_t>(answer.size(), length);
    if (n > 0) std::memcpy(data, answer.data(), n);
    return int(n);
}

uint32_t Board::readRegister(uint32_t address, uint32_t reg) {
    if (address == kController && !cfg.controller) return 0xFF;  // nothing answers
    auto& map = i2c[address];
    auto found = map.find(reg);
    return found == map.end() ? 0 : found->second;
}

void Board::writeRegister(uint32_t address, uint32_t reg, uint32_t value) {
    if (address == kController) {
        if (!cfg.controller) return;
        controllerWrite(reg, value);
    }
    i2c[address][reg] = value;
}

void Board::controllerWrite(uint32_t reg, uint32_t value) {
    if (reg == 3) {
        if (value == 0xC0) {  // capture reset: the stream stops
            stopStream();
        } else if (value == 0x00) {
            startStream();
        } else if (value == 0x60 && singleMode) {
            ++releases;  // soft trigger
        }
        if (value == 0xC0) releases = 0;
    } else if (reg == 8) {
        if (value == 0x81) {
            singleMode = true;
            i2c[kController][9] = 0;  // image flag cleared
        } else if (value == 0x00) {
            if (singleMode) ++releases;
            singleMode = false;
        }
    }
}

void Board::startStream() {
    if (running) return;
    running = true;
    ++starts;
    framesSinceStart = 0;
    nextDue = frameStart = Clock::now();
    subFrame = 0;
    if (cfg.replay) {  // each stream replays the recording from its start
        cfg.replay->rewind();
        replayEnded = false;
        replayStart = frameStart;
        previousFrameStart = frameStart - std::chrono::seconds(1);
        fetchReplayFrame(frameStart);
    }
}

void Board::stopStream() {
    running = false;
    // The board's queue is emptied, but the bytes already handed to its USB
    // controller still go out when the host next reads: the start of the
    // queue, cut wherever it ends.
    const size_t keep = std::min(fifo.size(), cfg.pipelineBytes);
    fifo.erase(fifo.begin() + long(keep), fifo.end());
    while (!frameEnds.empty() && frameEnds.back().first > fifoStart + keep) frameEnds.pop_back();
}

uint64_t Board::boardClock(Clock::time_point at) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(at - clockSet).count();
    return clockBase + uint64_t(elapsed / 100) + uint64_t(cfg.clockSkewTicks);
}

int Board::depthRange() {
    // The range register sets write 0x08 (2 m) or 0x10 (4 m) to 0x216C.
    auto& sensor = i2c[0x34];
    auto found = sensor.find(0x216C);
    return found != sensor.end() && found->second == 0x08 ? 2 : 4;
}

void Board::advanceSchedule() {
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / cfg.fps));
    if (!cfg.depthCamera) {
        nextDue += period;
        return;
    }
    if (++subFrame == 4) {
        subFrame = 0;
        frameStart += period;
    }
    nextDue = frameStart + std::chrono::microseconds(500) * subFrame;
}

int Board::vendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                         uint16_t length) {
    if (cfg.controlError == -2 || cfg.controlError == request) return LIBUSB_ERROR_PIPE;
    const bool in = requestType & 0x80;
    const uint32_t address = value >> 8;
    auto need = [&](uint16_t n) { return length >= n; };
    switch (request) {
        case 0x80:
            if (!in || !need(2)) return LIBUSB_ERROR_PIPE;
            data[0] = uint8_t(cfg.firmware >> 8);
            data[1] = uint8_t(cfg.firmware);
            return length;
        case 0xA1: startStream(); return length;
        case 0xA2:
            stopStream();
            return length;
        case 0xB0:
            if (!in) return LIBUSB_ERROR_PIPE;
            std::memset(data, 0, length);
            if (need(8)) putLittle64(data, boardClock(Clock::now()));
            return length;
        case 0xB1:
            if (in || !need(16)) return LIBUSB_ERROR_PIPE;
            clockBase = 0;
            for (int i = 7; i >= 0; --i) clockBase = clockBase << 8 | data[8 + i];
            clockSet = Clock::now();
            return length;
        case 0xD7:
            if (in || !need(1)) return LIBUSB_ERROR_PIPE;
            writeRegister(address, index >> 8, data[0]);
            return length;
        case 0xD6: {
            if (!in || !need(2)) return LIBUSB_ERROR_PIPE;
            data[0] = uint8_t(readRegister(address, index >> 8));
            data[1] = cfg.i2cStatus;
            return length;
        }
        case 0xD5:
            if (in || !need(2)) return LIBUSB_ERROR_PIPE;
            writeRegister(address, index >> 8, uint32_t(data[0]) << 8 | data[1]);
            return length;
        case 0xD4: {
            if (!in || !need(3)) return LIBUSB_ERROR_PIPE;
            const uint32_t v = readRegister(address, index >> 8);
            data[0] = uint8_t(v >> 8);
            data[1] = uint8_t(v);
            data[2] = cfg.i2cStatus;
            return length;
        }
        case 0xE0:
            if (in || !need(1)) return LIBUSB_ERROR_PIPE;
            writeRegister(address, index, data[0]);
            return length;
        case 0xDF:
            if (!in || !need(2)) return LIBUSB_ERROR_PIPE;
            data[0] = uint8_t(readRegister(address, index));
            data[1] = cfg.i2cStatus;
            return length;
        case 0xE1:
            if (in || !need(1)) return LIBUSB_ERROR_PIPE;
            writeRegister(address, index, length >= 2 ? uint32_t(data[0]) << 8 | data[1] : data[0]);
            return length;
        case 0xE2: {
            if (!in || !need(2)) return LIBUSB_ERROR_PIPE;
            const uint32_t v = readRegister(address, index);
            data[0] = uint8_t(v >> 8);
            data[1] = uint8_t(v);
            if (length >= 3) data[2] = cfg.i2cStatus;
            return length;
        }
        case 0xE5:
            if (in || !need(4)) return LIBUSB_ERROR_PIPE;
            writeRegister(address, index,
                          uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3]);
            return length;
        case 0xE6: {
            if (!in || !need(5)) return LIBUSB_ERROR_PIPE;
            const uint32_t v = readRegister(address, index);
            for (int i = 0; i < 4; ++i) data[i] = uint8_t(v >> (24 - 8 * i));
            data[4] = cfg.i2cStatus;
            return length;
        }
        case 0xF7:
        case 0xF8: {
            const uint32_t at = uint32_t(value) - kUserDataBase;
            const uint32_t n = index >> 8;
            if (value < kUserDataBase || at + n > sizeof userData || n > 32 || length < n) return LIBUSB_ERROR_PIPE;
            if (request == 0xF7) {
                if (!in) return LIBUSB_ERROR_PIPE;
                std::memcpy(data, userData + at, n);
            } else {
                if (in) return LIBUSB_ERROR_PIPE;
                std::memcpy(userData + at, data, n);
            }
            return length;
        }
        case 0xF3:
        case 0xF6:
        case 0xF9:
            return length;  // board set-up requests: accepted
        default:
            return LIBUSB_ERROR_PIPE;
    }
}

std::vector<uint8_t> Board::frameImage(long frame) {
    if (cfg.replay) {
        // A triggered frame outside a stream takes the recording's next frame too.
        if (replayed == nullptr && !replayEnded) fetchReplayFrame(Clock::now());
        if (replayed == nullptr) return std::vector<uint8_t>(ReplaySource::kSubFrameBytes, 0);  // it has ended
        const uint8_t* recorded = replayed->data.data() + size_t(subFrame) * ReplaySource::kSubFrameBytes;
        return std::vector<uint8_t>(recorded, recorded + ReplaySource::kSubFrameBytes);
    }
    if (cfg.depthCamera) {
        // The sensor takes new range registers at the start of a frame: the
        // four sub-frames of one frame share one range.
        if (subFrame == 0) {
            groupRange = depthRange();
            ++depthFrames;
        }
        const int range = groupRange;
        const long changing = cfg.moving || cfg.noiseSeed != 0 ? depthFrames
                                                               : long(viewNumber(depthScene, uint64_t(depthFrames)));
        if (range != phasesRange || changing != phasesFrame) {
            phases = renderPhases(depthScene, range, uint64_t(depthFrames), cfg.moving, cfg.noiseSeed);
            phasesRange = range;
            phasesFrame = changing;
        }
        std::vector<uint8_t> image(layoutLength(Layout::Plain));
        encodeSubFrame(phases.phase[subFrame].data(), Layout::Plain, image.data(), image.size());
        return image;
    }
    uint32_t bytes = cfg.frameBytes;
    if (frame == cfg.shortAt) bytes = bytes > 100 ? bytes - 100 : 1;
    std::vector<uint8_t> image(bytes);
    if (cfg.content == "jpeg") {
        // A JPEG-like frame: start marker (after 4 bytes of padding in the
        // chunk stream), scan data without FF bytes, end marker, then zeros.
        const size_t lead = usesChunkStream() ? 4 : 0;
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t((i * 7 + frame) & 0x7F);
        if (image.size() >= lead + 8) {
            for (size_t i = 0; i < lead; ++i) image[i] = 0;
            if (frame != cfg.noJpegStartAt) {
                image[lead] = 0xFF;
                image[lead + 1] = 0xD8;
            }
            const size_t end = image.size() - image.size() / 8;
            if (frame != cfg.noJpegEndAt) {
                image[end - 2] = 0xFF;
                image[end - 1] = 0xD9;
            }
            std::fill(image.begin() + long(end), image.end(), 0);
        }
    } else {
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i + 3 * frame);
    }
    return image;
}

void Board::produceFrame(bool endsTransfer, Clock::time_point due) {
    const long frame = framesMade++;
    ++framesSinceStart;
    if (frame == cfg.gapAt) ++sequence;  // one frame number skipped
    if (fifo.size() > kBoardMemory) {     // the host does not keep up: dropped
        ++sequence;
        return;
    }
    const std::vector<uint8_t> image = frameImage(frame);
    if (usesChunkStream()) {
        size_t at = 0;
        do {
            const size_t payload = std::min(image.size() - at, kChunk - kChunkHeader);
            const bool last = at + payload == image.size();
            uint8_t header[kChunkHeader] = {12, uint8_t(frameId | (last ? 0x02 : 0))};
            fifo.insert(fifo.end(), header, header + kChunkHeader);
            fifo.insert(fifo.end(), image.begin() + long(at), image.begin() + long(at + payload));
            at += payload;
        } while (at < image.size());
        frameId ^= 1;
    } else {
        const size_t tail = image.size() % kPacket;
        const size_t packets = (image.size() + kPacket - 1) / kPacket;
        if (frame == cfg.dropPacketAt && packets >= 2) {
            // One data packet from the frame's middle never reaches the host.
            const size_t lost = packets / 2 * kPacket;
            fifo.insert(fifo.end(), image.begin(), image.begin() + long(lost));
            fifo.insert(fifo.end(), image.begin() + long(lost + kPacket), image.end());
        } else {
            fifo.insert(fifo.end(), image.begin(), image.end());
        }
        if (tail != 0) fifo.insert(fifo.end(), kPacket - tail, 0);
        uint8_t marker[kPacket] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAA};
        marker[11] = frame == cfg.specialAt ? 1 : 0;
        marker[14] = uint8_t(sequence >> 8);
        marker[15] = uint8_t(sequence);
        const size_t sinceStart = size_t(framesSinceStart - 1);
    const uint64_t stamp = sinceStart < cfg.stamps.size() ? cfg.stamps[sinceStart] : boardClock(due);
        putLittle64(marker + 16, stamp);
        marker[510] = uint8_t(tail >> 8);
        marker[511] = uint8_t(tail);
        fifo.insert(fifo.end(), marker, marker + kPacket);
    }
    if (frame != cfg.specialAt || usesChunkStream()) ++sequence;  // special frames carry no number of their own
    frameEnds.emplace_back(fifoStart + fifo.size(), endsTransfer);
}

size_t Board::bulkReady(size_t length, Clock::time_point now) {
    // Frames released in single-frame mode go out at once, streaming or not.
    while (releases > 0) {
        --releases;
        // Whole packets like any other frame: it ends the transfer only on a
        // link that sends short packets.
        produceFrame(cfg.shortTransfers, now);
        i2c[kController][9] = 1;  // image ready
    }
    if (running && !cfg.stall && !singleMode && cfg.replay) {
        produceReplay(now);
    } else if (running && !cfg.stall && !singleMode) {
        if (now - nextDue > std::chrono::seconds(1)) {  // a long pause: no backlog of old frames
            nextDue = frameStart = now;
            subFrame = 0;
        }
        while (nextDue <= now) {
            produceFrame(false, nextDue);
            advanceSchedule();
        }
    }
    // A frame's end within the transfer ends it there (a short packet),
    // when the link or the frame sends one.
    if (!frameEnds.empty() && (cfg.shortTransfers || usesChunkStream() || frameEnds.front().second)) {
        const size_t end = size_t(frameEnds.front().first - fifoStart);
        if (end > 0 && end <= length) return end;
    }
    return fifo.size() >= length ? length : 0;
}

void Board::bulkTake(uint8_t* data, size_t count, size_t length) {
    // A frame that ends exactly where a full transfer does is ended by a
    // zero-length packet on a link that ends transfers at frame ends.
    const bool shortPackets = cfg.shortTransfers || usesChunkStream();
    if (shortPackets && count == length && count > 0) {
        for (const auto& end : frameEnds) {
            if (end.first == fifoStart + count) zeroLengthPacket = true;
            if (end.first >= fifoStart + count) break;
        }
    }
    std::copy(fifo.begin(), fifo.begin() + long(count), data);
    fifo.erase(fifo.begin(), fifo.begin() + long(count));
    fifoStart += count;
    while (!frameEnds.empty() && frameEnds.front().first <= fifoStart) frameEnds.pop_front();
}

}  // namespace LumivexSim
