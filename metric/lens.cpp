#include "lens.h"

#include <cmath>

namespace Lumivex {

Lens Lens::nominal() {
    Lens l;
    l.fx = 178.0, l.fy = 178.0, l.cx = 121.3, l.cy = 88.6;
    l.k1 = -0.12, l.k2 = 0.03, l.p1 = 0.0005, l.p2 = -0.0003, l.k3 = 0.0;
    l.description = "nominal: the lens as designed; calibrate for accuracy";
    return l;
}

void projectPoint(const Lens& l, double x, double y, double& u, double& v) {
    const double r2 = x * x + y * y;
    const double radial = 1.0 + r2 * (l.k1 + r2 * (l.k2 + r2 * l.k3));
    u = l.fx * (x * radial + 2.0 * l.p1 * x * y + l.p2 * (r2 + 2.0 * x * x)) + l.cx;
    v = l.fy * (y * radial + l.p1 * (r2 + 2.0 * y * y) + 2.0 * l.p2 * x * y) + l.cy;
}

bool undistortPixel(const Lens& l, double u, double v, double& x, double& y) {
    // Newton's method with the distortion's exact Jacobian, from the
    // distorted point; settles in a few steps for any lens that does not fold.
    const double xd = (u - l.cx) / l.fx, yd = (v - l.cy) / l.fy;
    x = xd, y = yd;
    for (int step = 0; step < 40; ++step) {
        const double r2 = x * x + y * y;
        const double radial = 1.0 + r2 * (l.k1 + r2 * (l.k2 + r2 * l.k3));
        const double dRadial = l.k1 + r2 * (2.0 * l.k2 + 3.0 * r2 * l.k3);  // d radial / d r2
        const double fx = x * radial + 2.0 * l.p1 * x * y + l.p2 * (r2 + 2.0 * x * x) - xd;
        const double fy = y * radial + l.p1 * (r2 + 2.0 * y * y) + 2.0 * l.p2 * x * y - yd;
        if (std::fabs(fx) < 1e-15 && std::fabs(fy) < 1e-15) return true;
        const double a = radial + 2.0 * x * x * dRadial + 2.0 * l.p1 * y + 6.0 * l.p2 * x;
        const double b = 2.0 * x * y * dRadial + 2.0 * l.p1 * x + 2.0 * l.p2 * y;
        const double c = 2.0 * x * y * dRadial + 2.0 * l.p1 * x + 2.0 * l.p2 * y;
        const double d = radial + 2.0 * y * y * dRadial + 6.0 * l.p1 * y + 2.0 * l.p2 * x;
        const double det = a * d - b * c;
        if (!(std::fabs(det) > 1e-12)) return false;
        x -= (d * fx - b * fy) / det;
        y -= (a * fy - c * fx) / det;
        if (!std::isfinite(x) || !std::isfinite(y)) return false;
    }
    double u2, v2;
    projectPoint(l, x, y, u2, v2);
    return std::fabs(u2 - u) < 1e-9 && std::fabs(v2 - v) < 1e-9;
}

bool checkLens(const Lens& l, std::string& why) {
    for (double value : {l.fx, l.fy, l.cx, l.cy, l.k1, l.k2, l.p1, l.p2, l.k3})
        if (!std::isfinite(value)) {
            why = "a figure of the lens is not a number";
            return false;
        }
    if (!(l.fx > 0 && l.fy > 0)) {
        why = "fx and fy must be above 0";
        return false;
    }
    // Every pixel corner must undistort, in order along each line and column.
    double previousRow[kLensWidth + 1];
    for (int v = 0; v <= kLensHeight; ++v) {
        double previousX = -INFINITY;
        for (int u = 0; u <= kLensWidth; ++u) {
            double x, y;
            if (!undistortPixel(l, u - 0.5, v - 0.5, x, y) || !(x > previousX) ||
                (v > 0 && !(y > previousRow[u]))) {
                why = "its distortion folds the picture over: some pixels have no direction of their own";
                return false;
            }
            previousX = x;
            previousRow[u] = y;
        }
    }
    return true;
}

}  // namespace Lumivex
