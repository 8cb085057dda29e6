// The lens the virtual sensor looks through: a pinhole with the five-coefficient
// radial and tangential distortion (fx, fy, cx, cy in pixels; k1, k2, p1, p2, k3),
// pixel centres at whole coordinates. Written from the optics' side: it maps
// directions to pixels and back, and owes nothing to the SDK's own lens code.
#pragma once

#include <string>

namespace LumivexSim {

struct LensModel {
    double fx = 178.0, fy = 178.0, cx = 121.3, cy = 88.6;
    double k1 = -0.12, k2 = 0.03, p1 = 0.0005, p2 = -0.0003, k3 = 0.0;
};

// The virtual camera's lens unless a setting replaces it: about 70 degrees
// across, with barrel distortion.
inline LensModel defaultLens() { return LensModel{}; }

// "fx/fy/cx/cy/k1/k2/p1/p2/k3", or the path of a lens file (the JSON the SDK
// writes: the keys "fx" ... "k3"). False, with `error` set, for anything else
// or for a lens that does not map the whole picture one to one.
bool parseLens(const std::string& text, LensModel& lens, std::string& error);

// Undistorted normalised coordinates (x/z, y/z) of the direction pixel (u, v)
// sees; false when the iteration does not settle (a lens that folds over).
bool undistortPixel(const LensModel& lens, double u, double v, double& x, double& y);

// The pixel a direction of normalised coordinates (x, y) lands on.
void distortPoint(const LensModel& lens, double x, double y, double& u, double& v);

}  // namespace LumivexSim
