#include "ray_cast_scenes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>

namespace LumivexSim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNoHit = std::numeric_limits<double>::infinity();

struct Vec {
    double x, y, z;
};
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// A rotation as its three rows: local = R (p - origin), world = R^T local.
struct Rotation {
    Vec row[3];
    Vec toLocal(Vec v) const { return {dot(row[0], v), dot(row[1], v), dot(row[2], v)}; }
};

// Rotation by `ay` about the vertical (y) axis after `ax` about x and `az` about z (degrees).
Rotation rotation(double ax, double ay, double az) {
    const double a = ax * kPi / 180, b = ay * kPi / 180, c = az * kPi / 180;
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b), cc = std::cos(c),
                 sc = std::sin(c);
    // World-from-local M = Ry(b) Rx(a) Rz(c); the rows of R are M's columns.
    const double rz[3][3] = {{cc, -sc, 0}, {sc, cc, 0}, {0, 0, 1}};
    const double rx[3][3] = {{1, 0, 0}, {0, ca, -sa}, {0, sa, ca}};
    const double ry[3][3] = {{cb, 0, sb}, {0, 1, 0}, {-sb, 0, cb}};
    double t[3][3] = {}, m[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) t[i][j] += rx[i][k] * rz[k][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) m[i][j] += ry[i][k] * t[k][j];
    Rotation r;
    for (int i = 0; i < 3; ++i) r.row[i] = {m[0][i], m[1][i], m[2][i]};
    return r;
}

// What a ray from the camera centre meets first: its distance along the unit
// ray, which surface, and how well it reflects there.
struct Hit {
    double t = kNoHit;
    int surface = -1;
    double reflectivity = 0;
};
using Caster = std::function<Hit(Vec)>;

void closer(Hit& best, double t, int surface, double reflectivity) {
    if (t > 1e-9 && t < best.t) best = Hit{t, surface, reflectivity};
}

// The plane n . p = offset.
double planeHit(Vec n, double offset, Vec ray) {
    const double along = dot(n, ray);
    return std::fabs(along) < 1e-12 ? kNoHit : offset / along;
}

double sphereHit(Vec centre, double radius, Vec ray) {
    const double b = dot(ray, centre), c = dot(centre, centre) - radius * radius;
    const double disc = b * b - c;
    if (disc < 0) return kNoHit;
    const double t = b - std::sqrt(disc);
    return t > 0 ? t : kNoHit;
}

// An oriented box: the ray in the box's own frame, through the three slabs.
double boxHit(Vec centre, const Rotation& r, Vec half, Vec ray) {
    const Vec o = r.toLocal(Vec{0, 0, 0} - centre), d = r.toLocal(ray);
    double near = -kNoHit, far = kNoHit;
    const double os[3] = {o.x, o.y, o.z}, ds[3] = {d.x, d.y, d.z}, hs[3] = {half.x, half.y, half.z};
    for (int k = 0; k < 3; ++k) {
        if (std::fabs(ds[k]) < 1e-15) {
            if (std::fabs(os[k]) > hs[k]) return kNoHit;
            continue;
        }
        double t0 = (-hs[k] - os[k]) / ds[k], t1 = (hs[k] - os[k]) / ds[k];
        if (t0 > t1) std::swap(t0, t1);
        near = std::max(near, t0), far = std::min(far, t1);
    }
    return near <= far && near > 0 ? near : kNoHit;
}

Vec unitRay(double x, double y) {
    const double n = std::sqrt(x * x + y * y + 1.0);
    return {x / n, y / n, 1.0 / n};
}

