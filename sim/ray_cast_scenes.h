// Scenes of exact geometry: every pixel's distance is the length along the
// ray its lens gives it to the first surface, and a pixel whose footprint
// straddles surfaces at different distances mixes their returns. The
// geometry is in sim/README.md (camera frame: x right, y down, z forward).
#pragma once

#include "lens_model.h"
#include "scene_renderer.h"

namespace LumivexSim {

// A floor, a back wall and a side wall, a box standing on the floor and a sphere.
Scene makeRoomScene(const LensModel& lens);

// A printed checkerboard in front of a dark wall, moving through a set of poses.
Scene makeCheckerboardScene(const LensModel& lens);

// The checkerboard's layout: inner corners, square size and the frames each pose is held.
constexpr int kBoardInnerColumns = 7, kBoardInnerRows = 5;
constexpr double kBoardSquare = 0.05;
constexpr uint64_t kFramesPerPose = 8;

}  // namespace LumivexSim
