// Cutting frames out of the two bulk stream formats into the frame ring:
// the marker stream (512-byte packets, a marker packet ends each frame) and
// the chunk stream (16384-byte chunks with a payload header). Nothing a board
// sends can make a decoder read past the transfer buffer or write past a
// frame slot: what does not fit is reported as a length error.
#include <cstdio>
#include <cstring>

#include "usb_camera_session.h"
#include "usb_clock.h"

namespace {
constexpr int64_t kPacket = 512;
constexpr int64_t kChunk = 16384;
constexpr int64_t kChunkHeader = 16;
constexpr uint8_t kPayloadHeaderLength = 12;
constexpr int64_t kJpegStartWindow = 256;  // chunk positions 16 to 271
constexpr int64_t kJpegEndWindow = 1024;   // positions offset-2 down to offset-1025

uint16_t bigEndian16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

uint64_t littleEndian64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

void countFrame(uint8_t& frames) {
    if (frames < 254) ++frames;  // a count above 254 would read as an error code
}

void printLengthError(int64_t length) {
    std::printf("USB_CAMERA_DATA_LEN_ERROR\tRECEIVE_LENGTH:%d\n", int(length));
}
}  // namespace

int32_t checkJPG(const uint32_t& length, uint8_t* data) {
    if (data == nullptr || length < 2 || data[0] != 0xFF || data[1] != 0xD8) return -1;
    for (uint32_t i = length - 1; i >= 1; --i) {
        if (data[i] == 0xD9 && data[i - 1] == 0xFF) return int32_t(i);
    }
    return -1;
}

uint32_t UsbCameraSession::USB_GetBufferSize(uint32_t n) { return (n + 1023) / 1024 * 1024; }

uint32_t UsbCameraSession::IsMarker(const uint8_t* packet) {
    return std::memcmp(packet + 4, markerPattern + 4, 6) == 0 ? 1 : 0;
}

void UsbCameraSession::AssignTimeStamp(const uint8_t* packet) {
    const bool deviceClock = firmwareAtLeast314() && controllerDate() > 21605;
    frameSlots[writeIndex].timestamp = deviceClock ? littleEndian64(packet + 16) : 0;
}

void UsbCameraSession::FillImagePara(LumivexCfg* slotConfig, const uint8_t*) {
    slotConfig->userValue = image.userValue;
    slotConfig->vendorId = image.vendorId;
    slotConfig->width = image.width;
    slotConfig->height = image.height;
    slotConfig->bytesPerPixel = image.bytesPerPixel;
    slotConfig->bitWidth = image.bitWidth;
    slotConfig->format = image.format;
    slotConfig->i2cMode = image.i2cMode;
    slotConfig->i2cAddress = image.i2cAddress;
    slotConfig->transferUnits = transferUnits;
    slotConfig->usbType = usbType;
}

bool UsbCameraSession::lengthAccepted(uint32_t length) const {
    const uint64_t w = image.width, h = image.height, b = image.bytesPerPixel;
    switch (image.format) {
        case 0:
        case 4: return length == w * h * b;
        case 1:
        case 2: return length == 2 * w * h;
        case 5:
        case 6: return length == 2 * w * h * b;
        case 3: return true;
        default: return false;
    }
}

uint32_t UsbCameraSession::storeFrameBytes(uint32_t at, const uint8_t* source, uint64_t count) {
    uint8_t* data = frameSlots[writeIndex].data;
    if (data == nullptr || at >= frameBufferSize) return count == 0 ? 0 : USB_CAMERA_DATA_LEN_ERROR;
    const uint64_t room = frameBufferSize - at;
    const uint64_t stored = count < room ? count : room;
    if (stored > 0) std::memcpy(data + at, source, size_t(stored));
    return stored == count ? 0 : USB_CAMERA_DATA_LEN_ERROR;
}

