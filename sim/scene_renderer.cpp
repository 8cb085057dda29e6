#include "scene_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "ray_cast_scenes.h"

namespace LumivexSim {

namespace {
constexpr double kLightSpeed = 300000000.0;
constexpr double kPi = 3.14159265358979323846;
constexpr double kAmbient = 100.0;     // sample units, cancels in the phase differences
constexpr double kBrightness = 2000.0;  // amplitude of reflectivity 1 at 1 m

double frequencyFor(int range) { return range == 2 ? 75000000.0 : 37500000.0; }
double unambiguous(int range) { return range == 2 ? 2.0 : 4.0; }

void fill(Scene& s, float distance, float reflectivity) {
    s.distance.assign(kPixels, distance);
    s.reflectivity.assign(kPixels, reflectivity);
}
}  // namespace

bool isKnownScene(const std::string& name) {
    return name == "default" || name == "wall" || name == "ramp" || name == "room" || name == "checkerboard";
}

const Scene& sceneAt(const Scene& scene, uint64_t frame) {
    if (!scene.views || scene.views->empty()) return scene;
    return (*scene.views)[size_t(viewNumber(scene, frame))];
}

uint64_t viewNumber(const Scene& scene, uint64_t frame) {
    if (!scene.views || scene.views->empty()) return 0;
    return frame / std::max<uint64_t>(scene.framesPerView, 1) % scene.views->size();
}

Scene makeScene(const std::string& name, const LensModel& lens) {
    Scene s;
    if (!isKnownScene(name)) return s;
    if (name == "room") return makeRoomScene(lens);
    if (name == "checkerboard") return makeCheckerboardScene(lens);
    s.name = name;
    if (name == "wall") {
        fill(s, 1.25f, 0.8f);
    } else if (name == "ramp") {
        fill(s, 0.0f, 0.7f);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) s.distance[y * kWidth + x] = 0.2f + 3.6f * x / (kWidth - 1);
    } else {
        // A wall at 3 m; a box at 1.5 m on the left; a sphere of radius
        // 0.35 m centred 1.4 m away in the middle. The 16 rightmost columns
        // are plain wall (the line-pair layout repeats them across two lines).
        fill(s, 3.0f, 0.6f);
        for (int y = 40; y < 140; ++y)
            for (int x = 20; x < 90; ++x) {
                s.distance[y * kWidth + x] = 1.5f;
                s.reflectivity[y * kWidth + x] = 0.9f;
            }
        const double cx = 160, cy = 90, pixelRadius = 50, radius = 0.35, centre = 1.4;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const double rho = std::hypot(x - cx, y - cy) / pixelRadius;
                if (rho >= 1.0) continue;
                s.distance[y * kWidth + x] = float(centre - radius * std::sqrt(1.0 - rho * rho));
                s.reflectivity[y * kWidth + x] = 0.3f;
            }
    }
    return s;
}

namespace {
// Amplitude in sample units: falls with the square of the distance.
double amplitudeOf(double distance, double reflectivity) {
    const double d = std::max(distance, 0.3);
    return std::min(900.0, kBrightness * reflectivity / (d * d));
}

// The phasor (a sin phi, a cos phi) of every pixel at modulation frequency
// `f`, with the distances moved by `shift`; mixed pixels sum their returns.
void pixelPhasors(const Scene& view, double f, double shift, std::vector<double>& sn, std::vector<double>& cs) {
    const size_t count = std::min<size_t>(kPixels, view.distance.size());
    sn.assign(kPixels, 0.0);
    cs.assign(kPixels, 0.0);
    auto phasor = [&](double distance, double reflectivity, double& s, double& c) {
        const double phi = 4.0 * kPi * f * distance / kLightSpeed;
        const double a = amplitudeOf(distance, reflectivity);
        s = a * std::sin(phi), c = a * std::cos(phi);
    };
    for (size_t i = 0; i < count; ++i) phasor(view.distance[i] + shift, view.reflectivity[i], sn[i], cs[i]);
    for (const MixedPixel& m : view.mixed) {
        if (m.index < 0 || size_t(m.index) >= count || m.returns.empty()) continue;
        double s = 0, c = 0;
        for (const Return& r : m.returns) {
            double rs, rc;
            phasor(r.distance + shift, r.reflectivity, rs, rc);
            s += rs, c += rc;
        }
        sn[size_t(m.index)] = s / double(m.returns.size());
        cs[size_t(m.index)] = c / double(m.returns.size());
    }
}
}  // namespace