// Renders a scene through `lens`: the centre ray's length per pixel, and
// over each footprint whose corners disagree (another surface, another
// print colour) a grid of sub-samples whose reflectivities average on one
// surface and whose returns mix across surfaces.
Scene rayCast(const std::string& name, const LensModel& lens, const Caster& cast) {
    constexpr int kGrid = 8;  // sub-samples a side
    Scene s;
    s.name = name;
    s.distance.assign(kPixels, 0.0f);
    s.reflectivity.assign(kPixels, 0.0f);
    // Undistorted directions of the pixel corners (u +- 0.5, v +- 0.5).
    const int cw = kWidth + 1, ch = kHeight + 1;
    std::vector<double> cornerX(size_t(cw * ch)), cornerY(size_t(cw * ch));
    std::vector<Hit> cornerHit(size_t(cw * ch));
    for (int v = 0; v < ch; ++v)
        for (int u = 0; u < cw; ++u) {
            const size_t k = size_t(v * cw + u);
            undistortPixel(lens, u - 0.5, v - 0.5, cornerX[k], cornerY[k]);
            cornerHit[k] = cast(unitRay(cornerX[k], cornerY[k]));
        }
    auto key = [](const Hit& h) { return std::make_pair(h.surface, h.reflectivity); };
    std::vector<Hit> subs(kGrid * kGrid);
    for (int v = 0; v < kHeight; ++v)
        for (int u = 0; u < kWidth; ++u) {
            const int i = v * kWidth + u;
            double x, y;
            undistortPixel(lens, u, v, x, y);
            const Hit centre = cast(unitRay(x, y));
            s.distance[size_t(i)] = float(centre.t);
            s.reflectivity[size_t(i)] = float(centre.reflectivity);
            const size_t c00 = size_t(v * cw + u), c10 = c00 + 1, c01 = c00 + size_t(cw), c11 = c01 + 1;
            const auto k0 = key(cornerHit[c00]);
            if (k0 == key(cornerHit[c10]) && k0 == key(cornerHit[c01]) && k0 == key(cornerHit[c11]) &&
                k0 == key(centre))
                continue;
            // Sub-sample directions by bilinear interpolation between the
            // corners (the distortion is smooth far below a pixel).
            bool oneSurface = true;
            double reflectivity = 0;
            for (int b = 0; b < kGrid; ++b)
                for (int a = 0; a < kGrid; ++a) {
                    const double fa = (a + 0.5) / kGrid, fb = (b + 0.5) / kGrid;
                    auto mix = [&](const std::vector<double>& c) {
                        return (1 - fb) * ((1 - fa) * c[c00] + fa * c[c10]) + fb * ((1 - fa) * c[c01] + fa * c[c11]);
                    };
                    Hit& h = subs[size_t(b * kGrid + a)];
                    h = cast(unitRay(mix(cornerX), mix(cornerY)));
                    oneSurface = oneSurface && h.surface == centre.surface;
                    reflectivity += h.reflectivity;
                }
            if (oneSurface) {
                s.reflectivity[size_t(i)] = float(reflectivity / (kGrid * kGrid));
                continue;
            }
            MixedPixel m{i, {}};
            m.returns.reserve(subs.size());
            for (const Hit& h : subs) m.returns.push_back(Return{float(h.t), float(h.reflectivity)});
            s.mixed.push_back(std::move(m));
        }
    return s;
}

// The checkerboard's poses: where its centre is and how it is turned.
struct Pose {
    Vec centre;
    double ax, ay, az;  // degrees about x, y, z
};
constexpr Pose kPoses[] = {
    {{0.00, 0.00, 0.85}, 0, 0, 0},      {{0.00, 0.00, 0.75}, 45, 0, 0},     {{0.00, 0.00, 0.75}, 0, 45, 0},
    {{0.00, 0.00, 0.75}, -45, 0, 0},    {{0.00, 0.00, 0.75}, 0, -45, 0},    {{-0.26, -0.18, 0.95}, 15, 25, 5},  {{0.26, -0.18, 0.95}, 15, -25, -5},
    {{-0.26, 0.18, 0.95}, -15, 25, 0},  {{0.26, 0.18, 0.95}, -15, -25, 5},  {{0.00, -0.20, 1.00}, 30, 0, 0},
    {{0.00, 0.20, 1.00}, -30, 0, -5},   {{-0.30, 0.00, 1.00}, 0, 35, 0},    {{0.30, 0.00, 1.00}, 0, -35, 3},
    {{-0.15, -0.08, 0.80}, 20, 20, 10}, {{0.15, 0.08, 0.80}, -20, -20, -10}, {{0.00, 0.00, 1.20}, 10, -10, 20},
    {{-0.35, -0.22, 1.15}, 5, 30, 0},   {{0.35, 0.22, 1.15}, -5, -30, 0},   {{0.35, -0.22, 1.15}, 25, -15, 0},
    {{-0.35, 0.22, 1.15}, -25, 15, 0},  {{-0.50, -0.31, 1.10}, 20, 30, 0},  {{0.50, -0.31, 1.10}, 20, -30, 0},
    {{0.50, 0.31, 1.10}, -20, -30, 0},  {{-0.50, 0.31, 1.10}, -20, 30, 0},
};

}  // namespace

