// libFuzzer target: the recording reader on any bytes (a file from anywhere).
// Whatever the file holds, the reader returns whole frames whose sub-frames
// fill their data, or stops with a reason; it never reads or writes out of
// bounds (AddressSanitizer watches).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recording.h"

namespace {
// A header chunk and a frame chunk with valid checksums, so that the fuzzer
// starts from files the reader takes (the corpus begins with one).
const char kMagic[8] = {'L', 'M', 'V', 'X', 'R', 'E', 'C', 1};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Half the inputs get a valid magic in front: the fuzzer then works on the chunks.
    std::vector<uint8_t> bytes;
    if (size > 0 && (data[0] & 1)) bytes.assign(kMagic, kMagic + sizeof kMagic);
    bytes.insert(bytes.end(), data + (size > 0 ? 1 : 0), data + size);
    std::FILE* file = fmemopen(bytes.empty() ? nullptr : bytes.data(), bytes.size(), "rb");
    if (file == nullptr) return 0;
    LumivexRecording::Reader reader;
    std::string error;
    if (!reader.open(file, "fuzz", error)) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    for (int pass = 0; pass < 2; ++pass) {  // and the same again after a rewind
        LumivexRecording::Frame frame;
        while (reader.next(frame)) {
            if (frame.subFrames == 0 || frame.subFrameBytes == 0 || frame.subFrameBytes % 2 != 0) __builtin_trap();
            if (frame.data.size() != uint64_t(frame.subFrameBytes) * frame.subFrames) __builtin_trap();
        }
        if (reader.damaged() && reader.problem().empty()) __builtin_trap();
        if (!reader.rewind()) break;
    }
    return 0;
}