PhaseImages renderPhases(const Scene& scene, int range, uint64_t frame, bool moving,
                         uint32_t noiseSeed) {
    PhaseImages out;
    for (auto& p : out.phase) p.assign(kPixels, 0);
    const Scene& view = sceneAt(scene, frame);
    std::mt19937 rng(noiseSeed + uint32_t(frame));
    std::normal_distribution<double> noise(0.0, 3.0);
    const double shift = moving ? 0.25 * std::sin(double(frame) * 0.1) : 0.0;
    std::vector<double> sines, cosines;
    pixelPhasors(view, frequencyFor(range), shift, sines, cosines);
    for (int i = 0; i < kPixels && i < int(view.distance.size()); ++i) {
        const double sn = sines[size_t(i)], cs = cosines[size_t(i)];
        double p[4];
        if (range == 2) {  // y = P1 - P3, x = P2 - P0
            p[1] = kAmbient + sn / 2, p[3] = kAmbient - sn / 2;
            p[2] = kAmbient + cs / 2, p[0] = kAmbient - cs / 2;
        } else {  // y = P2 - P0, x = P3 - P1
            p[2] = kAmbient + sn / 2, p[0] = kAmbient - sn / 2;
            p[3] = kAmbient + cs / 2, p[1] = kAmbient - cs / 2;
        }
        for (int k = 0; k < 4; ++k) {
            const double v = p[k] + (noiseSeed != 0 ? noise(rng) : 0.0);
            out.phase[k][i] = int16_t(std::clamp(std::lround(v), -1024L, 1023L));
        }
    }
    return out;
}

void sceneTruth(const Scene& scene, int range, float* depth, float* amplitude, uint64_t frame) {
    const Scene& view = sceneAt(scene, frame);
    const double wrap = unambiguous(range);
    for (int i = 0; i < kPixels; ++i) {
        const double d = view.distance[i];
        depth[i] = float(std::fmod(d, wrap));
        // 0.5 * |(y, x)| with y, x differences of samples scaled by 16.
        amplitude[i] = float(16.0 * amplitudeOf(d, view.reflectivity[i]) * 0.5);
    }
    if (view.mixed.empty()) return;
    std::vector<double> sines, cosines;
    pixelPhasors(view, frequencyFor(range), 0.0, sines, cosines);
    for (const MixedPixel& m : view.mixed) {
        const size_t i = size_t(m.index);
        if (i >= size_t(kPixels)) continue;
        double phi = std::atan2(sines[i], cosines[i]);
        if (phi < 0) phi += 2.0 * kPi;
        depth[i] = float(std::fmod(phi * wrap / (2.0 * kPi), wrap));
        amplitude[i] = float(16.0 * std::hypot(sines[i], cosines[i]) * 0.5);
    }
}

bool parseLayout(const std::string& text, Layout& layout) {
    if (text == "plain") layout = Layout::Plain;
    else if (text == "strided") layout = Layout::Strided;
    else if (text == "linepairs") layout = Layout::LinePairs;
    else if (text == "y12p") layout = Layout::Y12P;
    else return false;
    return true;
}

size_t layoutLength(Layout layout) {
    switch (layout) {
        case Layout::Plain: return 86400;
        case Layout::Strided: return 92160;
        case Layout::LinePairs: return 86400;
        case Layout::Y12P: return 368 * kHeight;
    }
    return 86400;
}

