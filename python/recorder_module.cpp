// _lumivex_recorder: records a LumivexDepthCamera session's raw phase frames
// while the program uses the camera as usual (lumivex_recording.Recorder).
// The frames come from the engine's capture tap, before any conversion.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "camera_description.h"
#include "lens.h"
#include "recording.h"
#include "tof_camera.h"

namespace py = pybind11;

namespace {

// Shared by the recorder and the camera's tap, which may outlive it.
struct RecordingState {
    std::mutex mutex;
    LumivexRecording::Writer writer;
    bool active = false;
    std::string path, error;
    uint64_t frames = 0;
};

// The cameras that have a recorder: a camera hands its frames to one (a
// second would silently take them from the first). Touched with the GIL held.
std::set<const Lumivex::LumivexTOFCamera*>& camerasRecorded() {
    static std::set<const Lumivex::LumivexTOFCamera*> cameras;
    return cameras;
}

class Recorder {
public:
    explicit Recorder(Lumivex::LumivexTOFCamera& cameraRef) : camera(cameraRef) {
        // The camera takes a recorder at its start: one made later would record nothing.
        if (camera.isStreaming())
            throw py::value_error("create the Recorder before the camera's start() (stop() it first): "
                                  "a started camera hands its frames to no new recorder");
        if (!camerasRecorded().insert(&camera).second)
            throw py::value_error("this camera already has a Recorder: use that one (one recorder per camera)");
        std::shared_ptr<RecordingState> shared = state;
        camera.setCaptureTap([shared](const uint8_t* raw, uint64_t stamp, int32_t range, float frequency) {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (!shared->active) return;
            if (shared->writer.append(stamp, range, frequency, raw, Lumivex::kPhasePlaneBytes, Lumivex::kPhaseCount)) {
                ++shared->frames;
            } else {  // a full disk, say: the recording ends with the frames before
                shared->error = shared->writer.error();
                shared->active = false;
                shared->writer.close();
            }
        });
    }

    ~Recorder() {
        camera.setCaptureTap(nullptr);  // from the next start on, no frames go to a recorder that is gone
        camerasRecorded().erase(&camera);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void start(const std::string& path, int32_t device, const std::string& mode, const py::object& lens) {
        if (mode != "depth" && mode != "raw") throw py::value_error("mode must be 'depth' or 'raw'");
        // The lens goes in as a lens file's text, checked as any lens file is.
        std::string lensJson;
        if (!lens.is_none()) {
            if (!py::hasattr(lens, "to_json")) throw py::type_error("lens must be a LumivexMetric.Lens");
            Lumivex::Lens checked;
            std::string why;
            if (!Lumivex::lensFromJson(lens.attr("to_json")().cast<std::string>(), checked, why))
                throw py::value_error(why);
            lensJson = Lumivex::lensToJson(checked);
        }
        LumivexRecording::Header header;
        for (const auto& field : Lumivex::describeCamera(camera, device, mode == "raw" ? Lumivex::RAW : Lumivex::DEPTH))
            header.set(field.first, field.second);
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->active) throw py::value_error("already recording to " + state->path);
        std::string error;
        if (!state->writer.open(path, header, error)) throw py::value_error(error);
        if (!lensJson.empty() && !state->writer.writeLens(lensJson)) {
            error = path + ": " + state->writer.error();
            state->writer.close();
            throw py::value_error(error);
        }
        state->active = true;
        state->path = path;
        state->error.clear();
        state->frames = 0;
    }

    uint64_t stop() {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->active && !state->writer.close()) state->error = "closing " + state->path + " failed";
        state->active = false;
        return state->frames;
    }

    bool recording() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->active;
    }
    uint64_t frames() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->frames;
    }
    std::optional<std::string> error() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->error.empty() ? std::nullopt : std::optional<std::string>(state->error);
    }

private:
    Lumivex::LumivexTOFCamera& camera;
    std::shared_ptr<RecordingState> state = std::make_shared<RecordingState>();
};

}  // namespace

PYBIND11_MODULE(_lumivex_recorder, m) {
    m.doc() = "The compiled part of lumivex_recording.Recorder.";
    py::class_<Recorder>(m, "Recorder",
                         "Records a camera's raw phase frames while the program uses it.\n\n"
                         "Create it with the LumivexCamera before that camera's start(): from then on the camera hands "
                         "every frame it captures to the recorder, which writes those between start() and stop().")
        .def(py::init([](py::object camera) {
                 // The camera class of the LumivexDepthCamera module (its type is known to every pybind11 module).
                 if (!py::isinstance<Lumivex::LumivexTOFCamera>(camera))
                     throw py::type_error("Recorder needs a LumivexDepthCamera.LumivexCamera");
                 return std::make_unique<Recorder>(camera.cast<Lumivex::LumivexTOFCamera&>());
             }),
             py::arg("camera"), py::keep_alive<1, 2>())
        .def("start", &Recorder::start, py::arg("path"), py::arg("device") = 0, py::arg("mode") = "depth",
             py::arg("lens") = py::none(),
             "Starts writing the frames to a new recording at path (device: the camera's open() index; lens: a "
             "LumivexMetric.Lens stored with the recording, which lumivex-convert --ply then uses).")
        .def("stop", &Recorder::stop, "Ends the recording; returns the frames written.")
        .def_property_readonly("recording", &Recorder::recording, "Whether frames are being written.")
        .def_property_readonly("frames", &Recorder::frames, "Frames written to the current (or last) recording.")
        .def_property_readonly("error", &Recorder::error, "Why writing stopped early, or None.");
}
