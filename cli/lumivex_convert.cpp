// lumivex-convert: a recording's frames to depth and amplitude arrays
// (NumPy .npz) or 16-bit PNG images in millimetres, without a camera,
// through the conversion the camera session runs live.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "array_files.h"
#include "lens.h"
#include "pixel_rays.h"
#include "ply_file.h"
#include "point_cloud.h"
#include "recorded_conversion.h"
#include "recording.h"

namespace {

struct Options {
    std::string input, npz, png, ply, lens;
    uint64_t first = 0, count = UINT64_MAX;
    float flyingPixel = NAN;  // the point clouds' flying-pixel mask (off: NaN)
    const std::string& folder() const { return png.empty() ? ply : png; }
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: lumivex-convert RECORDING (--npz FILE | --png FOLDER | --ply FOLDER [--lens LENSFILE]\n"
                 "                       [--flying-pixel F]) [--first N] [--count N]\n\n"
                 "Converts a recording's frames to depth (metres) and amplitude with the SDK's own\n"
                 "conversion, as the camera computed them. --npz writes the arrays depth and amplitude\n"
                 "(frames x 180 x 240, float32), timestamp (uint64, 100 ns ticks), range (int32, metres)\n"
                 "and modulation_frequency (float32, Hz); --png writes depth_NNNNNN.png in millimetres\n"
                 "and amplitude_NNNNNN.png (16-bit greyscale) and frames.csv into FOLDER; --ply writes\n"
                 "cloud_NNNNNN.ply (points in metres with their amplitude, binary PLY) and frames.csv,\n"
                 "through the lens of LENSFILE, else the lens stored in the recording, else the camera's\n"
                 "nominal lens; --flying-pixel F leaves out pixels mixing two surfaces at depth edges (a\n"
                 "jump of more than F times the depth, such as 0.03). --first and --count choose frames\n"
                 "(from 0).\n");
}

bool number(const char* text, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    value = n;
    return true;
}

// Reads the arguments; on a bad one, says which and why (empty: all good).
std::string parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else if ((a == "--npz" || a == "--png" || a == "--ply" || a == "--lens" || a == "--flying-pixel" ||
                    a == "--first" || a == "--count") && !hasValue) {
            return a + " needs a value";
        } else if (a == "--npz") {
            o.npz = argv[++i];
        } else if (a == "--png") {
            o.png = argv[++i];
        } else if (a == "--ply") {
            o.ply = argv[++i];
        } else if (a == "--lens") {
            o.lens = argv[++i];
        } else if (a == "--flying-pixel") {
            char* end = nullptr;
            o.flyingPixel = std::strtof(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(o.flyingPixel > 0) || !(o.flyingPixel < 10))
                return std::string("--flying-pixel ") + argv[i] + ": not a fraction of the depth (such as 0.03)";
        } else if (a == "--first") {
            if (!number(argv[++i], o.first))
                return std::string("--first ") + argv[i] + ": not a frame number (0 or more)";
        } else if (a == "--count") {
            if (!number(argv[++i], o.count) || o.count == 0)
                return std::string("--count ") + argv[i] + ": not a number of frames (1 or more)";
        } else if (!a.empty() && a[0] != '-' && o.input.empty()) {
            o.input = a;
        } else if (!a.empty() && a[0] != '-') {
            return "one recording at a time (" + o.input + ", then " + a + ")";
        } else {
            return a + ": no such option";
        }
    }
    if (o.input.empty()) return "no recording given";
    if (int(!o.npz.empty()) + int(!o.png.empty()) + int(!o.ply.empty()) != 1)
        return "give one of --npz FILE, --png FOLDER and --ply FOLDER";
    if (o.ply.empty() && (!o.lens.empty() || !std::isnan(o.flyingPixel)))
        return "--lens and --flying-pixel go with --ply FOLDER";
    return "";
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
        while (index - std::min(index, options.first) < options.count && reader.next(frame)) {
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
    uint64_t framesSeen() const { return index; }
    std::string problem;

private:
    const Options& options;
    LumivexRecording::Reader reader;
    uint64_t index = 0;
};

// Whether two paths name one file (also through links); false when either is missing.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The file a path names once links are followed (the path itself if it does not exist yet).
std::string resolved(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
}

// When no chosen frame was converted: why, for the user (empty if frames were).
std::string nothingConverted(const Options& o, const Frames& frames, uint64_t converted) {
    if (converted > 0) return "";
    const uint64_t total = frames.framesSeen();
    const std::string whole = frames.source().damaged() ? " whole" : "";
    if (o.first > 0 && o.first >= total)
        return "--first " + std::to_string(o.first) + " is beyond the recording's last" + whole + " frame (it has " +
               std::to_string(total) + whole + (total == 1 ? " frame, numbered from 0)" : " frames, numbered from 0)");
    if (frames.source().damaged()) return frames.source().problem() + ": no whole frame before it to convert";
    return "the recording has no frames to convert";
}

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

