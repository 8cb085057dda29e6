#include "array_files.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace LumivexFiles {

namespace {
// `bytes` little-endian bytes of value (zeros beyond its eight).
void little(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(i < 8 ? uint8_t(value >> (8 * i)) : 0);
}
void big32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 3; i >= 0; --i) out.push_back(uint8_t(value >> (8 * i)));
}
constexpr uint16_t kDosDate = 0x21;  // 1 January 1980: the zip format's first day
}  // namespace

NpzWriter::~NpzWriter() {
    if (file != nullptr) std::fclose(file);
}

bool NpzWriter::open(const std::string& path, std::string& error) {
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool NpzWriter::put(const void* data, size_t bytes) {
    if (!problem.empty()) return false;
    if (position + bytes > kLargestFile) {
        problem = "the arrays need more than 4 GiB: convert fewer frames at a time (--first, --count)";
        return false;
    }
    if (std::fwrite(data, 1, bytes, file) != bytes) {
        problem = std::strerror(errno);
        return false;
    }
    position += bytes;
    return true;
}

bool NpzWriter::beginArray(const std::string& name, const char* descr, const std::vector<uint64_t>& shape) {
    Entry entry;
    entry.name = name + ".npy";
    entry.offset = position;
    std::vector<uint8_t> local;
    little(local, 0x04034b50, 4);
    little(local, 20, 2);      // version needed: 2.0
    little(local, 0x0008, 2);  // sizes and checksum follow the data
    little(local, 0, 2);       // stored
    little(local, 0, 2);
    little(local, kDosDate, 2);
    little(local, 0, 12);      // checksum and sizes: in the data descriptor
    little(local, entry.name.size(), 2);
    little(local, 0, 2);
    local.insert(local.end(), entry.name.begin(), entry.name.end());
    entries.push_back(entry);
    inEntry = true;
    if (!put(local.data(), local.size())) return false;
    // The .npy header (format 1.0), padded so that the data starts at a multiple of 64.
    std::string dims;
    for (uint64_t d : shape) dims += std::to_string(d) + ", ";
    if (shape.size() > 1) dims.resize(dims.size() - 1);
    std::string text = std::string("{'descr': '") + descr + "', 'fortran_order': False, 'shape': (" + dims + "), }";
    while ((10 + text.size() + 1) % 64 != 0) text += ' ';
    text += '\n';
    std::vector<uint8_t> head = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    little(head, text.size(), 2);
    head.insert(head.end(), text.begin(), text.end());
    return write(head.data(), head.size());
}

bool NpzWriter::write(const void* data, size_t bytes) {
    Entry& entry = entries.back();
    if (!put(data, bytes)) return false;
    if (bytes > 0) entry.crc = uint32_t(crc32(entry.crc, static_cast<const Bytef*>(data), uInt(bytes)));
    entry.size += bytes;
    return true;
}

bool NpzWriter::endArray() {
    inEntry = false;
    const Entry& entry = entries.back();
    std::vector<uint8_t> descriptor;
    little(descriptor, 0x08074b50, 4);
    little(descriptor, entry.crc, 4);
    little(descriptor, entry.size, 4);
    little(descriptor, entry.size, 4);
    return put(descriptor.data(), descriptor.size());
}

bool NpzWriter::close() {
    if (file == nullptr) return problem.empty();
    if (inEntry) endArray();
    const uint64_t directoryStart = position;
    std::vector<uint8_t> directory;
    for (const Entry& e : entries) {
        little(directory, 0x02014b50, 4);
        little(directory, 20, 2);
        little(directory, 20, 2);
        little(directory, 0x0008, 2);
        little(directory, 0, 2);
        little(directory, 0, 2);
        little(directory, kDosDate, 2);
        little(directory, e.crc, 4);
        little(directory, e.size, 4);
        little(directory, e.size, 4);
        little(directory, e.name.size(), 2);
        little(directory, 0, 6);  // extra field, comment, disk
        little(directory, 0, 6);  // attributes
        little(directory, e.offset, 4);
        directory.insert(directory.end(), e.name.begin(), e.name.end());
    }
    little(directory, 0x06054b50, 4);
    little(directory, 0, 4);
    little(directory, entries.size(), 2);
    little(directory, entries.size(), 2);
    little(directory, directory.size() - 12, 4);  // the records before this end record
    little(directory, directoryStart, 4);
    little(directory, 0, 2);
    put(directory.data(), directory.size());
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!closed && problem.empty()) problem = std::strerror(errno);
    return problem.empty();
}

bool writePng16(const std::string& path, const uint16_t* samples, uint32_t width, uint32_t height, std::string& error) {
    // Each line: filter type 0, then the samples big-endian.
    std::vector<uint8_t> lines;
    lines.reserve(size_t(height) * (1 + 2 * size_t(width)));
    for (uint32_t y = 0; y < height; ++y) {
        lines.push_back(0);
        for (uint32_t x = 0; x < width; ++x) {
            const uint16_t v = samples[size_t(y) * width + x];
            lines.push_back(uint8_t(v >> 8));
            lines.push_back(uint8_t(v));
        }
    }
    uLongf packedSize = compressBound(uLong(lines.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, lines.data(), uLong(lines.size()), 6) != Z_OK) {
        error = path + ": the image could not be compressed";
        return false;
    }
    packed.resize(packedSize);
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* kind, const std::vector<uint8_t>& data) {
        big32(png, uint32_t(data.size()));
        const size_t start = png.size();
        png.insert(png.end(), kind, kind + 4);
        png.insert(png.end(), data.begin(), data.end());
        big32(png, uint32_t(crc32(0, png.data() + start, uInt(png.size() - start))));
    };
    std::vector<uint8_t> header;
    big32(header, width);
    big32(header, height);
    header.insert(header.end(), {16, 0, 0, 0, 0});  // 16 bits, greyscale, deflate, no filter, no interlace
    chunk("IHDR", header);
    chunk("IDAT", packed);
    chunk("IEND", {});
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file || std::fwrite(png.data(), 1, png.size(), file.get()) != png.size() || std::fflush(file.get()) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace LumivexFiles
