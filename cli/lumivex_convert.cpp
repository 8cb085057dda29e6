// lumivex-convert: a recording's frames to depth and amplitude arrays
// (NumPy .npz) or 16-bit PNG images in millimetres, without a camera,
// through the conversion the camera session runs live.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "array_files.h"
#include "recorded_conversion.h"
#include "recording.h"

namespace {

struct Options {
    std::string input, npz, png;
    uint64_t first = 0, count = UINT64_MAX;
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: lumivex-convert RECORDING (--npz FILE | --png FOLDER) [--first N] [--count N]\n\n"
                 "Converts a recording's frames to depth (metres) and amplitude with the SDK's own\n"
                 "conversion, as the camera computed them. --npz writes the arrays depth and amplitude\n"
                 "(frames x 180 x 240, float32), timestamp (uint64, 100 ns ticks), range (int32, metres)\n"
                 "and modulation_frequency (float32, Hz); --png writes depth_NNNNNN.png in millimetres\n"
                 "and amplitude_NNNNNN.png (16-bit greyscale) and frames.csv into FOLDER.\n"
                 "--first and --count choose frames (from 0).\n");
}

bool number(const char* text, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    value = n;
    return true;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--npz" && hasValue) {
            o.npz = argv[++i];
        } else if (a == "--png" && hasValue) {
            o.png = argv[++i];
        } else if (a == "--first" && hasValue) {
            if (!number(argv[++i], o.first)) return false;
        } else if (a == "--count" && hasValue) {
            if (!number(argv[++i], o.count) || o.count == 0) return false;
        } else if (!a.empty() && a[0] != '-' && o.input.empty()) {
            o.input = a;
        } else {
            return false;
        }
    }
    return !o.input.empty() && (o.npz.empty() != o.png.empty());
}

// The recording's frames that are converted, one after another.
class Frames {
public:
    Frames(const Options& o) : options(o) {}
    bool open(std::string& error) {
        index = 0;
        return reader.open(options.input, error);
    }
    // The next chosen frame this camera's conversion takes; false at the end.
    bool next(LumivexRecording::Frame& frame) {
        while (index < options.first + options.count && reader.next(frame)) {
            if (index++ < options.first) continue;
            if (frame.subFrameBytes != Lumivex::kPhasePlaneBytes || frame.subFrames != Lumivex::kPhaseCount) {
                problem = "frame " + std::to_string(index - 1) + " is not a 240 x 180 frame of four sub-frames";
                return false;
            }
            return true;
        }
        return false;
    }
    const LumivexRecording::Reader& source() const { return reader; }
    std::string problem;

private:
    const Options& options;
    LumivexRecording::Reader reader;
    uint64_t index = 0;
};

Lumivex::HostPlatform platformOf(const LumivexRecording::Reader& reader) {
    // A USB board's samples come unshifted whatever the host: converted as on
    // a host without a sample shift.
    if (reader.header().get("connection") == "USB") return Lumivex::UNKNOWN;
    return Lumivex::hostPlatformNamed(reader.header().get("platform").c_str());
}

struct Converted {
    std::vector<float> depth = std::vector<float>(Lumivex::kPixelCount);
    std::vector<float> amplitude = std::vector<float>(Lumivex::kPixelCount);
    void from(const LumivexRecording::Frame& frame, Lumivex::HostPlatform platform) {
        Lumivex::convertRecordedDepth(frame.data.data(), frame.range, frame.modulationFrequency, platform,
                                      depth.data(), amplitude.data());
    }
};

// Millimetres, or amplitude units, as a 16-bit sample: rounded, 0 for no value, at most 65535.
uint16_t sample16(float value) {
    if (!(value > 0.0f)) return 0;
    return value >= 65535.0f ? uint16_t(65535) : uint16_t(std::lround(value));
}

