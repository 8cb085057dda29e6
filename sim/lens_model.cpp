#include "lens_model.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace LumivexSim {

void distortPoint(const LensModel& l, double x, double y, double& u, double& v) {
    const double r2 = x * x + y * y;
    const double radial = 1.0 + r2 * (l.k1 + r2 * (l.k2 + r2 * l.k3));
    const double xd = x * radial + 2.0 * l.p1 * x * y + l.p2 * (r2 + 2.0 * x * x);
    const double yd = y * radial + l.p1 * (r2 + 2.0 * y * y) + 2.0 * l.p2 * x * y;
    u = l.fx * xd + l.cx;
    v = l.fy * yd + l.cy;
}

bool undistortPixel(const LensModel& l, double u, double v, double& x, double& y) {
    // Newton's method on distort(x, y) = (u, v), from the distorted point.
    x = (u - l.cx) / l.fx;
    y = (v - l.cy) / l.fy;
    for (int i = 0; i < 50; ++i) {
        double pu, pv;
        distortPoint(l, x, y, pu, pv);
        const double eu = (pu - u) / l.fx, ev = (pv - v) / l.fy;
        if (std::fabs(eu) < 1e-15 && std::fabs(ev) < 1e-15) return true;
        // The Jacobian of the normalised distortion, by central differences.
        const double h = 1e-7;
        double a[2][2];
        for (int k = 0; k < 2; ++k) {
            double u1, v1, u0, v0;
            distortPoint(l, x + (k == 0 ? h : 0), y + (k == 1 ? h : 0), u1, v1);
            distortPoint(l, x - (k == 0 ? h : 0), y - (k == 1 ? h : 0), u0, v0);
            a[0][k] = (u1 - u0) / (2 * h * l.fx);
            a[1][k] = (v1 - v0) / (2 * h * l.fy);
        }
        const double det = a[0][0] * a[1][1] - a[0][1] * a[1][0];
        if (!(std::fabs(det) > 1e-9)) return false;
        x -= (a[1][1] * eu - a[0][1] * ev) / det;
        y -= (a[0][0] * ev - a[1][0] * eu) / det;
        if (!std::isfinite(x) || !std::isfinite(y)) return false;
    }
    double pu, pv;
    distortPoint(l, x, y, pu, pv);
    return std::fabs(pu - u) < 1e-9 && std::fabs(pv - v) < 1e-9;
}

namespace {
bool numberAfterKey(const std::string& text, const char* key, double& value) {
    const std::string quoted = std::string("\"") + key + "\"";
    size_t at = text.find(quoted);
    if (at == std::string::npos) return false;
    at = text.find(':', at + quoted.size());
    if (at == std::string::npos) return false;
    const char* start = text.c_str() + at + 1;
    char* end = nullptr;
    value = std::strtod(start, &end);
    return end != start && std::isfinite(value);
}

// A lens maps the picture one to one when every pixel corner undistorts and
// the undistorted corners keep their order along each line and column.
bool mapsThePicture(const LensModel& l) {
    constexpr int kW = 240, kH = 180;
    std::vector<double> xs(kW + 1), ys(kW + 1);
    for (int v = 0; v <= kH; v += 10) {
        for (int u = 0; u <= kW; ++u)
            if (!undistortPixel(l, u - 0.5, v - 0.5, xs[size_t(u)], ys[size_t(u)])) return false;
        for (int u = 1; u <= kW; ++u)
            if (!(xs[size_t(u)] > xs[size_t(u) - 1])) return false;
    }
    return true;
}
}  // namespace

bool parseLens(const std::string& text, LensModel& lens, std::string& error) {
    LensModel l;
    double* fields[9] = {&l.fx, &l.fy, &l.cx, &l.cy, &l.k1, &l.k2, &l.p1, &l.p2, &l.k3};
    std::vector<std::string> parts;
    std::stringstream split(text);
    for (std::string part; std::getline(split, part, '/');) parts.push_back(part);
    bool numbers = parts.size() == 9;
    for (size_t i = 0; numbers && i < 9; ++i) {
        char* end = nullptr;
        *fields[i] = std::strtod(parts[i].c_str(), &end);
        numbers = !parts[i].empty() && *end == '\0' && std::isfinite(*fields[i]);
    }
    if (!numbers) {
        std::ifstream file(text);
        if (!file) {
            error = "lens " + text + ": neither fx/fy/cx/cy/k1/k2/p1/p2/k3 nor a lens file that can be read";
            return false;
        }
        std::stringstream content;
        content << file.rdbuf();
        const char* keys[9] = {"fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2", "k3"};
        for (int i = 0; i < 9; ++i)
            if (!numberAfterKey(content.str(), keys[i], *fields[i])) {
                error = "lens file " + text + ": no number for \"" + keys[i] + "\"";
                return false;
            }
    }
    if (!(l.fx >= 10 && l.fx <= 10000 && l.fy >= 10 && l.fy <= 10000 && l.cx >= 0 && l.cx <= 240 && l.cy >= 0 &&
          l.cy <= 180)) {
        error = "lens " + text + ": fx and fy must be 10 ... 10000 pixels, cx 0 ... 240 and cy 0 ... 180";
        return false;
    }
    if (!mapsThePicture(l)) {
        error = "lens " + text + ": its distortion folds the picture over (no one-to-one directions)";
        return false;
    }
    lens = l;
    return true;
}

}  // namespace LumivexSim
