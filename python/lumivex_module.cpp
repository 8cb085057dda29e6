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
    // The wait runs with the interpreter lock held; between its slices
    // pending signals are handled, so Ctrl-C ends it with KeyboardInterrupt.
    bool signalled = false;
    LumivexFrameBuffer* buffer = camera.requestFrame(timeoutMs, [&signalled] {
        signalled = PyErr_CheckSignals() != 0;
        return signalled;
    });
    if (signalled) throw py::error_already_set();
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

void defineModule(py::module_& m) {
    py::enum_<OutputKind>(m, "TOFOutput")
        .value("RAW", OutputKind::RAW)
        .value("DEPTH", OutputKind::DEPTH)
        .value("AMPLITUDE", OutputKind::AMPLITUDE);
    py::enum_<ConnectKind>(m, "TOFConnect").value("CSI", ConnectKind::CSI).value("USB", ConnectKind::USB);
    py::enum_<ControlKind>(m, "TOFControl").value("RANG", ControlKind::RANG).value("EXPOSURE", ControlKind::EXPOSURE);

    py::class_<LumivexTOFCamera>(m, "LumivexCamera")
        .def(py::init([] { return std::make_unique<LumivexTOFCamera>(); }))
        .def("open", [](LumivexTOFCamera& c, ConnectKind kind, int32_t index) { return c.open(engine(kind), index); })
        .def("openWithFile",
             [](LumivexTOFCamera& camera, const std::optional<std::string>& path, float unused, int32_t index) {
                 return camera.openWithFile(path ? path->c_str() : nullptr, unused, index);
             })
        .def("close", &LumivexTOFCamera::close)
        .def("start", [](LumivexTOFCamera& c, OutputKind kind) { return c.start(engine(kind)); })
        .def("stop", &LumivexTOFCamera::stop)
        .def("setControl",
             [](LumivexTOFCamera& c, ControlKind ctrl, int32_t value) { return c.setControl(engine(ctrl), value); })
        .def("getControl", &getControl)
        .def("requestFrame", &requestFrame)
        .def("releaseFrame", [](LumivexTOFCamera& camera, FrameHandle* frame) {
            return camera.releaseFrame(frame != nullptr ? frame->buffer : nullptr);
        });

    py::class_<FrameDataFormat>(m, "LumivexFormat")
        .def_readwrite("width", &FrameDataFormat::width)
        .def_readwrite("height", &FrameDataFormat::height)
        .def_readwrite("timestamp", &FrameDataFormat::timestamp)
        .def_property(
            "type", [](const FrameDataFormat& f) { return static_cast<OutputKind>(f.type); },
            [](FrameDataFormat& f, OutputKind kind) { f.type = engine(kind); });

    py::class_<FrameHandle>(m, "LumivexFrame");
    py::class_<RawHandle, FrameHandle>(m, "RawData")
        .def("getRawData", [](const RawHandle& f) { return planeCopy<int16_t>(f, RAW, kRawElements, 960); })
        .def("getFramFormat", [](const RawHandle& f) { return formatCopy(f, RAW); });
    py::class_<DepthHandle, FrameHandle>(m, "DepthData")
        .def("getDepthData", [](const DepthHandle& f) { return planeCopy<float>(f, DEPTH, kPlaneElements, 240); })
        .def("getAmplitudeData",
             [](const DepthHandle& f) { return planeCopy<float>(f, AMPLITUDE, kPlaneElements, 240); })
        .def("getFrameFormat", [](const DepthHandle& f) { return formatCopy(f, DEPTH); });
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
