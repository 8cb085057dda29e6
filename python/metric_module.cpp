// The LumivexMetric module: lenses, per-pixel rays, point clouds in metres
// with validity masks, PLY files. Argument conversion and copies only; the
// work is the metric library's, done without holding the interpreter.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "lens.h"
#include "pixel_rays.h"
#include "ply_file.h"
#include "point_cloud.h"

namespace py = pybind11;
using namespace Lumivex;

namespace {

constexpr ssize_t kH = kLensHeight, kW = kLensWidth;
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

std::string pathOf(const py::object& path) {
    return py::str(py::module_::import("os").attr("fsdecode")(py::module_::import("os").attr("fspath")(path)));
}

[[noreturn]] void raiseOsError(int error, const std::string& path) {
    errno = error != 0 ? error : EIO;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

// A picture of the camera: (180, 240), or its 43,200 pixels in a row.
FloatArray picture(const py::handle& value, const char* name) {
    FloatArray a = FloatArray::ensure(value);
    if (!a) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be an array of numbers");
    }
    const bool image = a.ndim() == 2 && a.shape(0) == kH && a.shape(1) == kW;
    const bool row = a.ndim() == 1 && a.shape(0) == kH * kW;
    if (!image && !row) throw py::value_error(std::string(name) + " must be a (180, 240) picture of the camera");
    return a;
}

std::shared_ptr<const PixelRays> raysOf(const Lens& lens) {
    std::shared_ptr<const PixelRays> rays;
    {
        py::gil_scoped_release unlocked;
        rays = PixelRays::of(lens);
    }
    if (!rays) {
        std::string why;
        checkLens(lens, why);
        throw py::value_error("the lens cannot be used: " + why);
    }
    return rays;
}

std::string reprOf(const Lens& l) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "Lens(fx=%.6g, fy=%.6g, cx=%.6g, cy=%.6g, k1=%.6g, k2=%.6g, p1=%.6g, p2=%.6g, k3=%.6g)", l.fx, l.fy,
                  l.cx, l.cy, l.k1, l.k2, l.p1, l.p2, l.k3);
    return text;
}

namespace doc {
constexpr const char* kModule = R"(Metric 3-D for the Lumivex depth camera.

A depth frame holds each pixel's distance along the ray it sees (radial
distance, metres). With the camera's lens those distances become points in
metres: point_cloud(depth, lens) multiplies every distance with its pixel's
unit ray. Lens.nominal() is the lens the camera is built with; a lens file
from lumivex-calibrate is the one to use for accurate points.

The camera frame: x to the right, y down, z forward along the optical axis.)";
constexpr const char* kLens = R"(A pinhole lens with five distortion coefficients.

fx, fy, cx, cy in pixels (pixel centres at whole coordinates); k1, k2, k3
radial and p1, p2 tangential distortion in the usual convention, for the
camera's 240 x 180 picture.)";
constexpr const char* kNominal = R"(The lens the camera is built with.

Nominal figures: good for a first look; calibrate (lumivex-calibrate) for accurate points.)";
constexpr const char* kLoad = R"(Reads a lens file (JSON, as save() and lumivex-calibrate write it).

Raises OSError when the file cannot be read and ValueError when it holds no usable lens.)";
constexpr const char* kSave = R"(Writes the lens to a file (JSON): whole, or not at all.

Raises ValueError for a lens that cannot be used and OSError when the file cannot be written.)";
constexpr const char* kRays = R"(Each pixel's unit ray: float32 (180, 240, 3), read-only.

Undistorted once per lens and kept; a point is its pixel's radial distance times its ray.)";
constexpr const char* kPointCloud = R"(Points in metres from a depth picture.

depth: a (180, 240) depth picture (the camera's DEPTH data, metres).
lens: the Lens the picture was taken through.
amplitude: the frame's amplitude picture, for the amplitude masks.
min_amplitude: leave out pixels whose amplitude is below this.
flying_pixel: leave out flying pixels: along a line (across, down or a
    diagonal) the depth differs from both neighbours by more than this
    fraction of its own and continues neither neighbour's slope within it,
    as pixels mixing two surfaces at a depth edge do (a surface seen at a
    grazing angle steps evenly and is kept); 0.02 to 0.05 suits most scenes.
no_signal: leave out pixels with depth 0 and amplitude 0 (no signal).

Every mask is off unless asked for. Returns PointCloud(points, valid):
points float32 (180, 240, 3), x y z in metres, NaN where a mask leaves the
pixel out; valid a (180, 240) bool array, True for the points kept. The
depth picture is never changed.)";
constexpr const char* kWritePly = R"(Writes points as a PLY file (binary, little-endian).

