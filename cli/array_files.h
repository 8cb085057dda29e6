// Array files any NumPy or image program reads: NumPy's .npz (a zip of .npy
// arrays, stored uncompressed and written as the data comes) and 16-bit
// greyscale PNG images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace LumivexFiles {

class NpzWriter {
public:
    ~NpzWriter();
    bool open(const std::string& path, std::string& error);
    // Starts array `name` (NumPy dtype `descr`, e.g. "<f4") of that shape;
    // its bytes follow through write(), then endArray().
    bool beginArray(const std::string& name, const char* descr, const std::vector<uint64_t>& shape);
    bool write(const void* data, size_t bytes);
    bool endArray();
    // Writes the zip's directory; false (with error()) if anything failed.
    bool close();
    const std::string& error() const { return problem; }

    // What an array of that many bytes adds to the file; a zip without its
    // 64-bit extension holds at most 4 GiB.
    static uint64_t entryBytes(uint64_t dataBytes) { return dataBytes + 30 + 16 + 128 + 46 + 64 + 64; }
    static constexpr uint64_t kLargestFile = 0xFFFFFFFFull;

private:
    struct Entry {
        std::string name;
        uint32_t crc = 0;
        uint64_t size = 0, offset = 0;
    };
    bool put(const void* data, size_t bytes);
    std::FILE* file = nullptr;
    uint64_t position = 0;
    std::vector<Entry> entries;
    bool inEntry = false;
    std::string problem;
};

// A 16-bit greyscale PNG of width x height samples, line after line.
bool writePng16(const std::string& path, const uint16_t* samples, uint32_t width, uint32_t height, std::string& error);

}  // namespace LumivexFiles