// Writes the arrays into `path` (a file of its own, renamed into place by the caller).
int writeNpzInto(const Options& o, const std::string& path, uint64_t& written) {
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
    const std::string none = nothingConverted(o, frames, n);
    if (!none.empty()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.input.c_str(), none.c_str());
        return 1;
    }
    if (2 * LumivexFiles::NpzWriter::entryBytes(n * Lumivex::kPixelCount * 4) > LumivexFiles::NpzWriter::kLargestFile) {
        std::fprintf(stderr, "lumivex-convert: %llu frames need more than 4 GiB: convert fewer at a time (--first, --count)\n",
                     static_cast<unsigned long long>(n));
        return 1;
    }
    LumivexFiles::NpzWriter npz;
    if (!npz.open(path, error)) {
        std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
        return 1;
    }
    const std::vector<uint64_t> shape = {n, Lumivex::kSensorHeight, Lumivex::kSensorWidth};
    Converted converted;
    for (const char* plane : {"depth", "amplitude"}) {
        npz.beginArray(plane, "<f4", shape);
        // Each pass reads the file again: it must give the frames the first pass counted.
        if (!frames.open(error)) {
            std::fprintf(stderr, "lumivex-convert: %s (for the %s pass)\n", error.c_str(), plane);
            return 1;
        }
        uint64_t passed = 0;
        while (frames.next(frame)) {
            converted.from(frame, platform);
            const std::vector<float>& values = std::strcmp(plane, "depth") == 0 ? converted.depth : converted.amplitude;
            npz.write(values.data(), values.size() * sizeof(float));
            ++passed;
        }
        if (passed != n) {
            std::fprintf(stderr, "lumivex-convert: %s changed while it was converted (%llu frames, then %llu)\n",
                         o.input.c_str(), static_cast<unsigned long long>(n), static_cast<unsigned long long>(passed));
            return 1;
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
    if (!npz.close()) {  // false when any write failed (a full disk too)
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.npz.c_str(), npz.error().c_str());
        return 1;
    }
    written = n;
    if (frames.source().damaged())
        std::fprintf(stderr, "lumivex-convert: %s: %s: converted the frames before it\n", o.input.c_str(),
                     frames.source().problem().c_str());
    return 0;
}

