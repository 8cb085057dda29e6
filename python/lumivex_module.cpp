// The LumivexDepthCamera module: argument conversion, frame objects and NumPy
// copies around the engine's camera session. No camera logic lives here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "frame_handle.h"
#include "tof_camera.h"
#include "version_check.h"

namespace py = pybind11;
using namespace Lumivex;
using namespace LumivexPython;

namespace {

#define LUMIVEX_STRINGIFY2(x) #x
#define LUMIVEX_STRINGIFY(x) LUMIVEX_STRINGIFY2(x)
constexpr const char* kCompiledVersion = LUMIVEX_STRINGIFY(PY_MAJOR_VERSION) "." LUMIVEX_STRINGIFY(PY_MINOR_VERSION);

// Scoped mirrors of the engine's enumerations: as Python enumerations they
// compare equal only to their own members, never to plain integers.
enum class OutputKind : int32_t { RAW = Lumivex::RAW, AMPLITUDE = Lumivex::AMPLITUDE, DEPTH = Lumivex::DEPTH };
enum class ConnectKind : int32_t { CSI = Lumivex::CSI, USB = Lumivex::USB };
enum class ControlKind : int32_t { RANG = Lumivex::RANG, EXPOSURE = Lumivex::EXPOSURE };

FrameType engine(OutputKind k) { return static_cast<FrameType>(k); }
Connection engine(ConnectKind k) { return static_cast<Connection>(k); }
CameraCtrl engine(ControlKind k) { return static_cast<CameraCtrl>(k); }

constexpr py::ssize_t kRawElements = 172800;
constexpr py::ssize_t kPlaneElements = 43200;

// One Python object per live buffer: requestFrame hands out the same object
// for the same buffer while that object is alive.
class FrameObjects {
public:
    py::object find(LumivexFrameBuffer* buffer) {
        auto it = objects.find(buffer);
        if (it == objects.end()) return py::none();
        py::object alive = it->second();
        if (alive.is_none()) objects.erase(it);
        return alive;
    }
    void remember(LumivexFrameBuffer* buffer, const py::object& object) {
        for (auto it = objects.begin(); it != objects.end();) {  // drop the dead
            it = it->second().is_none() ? objects.erase(it) : std::next(it);
        }
        objects[buffer] = py::weakref(object);
    }

private:
    std::unordered_map<LumivexFrameBuffer*, py::weakref> objects;
};

FrameObjects& frameObjects() {
    static FrameObjects* registry = new FrameObjects();  // lives as long as the interpreter
    return *registry;
}

py::object requestFrame(LumivexTOFCamera& camera, int16_t timeoutMs) {
    // The wait runs without the interpreter lock, so that other Python
    // threads run meanwhile; between its slices the lock is taken back to
    // handle pending signals, so Ctrl-C ends it with KeyboardInterrupt.
    bool signalled = false;
    LumivexFrameBuffer* buffer = nullptr;
    {
        py::gil_scoped_release unlocked;
        buffer = camera.requestFrame(timeoutMs, [&signalled] {
            py::gil_scoped_acquire locked;
            signalled = PyErr_CheckSignals() != 0;
            return signalled;
        });
    }
    if (signalled) {
        if (buffer != nullptr) camera.releaseFrame(buffer);
        throw py::error_already_set();
    }
    if (buffer == nullptr) return py::none();
    py::object existing = frameObjects().find(buffer);
    if (!existing.is_none()) return existing;
    std::shared_ptr<FramePool> pool = camera.poolHolding(buffer);
    py::object object;
    if (dynamic_cast<RawData*>(buffer) != nullptr) {
        object = py::cast(RawHandle{{buffer, pool}});
    } else if (dynamic_cast<DepthData*>(buffer) != nullptr) {
        object = py::cast(DepthHandle{{buffer, pool}});
    } else {
        object = py::cast(FrameHandle{buffer, pool});
    }
    frameObjects().remember(buffer, object);
    return object;
}

template <typename T>
py::array_t<T> planeCopy(const FrameHandle& frame, FrameType type, py::ssize_t elements, py::ssize_t width) {
    const void* plane = frame.lent()->getData(type);
    if (plane == nullptr) throw std::runtime_error("the frame holds no such plane");
    py::array_t<T> array(elements);  // imports NumPy on first use
    std::memcpy(array.mutable_data(), plane, size_t(elements) * sizeof(T));
    array.resize({elements / width, width});
    return array;
}

FrameDataFormat formatCopy(const FrameHandle& frame, FrameType type) {
    FrameDataFormat format{};
    if (frame.lent()->getFormat(type, format) != 0) throw std::runtime_error("the frame holds no such plane");
    return format;
}

// getControl writes one native int32 at the buffer's first byte. The buffer
// must be writable, contiguous (C or Fortran order: its memory is one block
// either way) and at least four bytes long.
void getControl(LumivexTOFCamera& camera, ControlKind ctrl, const py::buffer& target) {
    Py_buffer view;
    if (PyObject_GetBuffer(target.ptr(), &view, PyBUF_ANY_CONTIGUOUS | PyBUF_WRITABLE) != 0) {
        PyErr_Clear();
        throw py::type_error("getControl needs a writable, contiguous buffer of at least 4 bytes");
    }
    const bool bigEnough = view.len >= 4 && PyBuffer_IsContiguous(&view, 'A');
    int32_t value = 0;
    if (bigEnough) {
        std::memcpy(&value, view.buf, sizeof value);  // the buffer may be unaligned
        camera.getControl(engine(ctrl), &value);
        std::memcpy(view.buf, &value, sizeof value);
    }
    PyBuffer_Release(&view);
    if (!bigEnough) throw py::type_error("getControl needs a writable, contiguous buffer of at least 4 bytes");
}

// Help texts: every class, method, property and enumeration member says
// what it takes (with units), what it gives back and what it may print.
namespace doc {
constexpr const char* kOutput = "What start() makes the camera deliver.";
constexpr const char* kRaw = "Raw phase frames (RawData): four phase images of 240 x 180 signed samples.";
constexpr const char* kAmplitude = "Not a streaming mode: start(AMPLITUDE) returns -1 (amplitude comes with DEPTH).";
constexpr const char* kDepth = "Depth frames (DepthData): distance in metres and amplitude, 240 x 180 each.";
constexpr const char* kConnect = "How a camera is reached.";
constexpr const char* kCsi = "A camera on a MIPI CSI-2 port: index N is /dev/videoN.";
constexpr const char* kUsb = "A USB camera: index N is the N-th of the maker's USB boards (lumivex-ls lists them).";
constexpr const char* kControl = "The camera's controls.";
constexpr const char* kRang = "Measuring range in metres: 2 (75 MHz modulation) or 4 (37.5 MHz).";
constexpr const char* kExposure = "Exposure: refused by both kinds of camera (setControl returns -1).";
constexpr const char* kCamera = "One camera: open it, start it, request frames and release them, stop and close.";
constexpr const char* kInit = "A camera object with nothing open; detects the host board (Raspberry Pi, Jetson).";
constexpr const char* kOpen =
    "Opens a camera: connection is TOFConnect.CSI (index N: /dev/videoN) or TOFConnect.USB (index N: the N-th USB "
    "board, built-in set-up).\nReturns 0 on success, -1 on failure, 1 when a USB camera cannot be opened or set up "
    "(with a warning line \"camera_init ***WARNING*** ...\" on standard output).";
constexpr const char* kOpenWithFile =
    "Opens the index-th USB camera and sets it up from a camera configuration file (unused: any float, no "
    "effect).\nReturns 0 on success, 1 when the file cannot be read, does not describe 240 x 180 x 2-byte frames, "
    "or the camera cannot be opened (with a warning line \"camera_initWithFile ***WARNING*** ...\"), -1 for None.";
constexpr const char* kClose =
    "Stops a running camera and closes it. Returns 0 (also when it was closed already), or -1 if it was never "
    "opened.";
constexpr const char* kStart =
    "Starts streaming: output is TOFOutput.DEPTH or TOFOutput.RAW. Returns 0, or the back-end's failure (-1, with a "
    "warning line); -1 for AMPLITUDE, when nothing is open or when already started.";
constexpr const char* kStop = "Stops streaming; frames still ready can be requested. Returns 0, or -1 if not started.";
constexpr const char* kSetControl =
    "Sets a control: TOFControl.RANG with 2 or 4 (metres). Returns 0 (also when the camera refuses: the range then "
    "stays); -1 for EXPOSURE, another value, or nothing open.";
constexpr const char* kGetControl =
    "Writes the range in metres (TOFControl.RANG) as one native int32 into the first four bytes of buffer (a "
    "writable, contiguous buffer of at least 4 bytes: bytearray(4), array.array('i', [0])). Returns None; other "
    "controls write nothing. A USB camera set up from a file does not know its range: nothing is written.";
constexpr const char* kRequestFrame =
    "The oldest frame captured since start() (a RawData or DepthData), waiting up to timeout milliseconds (-32768 "
    "... 32767); None when no frame was captured in that time. A negative time-out waits for the next frame, but "
    "returns None at once when you hold all three frames, when the camera is stopped (also by stop() or close() on "
    "another thread during the wait), or when start() failed; Ctrl-C ends the wait with KeyboardInterrupt. Other "
    "Python threads run while it waits. Give every frame back with releaseFrame().";
constexpr const char* kReleaseFrame =
    "Gives a frame back to the camera. Returns 0, or -1 for a frame that is not lent (already released, or None). "
    "Afterwards the frame's methods raise RuntimeError.";
constexpr const char* kFormat = "A frame plane's format: a copy, valid for good.";
constexpr const char* kWidth = "Elements per line (240 for depth and amplitude, 960 for raw).";
constexpr const char* kHeight = "Lines (180).";
constexpr const char* kType = "The plane described (a TOFOutput).";
constexpr const char* kTimestamp =
    "Capture time in 100 ns units. CSI: the system's monotonic clock (timestamp / 1e7 compares with "
    "time.monotonic()). USB: the board's clock, counted from 1601-01-01 (timestamp / 1e7 - 11644473600 compares "
    "with time.time()), or 0 on boards without a device clock.";
constexpr const char* kRange =
    "The measuring range in metres the frame was exposed and converted at: 2 or 4 (read-only). After "
    "setControl(RANG, r) every frame handed out has range r. 0 only on a raw frame of a camera whose set-up never "
    "said its range.";
constexpr const char* kFrame = "A frame lent by requestFrame(); usable until releaseFrame().";
constexpr const char* kRawData = "A raw phase frame.";
constexpr const char* kGetRawData =
    "A copy of the raw samples: int16, shape (180, 960); each line holds the four phase lines of one sensor line "
    "side by side. Samples are the sensor's 11-bit values times 16 (-16384 ... 16368). RuntimeError once released.";
constexpr const char* kGetFramFormat = "The raw plane's format (a LumivexFormat). RuntimeError once released.";
constexpr const char* kDepthData = "A depth frame: depth and amplitude.";
constexpr const char* kGetDepthData =
    "A copy of the depth: float32, shape (180, 240), metres. RuntimeError once released.";
constexpr const char* kGetAmplitudeData =
    "A copy of the amplitude: float32, shape (180, 240), in decoded sample units. RuntimeError once released.";
constexpr const char* kGetFrameFormat = "The depth plane's format (a LumivexFormat). RuntimeError once released.";
}  // namespace doc

void defineModule(py::module_& m) {
    py::enum_<OutputKind>(m, "TOFOutput", doc::kOutput)
        .value("RAW", OutputKind::RAW, doc::kRaw)
        .value("DEPTH", OutputKind::DEPTH, doc::kDepth)
        .value("AMPLITUDE", OutputKind::AMPLITUDE, doc::kAmplitude);
    py::enum_<ConnectKind>(m, "TOFConnect", doc::kConnect)
        .value("CSI", ConnectKind::CSI, doc::kCsi)
        .value("USB", ConnectKind::USB, doc::kUsb);
    py::enum_<ControlKind>(m, "TOFControl", doc::kControl)
        .value("RANG", ControlKind::RANG, doc::kRang)
        .value("EXPOSURE", ControlKind::EXPOSURE, doc::kExposure);

    // The classes first, then their methods: every signature then names the
    // module's own classes.
    py::class_<LumivexTOFCamera> camera(m, "LumivexCamera", doc::kCamera);
    py::class_<FrameDataFormat> format(m, "LumivexFormat", doc::kFormat);
    py::class_<FrameHandle> frame(m, "LumivexFrame", doc::kFrame);
    py::class_<RawHandle, FrameHandle> raw(m, "RawData", doc::kRawData);
    py::class_<DepthHandle, FrameHandle> depth(m, "DepthData", doc::kDepthData);

    // Arguments are positional only, as they always were; help() shows their names.
    camera.def(py::init([] { return std::make_unique<LumivexTOFCamera>(); }), doc::kInit)
        .def(
            "open", [](LumivexTOFCamera& c, ConnectKind kind, int32_t index) { return c.open(engine(kind), index); },
            py::arg("connection"), py::arg("index"), py::pos_only(), py::call_guard<py::gil_scoped_release>(), doc::kOpen)
        .def(
            "openWithFile",
            [](LumivexTOFCamera& camera, const std::optional<std::string>& path, float unused, int32_t index) {
                return camera.openWithFile(path ? path->c_str() : nullptr, unused, index);
            },
            py::arg("path"), py::arg("unused"), py::arg("index"), py::pos_only(), py::call_guard<py::gil_scoped_release>(),
            doc::kOpenWithFile)
        .def("close", &LumivexTOFCamera::close, py::call_guard<py::gil_scoped_release>(), doc::kClose)
        .def(
            "start", [](LumivexTOFCamera& c, OutputKind kind) { return c.start(engine(kind)); }, py::arg("output"),
            py::pos_only(), py::call_guard<py::gil_scoped_release>(), doc::kStart)
        .def("stop", &LumivexTOFCamera::stop, py::call_guard<py::gil_scoped_release>(), doc::kStop)
        .def(
            "setControl",
            [](LumivexTOFCamera& c, ControlKind ctrl, int32_t value) { return c.setControl(engine(ctrl), value); },
            py::arg("control"), py::arg("value"), py::pos_only(), py::call_guard<py::gil_scoped_release>(),
            doc::kSetControl)
        .def("getControl", &getControl, py::arg("control"), py::arg("buffer"), py::pos_only(), doc::kGetControl)
        .def("requestFrame", &requestFrame, py::arg("timeout"), py::pos_only(), doc::kRequestFrame)
        .def(
            "releaseFrame",
            [](LumivexTOFCamera& camera, FrameHandle* frame) {
                return camera.releaseFrame(frame != nullptr ? frame->buffer : nullptr);
            },
            py::arg("frame"), py::pos_only(), doc::kReleaseFrame);

    format.def_readwrite("width", &FrameDataFormat::width, doc::kWidth)
        .def_readwrite("height", &FrameDataFormat::height, doc::kHeight)
        .def_readwrite("timestamp", &FrameDataFormat::timestamp, doc::kTimestamp)
        .def_readonly("range", &FrameDataFormat::range, doc::kRange)
        .def_property(
            "type", [](const FrameDataFormat& f) { return static_cast<OutputKind>(f.type); },
            [](FrameDataFormat& f, OutputKind kind) { f.type = engine(kind); }, doc::kType);

    raw.def(
           "getRawData", [](const RawHandle& f) { return planeCopy<int16_t>(f, RAW, kRawElements, 960); },
           doc::kGetRawData)
        .def(
            "getFramFormat", [](const RawHandle& f) { return formatCopy(f, RAW); }, doc::kGetFramFormat);
    depth
        .def(
            "getDepthData", [](const DepthHandle& f) { return planeCopy<float>(f, DEPTH, kPlaneElements, 240); },
            doc::kGetDepthData)
        .def(
            "getAmplitudeData",
            [](const DepthHandle& f) { return planeCopy<float>(f, AMPLITUDE, kPlaneElements, 240); },
            doc::kGetAmplitudeData)
        .def(
            "getFrameFormat", [](const DepthHandle& f) { return formatCopy(f, DEPTH); }, doc::kGetFrameFormat);
}

PyModuleDef moduleDefinition;

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_LumivexDepthCamera() {
    const char* running = Py_GetVersion();
    if (!interpreterMatches(kCompiledVersion, running)) {
        PyErr_SetString(PyExc_ImportError, versionMismatchMessage(kCompiledVersion, running).c_str());
        return nullptr;
    }
    try {
        py::module_ m = py::module_::create_extension_module("LumivexDepthCamera", nullptr, &moduleDefinition);
        defineModule(m);
        return m.release().ptr();
    } catch (py::error_already_set& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return nullptr;
}