Scene makeRoomScene(const LensModel& lens) {
    // Surfaces: 0 back wall z = 2.6, 1 floor y = 0.9, 2 side wall x = -1.4,
    // 3 the box, 4 the sphere.
    const Vec boxCentre{-0.45, 0.6, 1.9}, boxHalf{0.25, 0.3, 0.2}, sphereCentre{0.55, 0.05, 1.7};
    const Rotation boxTurn = rotation(0, 30, 0);
    return rayCast("room", lens, [=](Vec ray) {
        Hit best;
        closer(best, planeHit({0, 0, 1}, 2.6, ray), 0, 0.6);
        closer(best, planeHit({0, 1, 0}, 0.9, ray), 1, 0.4);
        closer(best, planeHit({1, 0, 0}, -1.4, ray), 2, 0.5);
        closer(best, boxHit(boxCentre, boxTurn, boxHalf, ray), 3, 0.9);
        closer(best, sphereHit(sphereCentre, 0.3, ray), 4, 0.5);
        return best;
    });
}

Scene makeCheckerboardScene(const LensModel& lens) {
    // The board: 8 x 6 squares of 5 cm with a white margin of 4 cm, dark and
    // light print (reflectivity 0.02 and 0.15: never brighter than the sensor takes), in front of a wall at 2.5 m.
    constexpr int squaresX = kBoardInnerColumns + 1, squaresY = kBoardInnerRows + 1;
    constexpr double margin = 0.04, dark = 0.02, light = 0.15;
    const double halfX = squaresX * kBoardSquare / 2, halfY = squaresY * kBoardSquare / 2;
    auto views = std::make_shared<std::vector<Scene>>();
    for (const Pose& pose : kPoses) {
        const Rotation turn = rotation(pose.ax, pose.ay, pose.az);
        const Vec normal = Vec{turn.row[2].x, turn.row[2].y, turn.row[2].z};
        const double offset = dot(normal, pose.centre);
        views->push_back(rayCast("checkerboard", lens, [=](Vec ray) {
            Hit best;
            closer(best, planeHit({0, 0, 1}, 2.5, ray), 0, 0.15);
            const double t = planeHit(normal, offset, ray);
            if (t > 0 && t < best.t) {
                const Vec local = turn.toLocal(Vec{ray.x * t, ray.y * t, ray.z * t} - pose.centre);
                if (std::fabs(local.x) <= halfX + margin && std::fabs(local.y) <= halfY + margin) {
                    double reflectivity = light;
                    if (std::fabs(local.x) < halfX && std::fabs(local.y) < halfY) {
                        const int a = int(std::floor((local.x + halfX) / kBoardSquare));
                        const int b = int(std::floor((local.y + halfY) / kBoardSquare));
                        reflectivity = (a + b) % 2 == 0 ? dark : light;
                    }
                    best = Hit{t, 1, reflectivity};
                }
            }
            return best;
        }));
    }
    Scene s = (*views)[0];
    s.views = views;
    s.framesPerView = kFramesPerPose;
    return s;
}

}  // namespace LumivexSim