int writeNpz(const Options& o, uint64_t& written) {
    Frames frames(o);
    std::string error;
    LumivexRecording::Frame frame;
    // First the frames' count and their small fields; then depth and amplitude, a pass each.
    std::vector<uint64_t> stamps;
    std::vector<int32_t> ranges;
    std::vector<float> frequencies;
    if (!frames.open(error)) {
        std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
        return 1;
    }
    while (frames.next(frame)) {
        stamps.push_back(frame.timestamp);
        ranges.push_back(frame.range);
        frequencies.push_back(frame.modulationFrequency);
    }
    if (!frames.problem.empty()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.input.c_str(), frames.problem.c_str());
        return 1;
    }
    const Lumivex::HostPlatform platform = platformOf(frames.source());
    const uint64_t n = stamps.size();
    if (2 * LumivexFiles::NpzWriter::entryBytes(n * Lumivex::kPixelCount * 4) > LumivexFiles::NpzWriter::kLargestFile) {
        std::fprintf(stderr, "lumivex-convert: %llu frames need more than 4 GiB: convert fewer at a time (--first, --count)\n",
                     static_cast<unsigned long long>(n));
        return 1;
    }
    LumivexFiles::NpzWriter npz;
    if (!npz.open(o.npz, error)) {
        std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
        return 1;
    }
    const std::vector<uint64_t> shape = {n, Lumivex::kSensorHeight, Lumivex::kSensorWidth};
    Converted converted;
    for (const char* plane : {"depth", "amplitude"}) {
        npz.beginArray(plane, "<f4", shape);
        if (!frames.open(error)) break;
        while (frames.next(frame)) {
            converted.from(frame, platform);
            const std::vector<float>& values = std::strcmp(plane, "depth") == 0 ? converted.depth : converted.amplitude;
            npz.write(values.data(), values.size() * sizeof(float));
        }
        npz.endArray();
    }
    npz.beginArray("timestamp", "<u8", {n});
    npz.write(stamps.data(), n * sizeof(uint64_t));
    npz.endArray();
    npz.beginArray("range", "<i4", {n});
    npz.write(ranges.data(), n * sizeof(int32_t));
    npz.endArray();
    npz.beginArray("modulation_frequency", "<f4", {n});
    npz.write(frequencies.data(), n * sizeof(float));
    npz.endArray();
    if (!npz.close()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.npz.c_str(), npz.error().c_str());
        return 1;
    }
    written = n;
    if (frames.source().damaged())
        std::fprintf(stderr, "lumivex-convert: %s: %s: converted the frames before it\n", o.input.c_str(),
                     frames.source().problem().c_str());
    return 0;
}

int writePngs(const Options& o, uint64_t& written) {
    if (::mkdir(o.png.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.png.c_str(), std::strerror(errno));
        return 1;
    }
    Frames frames(o);
    std::string error;
    if (!frames.open(error)) {
        std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
        return 1;
    }
    const Lumivex::HostPlatform platform = platformOf(frames.source());
    const std::string csvPath = o.png + "/frames.csv";
    std::FILE* csv = std::fopen(csvPath.c_str(), "w");
    if (csv == nullptr) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", csvPath.c_str(), std::strerror(errno));
        return 1;
    }
    std::fprintf(csv, "frame,timestamp,range,modulation_frequency\n");
    LumivexRecording::Frame frame;
    Converted converted;
    std::vector<uint16_t> image(Lumivex::kPixelCount);
    uint64_t index = o.first;
    int result = 0;
    while (result == 0 && frames.next(frame)) {
        converted.from(frame, platform);
        char name[32];
        for (int plane = 0; plane < 2 && result == 0; ++plane) {
            for (uint32_t i = 0; i < Lumivex::kPixelCount; ++i)
                image[i] = sample16(plane == 0 ? converted.depth[i] * 1000.0f : converted.amplitude[i]);
            std::snprintf(name, sizeof name, "/%s_%06llu.png", plane == 0 ? "depth" : "amplitude",
                          static_cast<unsigned long long>(index));
            if (!LumivexFiles::writePng16(o.png + name, image.data(), Lumivex::kSensorWidth, Lumivex::kSensorHeight,
                                          error)) {
                std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
                result = 1;
            }
        }
        std::fprintf(csv, "%llu,%llu,%d,%.9g\n", static_cast<unsigned long long>(index),
                     static_cast<unsigned long long>(frame.timestamp), int(frame.range), double(frame.modulationFrequency));
        ++index;
        ++written;
    }
    if (std::fclose(csv) != 0 && result == 0) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", csvPath.c_str(), std::strerror(errno));
        result = 1;
    }
    if (!frames.problem.empty()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.input.c_str(), frames.problem.c_str());
        result = 1;
    } else if (frames.source().damaged()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s: converted the frames before it\n", o.input.c_str(),
                     frames.source().problem().c_str());
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    uint64_t written = 0;
    const int result = o.npz.empty() ? writePngs(o, written) : writeNpz(o, written);
    if (result == 0)
        std::printf("converted %llu frames of %s to %s\n", static_cast<unsigned long long>(written), o.input.c_str(),
                    o.npz.empty() ? o.png.c_str() : o.npz.c_str());
    return result;
}
