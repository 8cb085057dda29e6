#include "recording.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace LumivexRecording {

namespace {
constexpr char kHeaderTag[4] = {'H', 'E', 'A', 'D'};
constexpr char kFrameTag[4] = {'F', 'R', 'A', 'M'};
constexpr char kLensTag[4] = {'L', 'E', 'N', 'S'};
constexpr size_t kFrameFields = 8 + 4 + 4 + 4 + 4;  // timestamp, range, frequency, sub-frame bytes, count

void putLittle(uint8_t* p, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = uint8_t(value >> (8 * i));
}

uint64_t getLittle(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

uint32_t crcOf(uint32_t crc, const void* data, size_t size) {
    if (size == 0) return crc;  // zlib answers a null buffer with its initial value, not the running one
    return uint32_t(crc32(crc, static_cast<const Bytef*>(data), uInt(size)));
}
}  // namespace

std::string Header::get(const std::string& key) const {
    for (const auto& field : fields) {
        if (field.first == key) return field.second;
    }
    return "";
}

void Header::set(const std::string& key, const std::string& value) {
    for (auto& field : fields) {
        if (field.first == key) {
            field.second = value;
            return;
        }
    }
    fields.emplace_back(key, value);
}

// ---- writing ----

Writer::~Writer() { close(); }

bool Writer::open(const std::string& path, const Header& header, std::string& error) {
    close();
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    written = frames = 0;
    problem.clear();
    std::string text;
    for (const auto& field : header.fields) {
        // One field a line: keys and values cannot hold a line break or '='.
        if (field.first.find_first_of("=\n") != std::string::npos || field.second.find('\n') != std::string::npos) {
            error = "header field '" + field.first + "' holds '=' or a line break";
            close();
            return false;
        }
        text += field.first + "=" + field.second + "\n";
    }
    if (std::fwrite(kMagic, 1, sizeof kMagic, file) != sizeof kMagic ||
        !writeChunk(kHeaderTag, {{text.data(), text.size()}})) {
        error = path + ": " + (problem.empty() ? std::string(std::strerror(errno)) : problem);
        close();
        return false;
    }
    written += sizeof kMagic;
    return true;
}

bool Writer::writeChunk(const char tag[4], const std::vector<std::pair<const void*, size_t>>& parts) {
    size_t length = 0;
    for (const auto& part : parts) length += part.second;
    if (length > kLargestChunk) {
        problem = "a chunk of " + std::to_string(length) + " bytes is larger than a recording allows";
        return false;
    }
    uint8_t lead[8];
    std::memcpy(lead, tag, 4);
    putLittle(lead + 4, length, 4);
    uint32_t crc = crcOf(0, lead, sizeof lead);
    bool ok = std::fwrite(lead, 1, sizeof lead, file) == sizeof lead;
    for (const auto& part : parts) {
        crc = crcOf(crc, part.first, part.second);
        ok = ok && std::fwrite(part.first, 1, part.second, file) == part.second;
    }
    uint8_t tail[4];
    putLittle(tail, crc, 4);
    ok = ok && std::fwrite(tail, 1, sizeof tail, file) == sizeof tail && std::fflush(file) == 0;
    if (!ok) {
        problem = std::strerror(errno);
        return false;
    }
    written += sizeof lead + length + sizeof tail;
    return true;
}

bool Writer::append(uint64_t timestamp, int32_t range, float modulationFrequency, const uint8_t* data,
                    uint32_t subFrameBytes, uint32_t subFrames) {
    if (file == nullptr) {
        problem = "the recording is not open";
        return false;
    }
    uint8_t fields[kFrameFields];
    uint32_t frequencyBits = 0;
    std::memcpy(&frequencyBits, &modulationFrequency, sizeof frequencyBits);
    putLittle(fields, timestamp, 8);
    putLittle(fields + 8, uint32_t(range), 4);
    putLittle(fields + 12, frequencyBits, 4);
    putLittle(fields + 16, subFrameBytes, 4);
    putLittle(fields + 20, subFrames, 4);
    if (!writeChunk(kFrameTag, {{fields, sizeof fields}, {data, size_t(subFrameBytes) * subFrames}})) return false;
    ++frames;
    return true;
}

bool Writer::writeLens(const std::string& lensJson) {
    if (file == nullptr || frames != 0) {
        problem = file == nullptr ? "the recording is not open" : "the lens goes before the first frame";
        return false;
    }
    return writeChunk(kLensTag, {{lensJson.data(), lensJson.size()}});
}

bool Writer::close() {
    if (file == nullptr) return true;
    const bool ok = std::fclose(file) == 0;
    file = nullptr;
    return ok;
}

// ---- reading ----

Reader::~Reader() {
    if (file != nullptr) std::fclose(file);
}

bool Reader::open(const std::string& path, std::string& error) {
    std::FILE* opened = std::fopen(path.c_str(), "rb");
    if (opened == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return open(opened, path, error);
}

bool Reader::open(std::FILE* opened, const std::string& name, std::string& error) {
    if (file != nullptr) std::fclose(file);
    file = opened;
    return readHeader(name, error);
}

bool Reader::rewind() {
    std::string error;
    return file != nullptr && std::fseek(file, 0, SEEK_SET) == 0 && readHeader("", error);
}

bool Reader::readHeader(const std::string& name, std::string& error) {
    head = Header{};
    damage.clear();
    char magic[sizeof kMagic];
    if (std::fread(magic, 1, sizeof magic, file) != sizeof magic || std::memcmp(magic, kMagic, sizeof magic) != 0) {
        error = name + ": not a Lumivex recording";
        return false;
    }
    position = sizeof kMagic;
    char tag[4];
    if (!readChunk(tag, chunk) || std::memcmp(tag, kHeaderTag, 4) != 0) {
        error = name + ": no header" + (damage.empty() ? "" : " (" + damage + ")");
        return false;
    }
    const std::string text(chunk.begin(), chunk.end());
    // A LENS chunk right after the header; anything else is left for next().
    lensText.clear();
    const long mark = std::ftell(file);
    const uint64_t markPosition = position;
    char lensTag[4];
    if (mark >= 0 && readChunk(lensTag, chunk) && std::memcmp(lensTag, kLensTag, 4) == 0) {
        lensText.assign(chunk.begin(), chunk.end());
    } else if (mark >= 0) {
        damage.clear();  // met again, and reported, by next()
        std::fseek(file, mark, SEEK_SET);
        position = markPosition;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) head.fields.emplace_back(line.substr(0, equals), line.substr(equals + 1));
        start = end + 1;
    }
    return true;
}

bool Reader::readChunk(char tag[4], std::vector<uint8_t>& payload) {
    if (file == nullptr || !damage.empty()) return false;
    uint8_t lead[8];
    const size_t got = std::fread(lead, 1, sizeof lead, file);
    if (got == 0 && std::feof(file)) return false;  // the end, between chunks
    const std::string at = " at byte " + std::to_string(position);
    if (got != sizeof lead) {
        damage = "cut off" + at;
        return false;
    }
    const uint64_t length = getLittle(lead + 4, 4);
    if (length > kLargestChunk) {
        damage = "a chunk length of " + std::to_string(length) + at;
        return false;
    }
    payload.resize(size_t(length));
    uint8_t tail[4];
    if (std::fread(payload.data(), 1, payload.size(), file) != payload.size() ||
        std::fread(tail, 1, sizeof tail, file) != sizeof tail) {
        damage = "cut off" + at;
        return false;
    }
    uint32_t crc = crcOf(0, lead, sizeof lead);
    crc = crcOf(crc, payload.data(), payload.size());
    if (crc != uint32_t(getLittle(tail, 4))) {
        damage = "a checksum that does not match" + at;
        return false;
    }
    std::memcpy(tag, lead, 4);
    position += sizeof lead + length + sizeof tail;
    return true;
}

bool Reader::next(Frame& frame) {
    char tag[4];
    while (readChunk(tag, chunk)) {
        if (std::memcmp(tag, kFrameTag, 4) != 0) continue;  // a kind of chunk this version does not know
        if (chunk.size() < kFrameFields) {
            damage = "a frame chunk of " + std::to_string(chunk.size()) + " bytes";
            return false;
        }
        const uint8_t* p = chunk.data();
        frame.timestamp = getLittle(p, 8);
        frame.range = int32_t(uint32_t(getLittle(p + 8, 4)));
        const uint32_t frequencyBits = uint32_t(getLittle(p + 12, 4));
        std::memcpy(&frame.modulationFrequency, &frequencyBits, sizeof frequencyBits);
        frame.subFrameBytes = uint32_t(getLittle(p + 16, 4));
        frame.subFrames = uint32_t(getLittle(p + 20, 4));
        if (frame.subFrames == 0 || frame.subFrameBytes == 0 || frame.subFrameBytes % 2 != 0) {
            damage = "a frame of " + std::to_string(frame.subFrames) + " sub-frames of " +
                     std::to_string(frame.subFrameBytes) + " bytes (not 16-bit samples)";
            return false;
        }
        if (uint64_t(frame.subFrameBytes) * frame.subFrames != chunk.size() - kFrameFields) {
            damage = "a frame whose sub-frames do not fill it";
            return false;
        }
        frame.data.assign(chunk.begin() + long(kFrameFields), chunk.end());
        return true;
    }
    return false;
}

}  // namespace LumivexRecording