points: float32 (..., 3) coordinates in metres (a point_cloud's points);
points with a NaN or infinite coordinate are not written.
amplitude: the same pixels' amplitude, written as the property "amplitude".
The file is whole or not there (an existing file is replaced only by a whole
one). Returns the number of points written.)";
}  // namespace doc

}  // namespace

PYBIND11_MODULE(LumivexMetric, m) {
    m.doc() = doc::kModule;

    py::class_<Lens>(m, "Lens", doc::kLens)
        .def(py::init([](double fx, double fy, double cx, double cy, double k1, double k2, double p1, double p2,
                         double k3, const std::string& description) {
                 Lens l;
                 l.fx = fx, l.fy = fy, l.cx = cx, l.cy = cy, l.k1 = k1, l.k2 = k2, l.p1 = p1, l.p2 = p2, l.k3 = k3;
                 l.description = description;
                 return l;
             }),
             py::arg("fx"), py::arg("fy"), py::arg("cx"), py::arg("cy"), py::arg("k1") = 0.0, py::arg("k2") = 0.0,
             py::arg("p1") = 0.0, py::arg("p2") = 0.0, py::arg("k3") = 0.0, py::arg("description") = "")
        .def_readwrite("fx", &Lens::fx, "Focal length across, pixels.")
        .def_readwrite("fy", &Lens::fy, "Focal length down, pixels.")
        .def_readwrite("cx", &Lens::cx, "Principal point across, pixels.")
        .def_readwrite("cy", &Lens::cy, "Principal point down, pixels.")
        .def_readwrite("k1", &Lens::k1, "Radial distortion, r^2 term.")
        .def_readwrite("k2", &Lens::k2, "Radial distortion, r^4 term.")
        .def_readwrite("p1", &Lens::p1, "Tangential distortion p1.")
        .def_readwrite("p2", &Lens::p2, "Tangential distortion p2.")
        .def_readwrite("k3", &Lens::k3, "Radial distortion, r^6 term.")
        .def_readwrite("description", &Lens::description, "Where the figures come from.")
        .def_static("nominal", &Lens::nominal, doc::kNominal)
        .def_static(
            "load",
            [](const py::object& path) {
                const std::string file = pathOf(path);
                if (!std::ifstream(file)) raiseOsError(errno, file);
                Lens lens;
                std::string error;
                if (!loadLens(file, lens, error)) throw py::value_error(error);
                return lens;
            },
            py::arg("path"), doc::kLoad)
        .def(
            "save",
            [](const Lens& lens, const py::object& path) {
                const std::string file = pathOf(path);
                std::string why;
                if (!checkLens(lens, why)) throw py::value_error("the lens cannot be used: " + why);
                std::string error;
                errno = 0;
                if (!saveLens(file, lens, error)) raiseOsError(errno, file);
            },
            py::arg("path"), doc::kSave)
        .def(
            "rays",
            [](const Lens& lens) {
                const auto rays = raysOf(lens);
                // A view of the kept rays, which the array keeps alive.
                auto keeper = new std::shared_ptr<const PixelRays>(rays);
                py::capsule owner(keeper, [](void* p) { delete static_cast<std::shared_ptr<const PixelRays>*>(p); });
                py::array_t<float> out({kH, kW, ssize_t(3)}, rays->data(), owner);
                py::detail::array_proxy(out.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
                return out;
            },
            doc::kRays)
        .def(
            "to_json", [](const Lens& lens) { return lensToJson(lens); },
            "The lens as a lens file's text (JSON), as save() writes it.")
        .def_static(
            "from_json",
            [](const std::string& text) {
                Lens lens;
                std::string error;
                if (!lensFromJson(text, lens, error)) throw py::value_error(error);
                return lens;
            },
            py::arg("text"),
            "A lens from a lens file's text (JSON), such as a recording's stored lens.\n\n"
            "Raises ValueError when the text holds no usable lens.")
        .def("__eq__",
             [](const Lens& a, const py::object& other) {
                 if (!py::isinstance<Lens>(other)) return false;
                 const Lens& b = other.cast<const Lens&>();
                 return a.fx == b.fx && a.fy == b.fy && a.cx == b.cx && a.cy == b.cy && a.k1 == b.k1 &&
                        a.k2 == b.k2 && a.p1 == b.p1 && a.p2 == b.p2 && a.k3 == b.k3;
             })
        .def("__repr__", &reprOf);

    py::object namedtuple = py::module_::import("collections").attr("namedtuple");
    py::object cloudType = namedtuple("PointCloud", py::make_tuple("points", "valid"));
    cloudType.attr("__module__") = "LumivexMetric";
    cloudType.attr("__doc__") = "A point cloud: points float32 (180, 240, 3), NaN where left out; valid bool (180, 240).";
    m.attr("PointCloud") = cloudType;

    m.def(
        "point_cloud",
        [cloudType](const py::object& depth, const Lens& lens, const py::object& amplitude,
                    std::optional<float> minAmplitude, std::optional<float> flyingPixel, bool noSignal) {
            const FloatArray d = picture(depth, "depth");
            FloatArray a;
            if (!amplitude.is_none()) a = picture(amplitude, "amplitude");
            if ((minAmplitude || noSignal) && amplitude.is_none())
                throw py::value_error("min_amplitude and no_signal need the amplitude picture (amplitude=...)");
            if (minAmplitude && !std::isfinite(*minAmplitude))
                throw py::value_error("min_amplitude must be a number");
            if (flyingPixel && !(*flyingPixel > 0 && std::isfinite(*flyingPixel)))
                throw py::value_error("flying_pixel must be a fraction of the depth above 0 (such as 0.03)");
            const auto rays = raysOf(lens);
            CloudMasks masks;
            if (minAmplitude) masks.minAmplitude = *minAmplitude;
            if (flyingPixel) masks.flyingPixel = *flyingPixel;
            masks.noSignal = noSignal;
            py::array_t<float> points({kH, kW, ssize_t(3)});
            py::array_t<bool> valid({kH, kW});
            {
                const float* depthData = d.data();
                const float* amplitudeData = amplitude.is_none() ? nullptr : a.data();
                float* out = points.mutable_data();
                uint8_t* keep = reinterpret_cast<uint8_t*>(valid.mutable_data());
                py::gil_scoped_release unlocked;
                pointCloud(depthData, amplitudeData, *rays, masks, out, keep);
            }
            return cloudType(points, valid);
        },
        py::arg("depth"), py::arg("lens"), py::arg("amplitude") = py::none(), py::arg("min_amplitude") = py::none(),
        py::arg("flying_pixel") = py::none(), py::arg("no_signal") = false, doc::kPointCloud);

    m.def(
        "write_ply",
        [](const py::object& path, const py::object& points, const py::object& amplitude) {
            const std::string file = pathOf(path);
            FloatArray p = FloatArray::ensure(points);
            if (!p) {
                PyErr_Clear();
                throw py::type_error("points must be an array of numbers");
            }
            if (p.ndim() < 1 || p.shape(p.ndim() - 1) != 3)
                throw py::value_error("points must be an array of shape (..., 3)");
            const size_t count = size_t(p.size() / 3);
            FloatArray a;
            if (!amplitude.is_none()) {
                a = FloatArray::ensure(amplitude);
                if (!a) {
                    PyErr_Clear();
                    throw py::type_error("amplitude must be an array of numbers");
                }
                if (size_t(a.size()) != count)
                    throw py::value_error("amplitude must have one value a point (" + std::to_string(count) +
                                          "), not " + std::to_string(a.size()));
            }
            size_t written = 0;
            std::string error;
            bool ok;
            int failure = 0;
            {
                const float* pointData = p.data();
                const float* amplitudeData = amplitude.is_none() ? nullptr : a.data();
                py::gil_scoped_release unlocked;
                errno = 0;
                ok = writePly(file, pointData, amplitudeData, count, written, error);
                failure = errno;
            }
            if (!ok) raiseOsError(failure, file);
            return written;
        },
        py::arg("path"), py::arg("points"), py::arg("amplitude") = py::none(), doc::kWritePly);
}
