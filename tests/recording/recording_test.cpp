// The recording format: frames round trip bit for bit with their header;
// a file cut off at any byte reads back up to its last whole frame; damage
// (a flipped byte, an absurd length) stops reading there, and chunks of an
// unknown kind are skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "recording.h"

using namespace LumivexRecording;

namespace {

constexpr uint32_t kSubFrame = 86400;

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "rec_" + std::to_string(getpid()) + "_" + name;
}

std::vector<uint8_t> frameData(int n) {
    std::vector<uint8_t> data(4 * kSubFrame);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + n * 13);
    return data;
}

// Writes `frames` frames; `ends` gets the file size after the header and after each frame.
std::string writeRecording(const std::string& name, int frames, std::vector<uint64_t>* ends = nullptr) {
    const std::string path = tempPath(name);
    Header header;
    header.set("connection", "USB");
    header.set("serial", "LMVX-T0F0-0001");
    header.set("sdk_version", "0.1.0");
    Writer writer;
    std::string error;
    EXPECT_TRUE(writer.open(path, header, error)) << error;
    if (ends) ends->push_back(writer.bytesWritten());
    for (int n = 0; n < frames; ++n) {
        const std::vector<uint8_t> data = frameData(n);
        EXPECT_TRUE(writer.append(1000 + uint64_t(n), n % 2 ? 2 : 4, n % 2 ? 75e6f : 37.5e6f, data.data(), kSubFrame, 4))
            << writer.error();
        if (ends) ends->push_back(writer.bytesWritten());
    }
    EXPECT_TRUE(writer.close());
    return path;
}

std::vector<uint8_t> bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes, size_t count) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(count));
}

int framesIn(const std::string& path, bool* damaged = nullptr) {
    Reader reader;
    std::string error;
    if (!reader.open(path, error)) return -1;
    Frame frame;
    int n = 0;
    while (reader.next(frame)) {
        EXPECT_EQ(frame.data, frameData(n)) << "frame " << n;
        ++n;
    }
    if (damaged) *damaged = reader.damaged();
    return n;
}

TEST(Recording, FramesAndHeaderRoundTrip) {
    const std::string path = writeRecording("round", 5);
    Reader reader;
    std::string error;
    ASSERT_TRUE(reader.open(path, error)) << error;
    EXPECT_EQ(reader.header().get("serial"), "LMVX-T0F0-0001");
    EXPECT_EQ(reader.header().get("connection"), "USB");
    Frame frame;
    for (int n = 0; n < 5; ++n) {
        ASSERT_TRUE(reader.next(frame)) << n;
        EXPECT_EQ(frame.timestamp, 1000u + uint64_t(n));
        EXPECT_EQ(frame.range, n % 2 ? 2 : 4);
        EXPECT_EQ(frame.modulationFrequency, n % 2 ? 75e6f : 37.5e6f);
        EXPECT_EQ(frame.subFrameBytes, kSubFrame);
        EXPECT_EQ(frame.subFrames, 4u);
        EXPECT_EQ(frame.data, frameData(n));
    }
    EXPECT_FALSE(reader.next(frame));
    EXPECT_FALSE(reader.damaged()) << reader.problem();
    std::remove(path.c_str());
}

TEST(Recording, ACutAtAnyByteKeepsEveryWholeFrame) {
    std::vector<uint64_t> ends;  // after the header, then after each frame
    const std::string path = writeRecording("whole", 3, &ends);
    const std::vector<uint8_t> bytes = bytesOf(path);
    ASSERT_EQ(bytes.size(), ends.back());
    // Every byte near each chunk boundary, and random places in between.
    std::vector<size_t> cuts;
    for (uint64_t end : ends) {
        for (int d = -20; d <= 20; ++d) {
            if (int64_t(end) + d >= 0 && uint64_t(int64_t(end) + d) <= bytes.size()) cuts.push_back(size_t(int64_t(end) + d));
        }
    }
    for (size_t c = 0; c <= 40; ++c) cuts.push_back(c);
    std::mt19937 random(7);
    for (int i = 0; i < 40; ++i) cuts.push_back(random() % bytes.size());
    const std::string cutPath = tempPath("cut");
    for (size_t cut : cuts) {
        writeBytes(cutPath, bytes, cut);
        int whole = -1;  // no header: the recording does not open
        for (uint64_t end : ends) whole += cut >= end;
        bool damaged = false;
        EXPECT_EQ(framesIn(cutPath, &damaged), whole) << "cut at " << cut;
        if (whole >= 0) {
            EXPECT_EQ(damaged, cut != ends[size_t(whole)]) << "cut at " << cut;
        }
    }
    std::remove(path.c_str());
    std::remove(cutPath.c_str());
}

TEST(Recording, DamageStopsReadingThereAndUnknownChunksAreSkipped) {
    std::vector<uint64_t> ends;
    const std::string path = writeRecording("damage", 4, &ends);
    std::vector<uint8_t> bytes = bytesOf(path);
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
        int frames;
    } cases[] = {
        {"a flipped sample in frame 2", size_t(ends[2]) + 8 + 24 + 1000, 0x5A, 2},
        {"a flipped checksum of frame 0", size_t(ends[1]) - 1, 0x00, 0},
        {"an absurd length of frame 3", size_t(ends[3]) + 7, 0xFF, 3},
    };
    const std::string damagedPath = tempPath("damaged");
    for (const Case& c : cases) {
        std::vector<uint8_t> copy = bytes;
        copy[c.at] ^= c.value == 0 ? 0xFF : c.value;
        writeBytes(damagedPath, copy, copy.size());
        bool damaged = false;
        EXPECT_EQ(framesIn(damagedPath, &damaged), c.frames) << c.what;
        EXPECT_TRUE(damaged) << c.what;
    }
    // A chunk of another kind (a later version's) between frames 1 and 2:
    // "NOTE", length 0, and the CRC-32 of those eight bytes.
    std::vector<uint8_t> extra(bytes.begin(), bytes.begin() + long(ends[2]));
    const uint8_t note[] = {'N', 'O', 'T', 'E', 0, 0, 0, 0, 0xFE, 0x97, 0x7A, 0xEC};
    extra.insert(extra.end(), note, note + sizeof note);
    extra.insert(extra.end(), bytes.begin() + long(ends[2]), bytes.end());
    writeBytes(damagedPath, extra, extra.size());
    bool damaged = true;
    EXPECT_EQ(framesIn(damagedPath, &damaged), 4);
    EXPECT_FALSE(damaged);
    std::remove(path.c_str());
    std::remove(damagedPath.c_str());
}

TEST(Recording, NotARecordingAndBadHeaderFieldsAreRefused) {
    const std::string path = tempPath("plain");
    std::ofstream(path) << "just text\n";
    Reader reader;
    std::string error;
    EXPECT_FALSE(reader.open(path, error));
    EXPECT_NE(error.find("not a Lumivex recording"), std::string::npos) << error;
    Writer writer;
    Header header;
    header.set("bad\nkey", "x");
    EXPECT_FALSE(writer.open(path, header, error));
    EXPECT_NE(error.find("line break"), std::string::npos) << error;
    EXPECT_FALSE(writer.append(0, 4, 37.5e6f, nullptr, 0, 0));  // not open
    std::remove(path.c_str());
}

}  // namespace
