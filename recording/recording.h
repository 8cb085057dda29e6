// Recordings of a camera's raw phase frames: a small chunked file format
// that any later conversion can be re-run on, that survives being cut off
// at any byte (a crash, a full disk) up to its last whole frame, and that
// NumPy alone can read (docs/recording.md). Standalone: it needs the C++
// library and zlib's CRC-32 only, so the recorder, the offline converter and
// the virtual cameras can all use it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace LumivexRecording {

constexpr char kMagic[8] = {'L', 'M', 'V', 'X', 'R', 'E', 'C', '\x01'};
constexpr uint32_t kLargestChunk = 64u << 20;  // a larger length is a damaged file

// The recording's header: "key=value" fields (the camera, the host, the SDK).
struct Header {
    std::vector<std::pair<std::string, std::string>> fields;
    std::string get(const std::string& key) const;  // "" when absent
    void set(const std::string& key, const std::string& value);
};

// One frame as the camera's back-end delivered it, before any conversion.
struct Frame {
    uint64_t timestamp = 0;             // 100 ns ticks, as the back-end reported them
    int32_t range = 0;                  // metres in force for this frame (2, 4; 0: unknown)
    float modulationFrequency = 0.0f;   // Hz in force for this frame
    uint32_t subFrameBytes = 0;         // 86,400 for the 240 x 180 sensor
    uint32_t subFrames = 0;             // 4
    std::vector<uint8_t> data;          // subFrames x subFrameBytes
};

class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Creates (or replaces) the file and writes its header; false with `error`.
    bool open(const std::string& path, const Header& header, std::string& error);
    // Appends one frame, flushed to the system at once: a crash afterwards
    // loses nothing of it. False with `error()` (a full disk, say).
    bool append(uint64_t timestamp, int32_t range, float modulationFrequency, const uint8_t* data,
                uint32_t subFrameBytes, uint32_t subFrames);
    // Stores the camera's lens (a lens file's JSON text) as a LENS chunk:
    // right after open(), before the first frame, where readers look for it.
    bool writeLens(const std::string& lensJson);
    bool close();
    uint64_t bytesWritten() const { return written; }
    uint64_t framesWritten() const { return frames; }
    const std::string& error() const { return problem; }

private:
    bool writeChunk(const char tag[4], const std::vector<std::pair<const void*, size_t>>& parts);

    std::FILE* file = nullptr;
    uint64_t written = 0;
    uint64_t frames = 0;
    std::string problem;
};

class Reader {
public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens a recording and reads its header; false with `error`.
    bool open(const std::string& path, std::string& error);
    // The same for a file already open for reading (the reader owns it from
    // here on); `name` is what errors call it.
    bool open(std::FILE* opened, const std::string& name, std::string& error);
    // Back to the first frame; false when the header no longer reads.
    bool rewind();
    const Header& header() const { return head; }
    // The lens stored with the recording (a lens file's JSON text), or "".
    const std::string& lens() const { return lensText; }
    // The next whole frame; false at the end, or where the file was cut off
    // or damaged (then `damaged()` says where and why).
    bool next(Frame& frame);
    bool damaged() const { return !damage.empty(); }
    const std::string& problem() const { return damage; }

private:
    // The next chunk whose length and checksum hold; false at the end or on damage.
    bool readChunk(char tag[4], std::vector<uint8_t>& payload);
    bool readHeader(const std::string& name, std::string& error);

    std::FILE* file = nullptr;
    Header head;
    std::string lensText;
    uint64_t position = 0;
    std::string damage;
    std::vector<uint8_t> chunk;  // the last chunk's payload: kept, so that reading allocates once
};

}  // namespace LumivexRecording
