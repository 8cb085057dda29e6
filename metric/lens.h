// The camera's lens: a pinhole with five distortion coefficients (radial k1,
// k2, k3 and tangential p1, p2 in the usual convention), pixel centres at
// whole coordinates, for the 240 x 180 depth picture. Kept in a small JSON
// file (docs/point-clouds.md).
#pragma once

#include <string>

namespace Lumivex {

constexpr int kLensWidth = 240;
constexpr int kLensHeight = 180;

struct Lens {
    double fx = 0, fy = 0, cx = 0, cy = 0;   // pixels
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
    std::string description;               // where the figures come from

    // The lens the camera is built with, from its design: good for a first
    // look; calibrate (lumivex-calibrate) for accurate points.
    static Lens nominal();
};

// True when the figures are finite and the lens maps every pixel to one
// direction of its own (the distortion does not fold the picture over);
// otherwise `why` says what is wrong.
bool checkLens(const Lens& lens, std::string& why);

// The undistorted normalised coordinates (X/Z, Y/Z) of the direction pixel
// (u, v) sees; false for a point the distortion cannot be undone at.
bool undistortPixel(const Lens& lens, double u, double v, double& x, double& y);
// The pixel the direction of normalised coordinates (x, y) lands on.
void projectPoint(const Lens& lens, double x, double y, double& u, double& v);

// The lens file: JSON text, and files written whole or not at all.
std::string lensToJson(const Lens& lens);
bool lensFromJson(const std::string& text, Lens& lens, std::string& error);
bool loadLens(const std::string& path, Lens& lens, std::string& error);
bool saveLens(const std::string& path, const Lens& lens, std::string& error);

}  // namespace Lumivex