uint32_t UsbCameraSession::DecodeFrameUseMarker(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames) {
    frames = 0;
    uint32_t result = 0;
    int64_t pending = 0;  // data bytes of the current frame seen in this buffer, not yet stored
    if (offset == 0) frameSlots[writeIndex].timestamp = LumivexUsb::ticksNow();
    int64_t position = 0;
    const int64_t size = length > 0 ? length : 0;
    while (size - position >= kPacket) {
        const uint8_t* packet = buffer + position;
        if (!IsMarker(packet)) {
            pending += kPacket;
            position += kPacket;
            continue;
        }
        AssignTimeStamp(packet);
        const int64_t tail = bigEndian16(packet + 510);
        int64_t frameLength = int64_t(offset) + pending - (tail != 0 ? kPacket - tail : 0);
        if (frameLength < 0) frameLength = 0;
        const uint8_t* frameBytes = buffer + position - pending;
        LumivexOutData* slot = &frameSlots[writeIndex];
        const bool special = packet[11] != 0;
        const uint16_t sequence = bigEndian16(packet + 14);
        if (special) {
            if (storeFrameBytes(offset, frameBytes, uint64_t(pending)) != 0) result = USB_CAMERA_DATA_LEN_ERROR;
            countFrame(frames);
            slot->config.frameLength = uint32_t(frameLength);
            FillImagePara(&slot->config, packet);
            slot->config.format = 8;
            advanceWrite();
        } else if (frameLength <= 0xFFFFFFFF && lengthAccepted(uint32_t(frameLength))) {
            startRemnants = 0;
            const bool inSequence = sequenceRestart || (lastSequence == 0xFFFF && sequence == 0) ||
                                    (lastSequence != 0xFFFF && sequence == uint16_t(lastSequence + 1)) ||
                                    triggerMode == 1;
            if (!inSequence) result = USB_CAMERA_SEQUENCE_GAP;
            if (storeFrameBytes(offset, frameBytes, uint64_t(pending)) != 0) result = USB_CAMERA_DATA_LEN_ERROR;
            countFrame(frames);
            if (image.format == 3) {
                const uint32_t searched = uint32_t(frameLength < frameBufferSize ? frameLength : frameBufferSize);
                slot->config.frameLength = uint32_t(checkJPG(searched, slot->data) + 1);
            } else {
                slot->config.frameLength = uint32_t(frameLength);
            }
            FillImagePara(&slot->config, packet);
            advanceWrite();
        } else if (forceRead) {
            if (frameLength > int64_t(frameBufferSize)) frameLength = frameBufferSize;
            int64_t n = frameLength - int64_t(offset) + (tail != 0 ? kPacket - tail : 0);
            if (n > pending) n = pending;
            if (n < 0) n = 0;
            storeFrameBytes(offset, frameBytes, uint64_t(n));
            if (image.format == 3) {
                const uint32_t searched = uint32_t(frameLength);
                slot->config.frameLength = uint32_t(checkJPG(searched, slot->data) + 1);
            } else {
                slot->config.frameLength = uint32_t(frameLength);
            }
            FillImagePara(&slot->config, packet);
            countFrame(frames);
            advanceWrite();
            result = USB_CAMERA_DATA_LEN_ERROR;
        } else if (startRemnants > 0) {
            // A remnant from before the capture reset: not a frame of this
            // capture, and its number does not count in the sequence.
            --startRemnants;
            offset = 0;
            pending = 0;
            position += kPacket;
            continue;
        } else {
            countFrame(frames);  // counted, not delivered
            result = USB_CAMERA_DATA_LEN_ERROR;
            printLengthError(frameLength);
        }
        if (!special) {
            lastSequence = sequence;
            sequenceRestart = false;
        }
        offset = 0;
        pending = 0;
        position += kPacket;
    }
    const int64_t rest = size - position;
    const uint8_t* frameBytes = buffer + position - pending;
    if (int64_t(offset) + pending + rest <= int64_t(frameBufferSize)) {
        storeFrameBytes(offset, frameBytes, uint64_t(pending + rest));
        offset += uint32_t(pending + rest);
    } else if (forceRead) {
        // The frame overflows its slot: the slot is filled to its size and
        // delivered, the excess is dropped.
        LumivexOutData* slot = &frameSlots[writeIndex];
        storeFrameBytes(offset, frameBytes, uint64_t(pending + rest));
        slot->config.frameLength = frameBufferSize;
        FillImagePara(&slot->config, nullptr);
        countFrame(frames);
        advanceWrite();
        offset = 0;
        result = USB_CAMERA_DATA_LEN_ERROR;
    } else if (startRemnants > 0) {
        --startRemnants;  // a remnant from before the capture reset overflows the slot
        offset = 0;
    } else {
        offset = 0;
        countFrame(frames);
        result = USB_CAMERA_DATA_LEN_ERROR;
    }
    return result <= 0xFF ? frames : result;
}