// The .npz is written beside its place under another name and renamed into
// place once whole: a failure (a full disk) leaves nothing half written, and
// an existing file is replaced only by a complete one.
int writeNpz(const Options& o, uint64_t& written) {
    const std::string target = resolved(o.npz);
    const std::string partial = target + ".partial";
    const int result = writeNpzInto(o, partial, written);
    if (result == 0 && std::rename(partial.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", target.c_str(), std::strerror(errno));
        std::remove(partial.c_str());
        return 1;
    }
    if (result != 0) std::remove(partial.c_str());
    return result;
}

// The lens of the point clouds: the lens file given, else the one stored in
// the recording, else the camera's nominal lens (said so).
bool cloudLens(const Options& o, const LumivexRecording::Reader& reader, Lumivex::Lens& lens) {
    std::string error;
    if (!o.lens.empty()) {
        if (Lumivex::loadLens(o.lens, lens, error)) return true;
        std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
        return false;
    }
    if (!reader.lens().empty()) {
        if (Lumivex::lensFromJson(reader.lens(), lens, error)) return true;
        std::fprintf(stderr, "lumivex-convert: %s: its stored lens: %s (give one with --lens)\n", o.input.c_str(),
                     error.c_str());
        return false;
    }
    lens = Lumivex::Lens::nominal();
    std::fprintf(stderr, "lumivex-convert: %s stores no lens: the camera's nominal lens is used (calibrate it with "
                         "lumivex-calibrate and give --lens for accurate points)\n", o.input.c_str());
    return true;
}

// The PNG images or point clouds, and frames.csv; on a failure the files
// this run wrote are removed again (and the folder, if it made it).
int writeFolder(const Options& o, uint64_t& written) {
    const std::string& folder = o.folder();
    const bool madeFolder = ::mkdir(folder.c_str(), 0755) == 0;
    if (!madeFolder && errno != EEXIST) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", folder.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<std::string> made;
    auto undo = [&] {
        for (const std::string& path : made) std::remove(path.c_str());
        if (madeFolder) ::rmdir(folder.c_str());
    };
    // No output file may be the recording itself.
    auto isInput = [&](const std::string& path) {
        if (!sameFile(path, o.input)) return false;
        std::fprintf(stderr, "lumivex-convert: %s is the recording itself: choose another folder\n", path.c_str());
        return true;
    };
    Frames frames(o);
    std::string error;
    if (!frames.open(error)) {
        std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
        return 1;
    }
    const Lumivex::HostPlatform platform = platformOf(frames.source());
    std::shared_ptr<const Lumivex::PixelRays> rays;
    if (!o.ply.empty()) {
        Lumivex::Lens lens;
        if (!cloudLens(o, frames.source(), lens)) {
            undo();
            return 1;
        }
        rays = Lumivex::PixelRays::of(lens);
    }
    Lumivex::CloudMasks masks;
    masks.flyingPixel = o.flyingPixel;
    std::vector<float> points(rays ? 3 * size_t(Lumivex::kPixelCount) : 0);
    std::vector<uint8_t> valid(rays ? Lumivex::kPixelCount : 0);
    const std::string csvPath = folder + "/frames.csv";
    if (isInput(csvPath)) {
        undo();
        return 1;
    }
    std::FILE* csv = std::fopen(csvPath.c_str(), "w");
    if (csv == nullptr) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", csvPath.c_str(), std::strerror(errno));
        undo();
        return 1;
    }
    made.push_back(csvPath);
    std::fprintf(csv, "frame,timestamp,range,modulation_frequency\n");
    LumivexRecording::Frame frame;
    Converted converted;
    std::vector<uint16_t> image(Lumivex::kPixelCount);
    uint64_t index = o.first;
    int result = 0;
    while (result == 0 && frames.next(frame)) {
        converted.from(frame, platform);
        char name[32];
        if (rays) {
            std::snprintf(name, sizeof name, "/cloud_%06llu.ply", static_cast<unsigned long long>(index));
            if (isInput(folder + name)) {
                result = 1;
                break;
            }
            made.push_back(folder + name);
            Lumivex::pointCloud(converted.depth.data(), converted.amplitude.data(), *rays, masks, points.data(),
                                valid.data());
            size_t kept = 0;
            if (!Lumivex::writePly(folder + name, points.data(), converted.amplitude.data(), Lumivex::kPixelCount,
                                   kept, error)) {
                std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
                result = 1;
                break;
            }
        }
        for (int plane = 0; plane < 2 && result == 0 && !rays; ++plane) {
            for (uint32_t i = 0; i < Lumivex::kPixelCount; ++i)
                image[i] = sample16(plane == 0 ? converted.depth[i] * 1000.0f : converted.amplitude[i]);
            std::snprintf(name, sizeof name, "/%s_%06llu.png", plane == 0 ? "depth" : "amplitude",
                          static_cast<unsigned long long>(index));
            if (isInput(folder + name)) {
                result = 1;
                break;
            }
            made.push_back(folder + name);
            if (!LumivexFiles::writePng16(folder + name, image.data(), Lumivex::kSensorWidth, Lumivex::kSensorHeight,
                                          error)) {
                std::fprintf(stderr, "lumivex-convert: %s\n", error.c_str());
                result = 1;
            }
        }
        if (result != 0) break;
        if (std::fprintf(csv, "%llu,%llu,%d,%.9g\n", static_cast<unsigned long long>(index),
                         static_cast<unsigned long long>(frame.timestamp), int(frame.range),
                         double(frame.modulationFrequency)) < 0) {
            std::fprintf(stderr, "lumivex-convert: %s: %s\n", csvPath.c_str(), std::strerror(errno));
            result = 1;
        }
        ++index;
        ++written;
    }
    if (std::fclose(csv) != 0 && result == 0) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", csvPath.c_str(), std::strerror(errno));
        result = 1;
    }
    const std::string none = nothingConverted(o, frames, written);
    if (!frames.problem.empty()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.input.c_str(), frames.problem.c_str());
        result = 1;
    } else if (result == 0 && !none.empty()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s\n", o.input.c_str(), none.c_str());
        result = 1;
    } else if (frames.source().damaged()) {
        std::fprintf(stderr, "lumivex-convert: %s: %s: converted the frames before it\n", o.input.c_str(),
                     frames.source().problem().c_str());
    }
    if (result != 0) undo();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const std::string bad = parse(argc, argv, o);
    if (!bad.empty()) {
        std::fprintf(stderr, "lumivex-convert: %s\n", bad.c_str());
        usage(stderr);
        return 2;
    }
    if (!o.npz.empty() && sameFile(o.npz, o.input)) {
        std::fprintf(stderr, "lumivex-convert: %s is the recording itself: choose another output file\n",
                     o.npz.c_str());
        return 1;
    }
    uint64_t written = 0;
    const int result = o.npz.empty() ? writeFolder(o, written) : writeNpz(o, written);
    if (result == 0)
        std::printf("converted %llu frames of %s to %s\n", static_cast<unsigned long long>(written), o.input.c_str(),
                    o.npz.empty() ? o.folder().c_str() : o.npz.c_str());
    return result;
}