namespace {
void put16(uint8_t* buffer, size_t length, size_t at, uint16_t word) {
    if (at + 1 < length) {
        buffer[at] = uint8_t(word);
        buffer[at + 1] = uint8_t(word >> 8);
    }
}
}  // namespace

void encodeSubFrame(const int16_t* samples, Layout layout, uint8_t* buffer, size_t length) {
    std::memset(buffer, 0xEE, length);  // padding the copy must never pick up
    switch (layout) {
        case Layout::Plain:
            for (int i = 0; i < kPixels; ++i) put16(buffer, length, 2 * size_t(i), sampleWord(samples[i]));
            break;
        case Layout::Strided:
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    put16(buffer, length, size_t(y) * 512 + 2 * x, sampleWord(samples[y * kWidth + x]));
            break;
        case Layout::LinePairs:
            // Block of lines (2m, 2m+1): line 2m words 0..223, line 2m+1 words
            // 0..223, line 2m words 224..239, then 32 unused bytes.
            for (int pair = 0; pair < kHeight / 2; ++pair) {
                const size_t block = size_t(pair) * 960;
                const int16_t* first = samples + (2 * pair) * kWidth;
                const int16_t* second = first + kWidth;
                for (int x = 0; x < 224; ++x) {
                    put16(buffer, length, block + 2 * x, uint16_t(sampleWord(first[x]) << 4));
                    put16(buffer, length, block + 448 + 2 * x, uint16_t(sampleWord(second[x]) << 4));
                }
                for (int x = 224; x < 240; ++x)
                    put16(buffer, length, block + 896 + 2 * (x - 224), uint16_t(sampleWord(first[x]) << 4));
            }
            break;
        case Layout::Y12P:
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; x += 2) {
                    const size_t at = size_t(y) * 368 + size_t(x / 2) * 3;
                    if (at + 2 >= length) continue;
                    const uint16_t w0 = sampleWord(samples[y * kWidth + x]);
                    const uint16_t w1 = sampleWord(samples[y * kWidth + x + 1]);
                    buffer[at] = uint8_t(w0 >> 4);
                    buffer[at + 1] = uint8_t(w1 >> 4);
                    buffer[at + 2] = uint8_t((w0 & 0x0F) | ((w1 & 0x0F) << 4));
                }
            break;
    }
}

void encodeCapturedSubFrame(const uint8_t* captured, Layout layout, uint8_t* buffer, size_t length) {
    std::memset(buffer, 0xEE, length);
    auto put = [&](size_t at, const uint8_t* from, size_t count) {
        if (at < length) std::memcpy(buffer + at, from, std::min(count, length - at));
    };
    switch (layout) {
        case Layout::Plain:
            put(0, captured, 86400);
            break;
        case Layout::Strided:  // 480 bytes of each 512-byte line
            for (int y = 0; y < kHeight; ++y) put(size_t(y) * 512, captured + size_t(y) * 480, 480);
            break;
        case Layout::LinePairs:
            // The capture keeps block bytes 0..447, 896..927, 448..927 of
            // each 960-byte block, in that order.
            for (int pair = 0; pair < kHeight / 2; ++pair) {
                const uint8_t* from = captured + size_t(pair) * 960;
                const size_t block = size_t(pair) * 960;
                put(block, from, 448);
                put(block + 448, from + 480, 480);
            }
            break;
        case Layout::Y12P:
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; x += 2) {
                    const size_t at = size_t(y) * 368 + size_t(x / 2) * 3;
                    const uint8_t* w = captured + (size_t(y) * kWidth + size_t(x)) * 2;
                    const uint16_t w0 = uint16_t(w[0] | w[1] << 8), w1 = uint16_t(w[2] | w[3] << 8);
                    const uint8_t packed[3] = {uint8_t(w0 >> 4), uint8_t(w1 >> 4),
                                               uint8_t((w0 & 0x0F) | ((w1 & 0x0F) << 4))};
                    put(at, packed, 3);
                }
            break;
    }
}

}  // namespace LumivexSim