uint32_t UsbCameraSession::DecodeFrameUseUVC(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames) {
    frames = 0;
    uint32_t result = 0;
    int64_t skip = 0;
    int64_t position = 0;
    const int64_t size = length > 0 ? length : 0;
    while (size - position > kChunkHeader && buffer[position] == kPayloadHeaderLength) {
        uint8_t* chunk = buffer + position;
        const int64_t n = size - position < kChunk ? size - position : kChunk;
        const uint8_t frameId = chunk[1] & 0x01;
        // The first frame of a capture is new whatever its frame ID: its time
        // stamp is its own, not the slot's from before the start.
        if (frameId != lastFrameId || (startRemnants > 0 && offset == 0)) {
            frameSlots[writeIndex].timestamp = LumivexUsb::ticksNow();
            lastFrameId = frameId;
            if (offset != 0 && startRemnants > 0) {  // a remnant from before the capture reset
                --startRemnants;
                offset = 0;
            } else if (offset != 0) {  // the previous frame never saw its end
                if (forceRead) {
                    LumivexOutData* slot = &frameSlots[writeIndex];
                    FillImagePara(&slot->config, nullptr);
                    slot->config.frameLength = offset;
                    countFrame(frames);
                    advanceWrite();
                }
                offset = 0;
                result = USB_CAMERA_DATA_LEN_ERROR;
            }
            if (image.format == 3) {
                int64_t start = -1;
                for (int64_t p = kChunkHeader; p < kChunkHeader + kJpegStartWindow && p + 1 < n; ++p) {
                    if (chunk[p] == 0xFF && chunk[p + 1] == 0xD8) {
                        start = p;
                        break;
                    }
                }
                if (start < 0) return USB_CAMERA_JPEG_ERROR;
                skip = start - kChunkHeader;
            }
        }
        const int64_t payload = n - kChunkHeader;
        if (int64_t(offset) + payload > int64_t(frameBufferSize)) {
            result = USB_CAMERA_DATA_LEN_ERROR;
        } else if (image.format == 3 && offset == 0) {
            const int64_t stored = payload > skip ? payload - skip : 0;
            storeFrameBytes(0, chunk + kChunkHeader + skip, uint64_t(stored));
            offset += uint32_t(stored);
        } else {
            storeFrameBytes(offset, chunk + kChunkHeader, uint64_t(payload));
            offset += uint32_t(payload);
        }
        if (chunk[1] & 0x02) {  // end of frame
            LumivexOutData* slot = &frameSlots[writeIndex];
            if (lengthAccepted(offset)) {
                startRemnants = 0;
                if (image.format == 3 && offset >= 1026) {
                    int64_t end = -1;
                    for (int64_t p = int64_t(offset) - 2; p >= int64_t(offset) - 1 - kJpegEndWindow; --p) {
                        if (slot->data[p] == 0xFF && slot->data[p + 1] == 0xD9) {
                            end = p;
                            break;
                        }
                    }
                    if (end < 0) return USB_CAMERA_JPEG_ERROR;  // left in the slot, unfinished
                    offset = uint32_t(end + 2);
                }
                countFrame(frames);
                FillImagePara(&slot->config, nullptr);
                slot->config.frameLength = offset;
                advanceWrite();
            } else if (startRemnants > 0) {
                --startRemnants;  // a remnant from before the capture reset: dropped
            } else {
                result = USB_CAMERA_DATA_LEN_ERROR;
                if (forceRead) {
                    FillImagePara(&slot->config, nullptr);
                    slot->config.frameLength = offset;
                    countFrame(frames);
                    advanceWrite();
                } else {
                    printLengthError(offset);
                }
            }
            offset = 0;
        }
        position += size > kChunk - 1 ? kChunk : size - position;
    }
    return result <= 0xFF ? frames : result;
}
