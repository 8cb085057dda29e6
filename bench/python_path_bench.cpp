// The Python-visible path on the virtual camera: requestFrame -> getDepthData
// -> releaseFrame per frame (CPU time of the calling thread), and the three
// array copies on a held frame.
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include "vkernel_control.h"

namespace py = pybind11;

namespace {

py::module_& module() {
    static py::scoped_interpreter interpreter;
    static py::module_ m = [] {
        py::module_::import("sys").attr("path").attr("insert")(0, LUMIVEX_PYTHON_MODULE_DIR);
        return py::module_::import("LumivexDepthCamera");
    }();
    return m;
}

py::object startedCamera(const char* output) {
    lumivex_vk_configure("platform=rpi5,fps=120");
    py::module_& m = module();
    py::object camera = m.attr("LumivexCamera")();
    camera.attr("open")(m.attr("TOFConnect").attr("CSI"), 0);
    camera.attr("start")(m.attr("TOFOutput").attr(output));
    return camera;
}

void BM_PythonFrameTrip(benchmark::State& state) {
    py::object camera = startedCamera("DEPTH");
    for (auto _ : state) {
        py::object frame = camera.attr("requestFrame")(1000);
        py::object depth = frame.attr("getDepthData")();
        camera.attr("releaseFrame")(frame);
        benchmark::DoNotOptimize(depth.ptr());
    }
    camera.attr("stop")();
    camera.attr("close")();
}
BENCHMARK(BM_PythonFrameTrip)->Unit(benchmark::kMicrosecond)->Iterations(120);

void copies(benchmark::State& state, const char* output, const char* method) {
    py::object camera = startedCamera(output);
    py::object frame = camera.attr("requestFrame")(1000);
    py::object copy = frame.attr(method);
    for (auto _ : state) benchmark::DoNotOptimize(copy().ptr());
    camera.attr("releaseFrame")(frame);
    camera.attr("stop")();
    camera.attr("close")();
}
void BM_GetRawData(benchmark::State& s) { copies(s, "RAW", "getRawData"); }
void BM_GetDepthData(benchmark::State& s) { copies(s, "DEPTH", "getDepthData"); }
void BM_GetAmplitudeData(benchmark::State& s) { copies(s, "DEPTH", "getAmplitudeData"); }
BENCHMARK(BM_GetRawData)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetDepthData)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetAmplitudeData)->Unit(benchmark::kMicrosecond);

}  // namespace
