// The synthetic time-of-flight scene: per-pixel distance and reflectivity,
// rendered into the four phase samples the sensor delivers, and laid out in
// driver buffers the way each host's capture driver delivers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lens_model.h"

namespace LumivexSim {

constexpr int kWidth = 240;
constexpr int kHeight = 180;
constexpr int kPixels = kWidth * kHeight;

// One of the returns a pixel gathers over its footprint (equal shares).
struct Return {
    float distance;
    float reflectivity;
};

// A pixel whose footprint straddles surfaces at different distances: the
// sensor adds the returns as phasors, so its depth lies between them.
struct MixedPixel {
    int index;
    std::vector<Return> returns;
};

struct Scene {
    std::string name;
    std::vector<float> distance;      // metres, radial, per pixel
    std::vector<float> reflectivity;  // 0 ... 1, per pixel
    std::vector<MixedPixel> mixed;    // pixels that mix the returns of several surfaces
    // A scene that changes by itself (the checkerboard's poses): frame f
    // shows views[(f / framesPerView) % views.size()].
    std::shared_ptr<const std::vector<Scene>> views;
    uint64_t framesPerView = 1;
};

// Scenes by name: "default" (wall 3.0 m, box 1.5 m, sphere near 1.1 m),
// "wall" (a flat wall at 1.25 m), "ramp" (0.2 ... 3.8 m left to right), and
// the ray-cast scenes seen through `lens`: "room" and "checkerboard"
// (sim/README.md gives their geometry). Unknown names give an empty name.
Scene makeScene(const std::string& name, const LensModel& lens = defaultLens());
bool isKnownScene(const std::string& name);

// The view a frame shows, and a number that changes exactly when it does.
const Scene& sceneAt(const Scene& scene, uint64_t frame);
uint64_t viewNumber(const Scene& scene, uint64_t frame);

// The signed 11-bit sample values (-1024 ... 1023) of the four phase
// sub-frames of one depth frame; range 2 selects 75 MHz, otherwise 37.5 MHz.
// `frame` moves the scene when `moving` is set; `noiseSeed` != 0 adds noise.
struct PhaseImages {
    std::vector<int16_t> phase[4];
};
PhaseImages renderPhases(const Scene& scene, int range, uint64_t frame = 0, bool moving = false,
                         uint32_t noiseSeed = 0);

// The sensor's 12-bit sample word for a signed sample value (bit 11 clear).
inline uint16_t sampleWord(int16_t value) { return uint16_t(value) & 0x7FF; }

// What the engine should compute from a noise-free frame: distance wrapped
// into the unambiguous range, and amplitude in decoded sample units.
// Pixels mixing several returns get the phase of their summed phasors.
void sceneTruth(const Scene& scene, int range, float* depth, float* amplitude, uint64_t frame = 0);

enum class Layout {
    Plain,      // 16-bit words, 86,400 bytes
    Strided,    // 180 lines of 512 bytes (480 used), 92,160 bytes
    LinePairs,  // 960-byte blocks of two lines, samples shifted by 4
    Y12P,       // packed pixel pairs, 8 padding bytes per line, 66,240 bytes
};
bool parseLayout(const std::string& text, Layout& layout);
size_t layoutLength(Layout layout);
// Writes one sub-frame into `buffer` (at most `length` bytes).
void encodeSubFrame(const int16_t* samples, Layout layout, uint8_t* buffer, size_t length);
// Writes one sub-frame as the driver delivers it from the 86,400 bytes a
// host's capture made of it (a recording's sub-frame): the inverse of the
// capture's copy for that layout, so that the capture gets those bytes back.
void encodeCapturedSubFrame(const uint8_t* captured, Layout layout, uint8_t* buffer, size_t length);

}  // namespace LumivexSim
