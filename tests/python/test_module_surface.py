"""The module's names, enumerations, classes and argument checking; no camera needed."""
import operator
import os
import pickle
import subprocess
import sys

import pytest

import LumivexDepthCamera as ldc

ENUMS = [
    (ldc.TOFOutput, [("RAW", 0), ("DEPTH", 2), ("AMPLITUDE", 1)]),
    (ldc.TOFConnect, [("CSI", 0), ("USB", 1)]),
    (ldc.TOFControl, [("RANG", 0), ("EXPOSURE", 1)]),
]


def test_exactly_eight_names_in_order_and_no_docstring():
    names = [name for name in vars(ldc) if not name.startswith("__")]
    assert names == ["TOFOutput", "TOFConnect", "TOFControl", "LumivexCamera", "LumivexFormat",
                     "LumivexFrame", "RawData", "DepthData"]
    assert ldc.__doc__ is None


def test_help_documents_every_class_method_property_and_member():
    undocumented = []
    for name in ["TOFOutput", "TOFConnect", "TOFControl", "LumivexCamera", "LumivexFormat", "LumivexFrame",
                 "RawData", "DepthData"]:
        cls = getattr(ldc, name)
        if not (cls.__doc__ or "").strip():
            undocumented.append(name)
        for attribute, value in vars(cls).items():
            if attribute.startswith("_") or attribute in ("name", "value") or attribute in getattr(cls, "__members__", {}):
                continue
            text = (value.__doc__ or "") if not isinstance(value, property) else (value.fget.__doc__ or "")
            # pybind11 puts the signature first: a help text must follow it.
            lines = [line for line in text.splitlines() if line.strip() and not line.startswith(attribute + "(")]
            if not lines:
                undocumented.append(f"{name}.{attribute}")
        for member in getattr(cls, "__members__", {}):
            if f"  {member} : " not in cls.__doc__:
                undocumented.append(f"{name}.{member}")
    assert undocumented == []


@pytest.mark.parametrize("method, names", [
    ("open", "connection: LumivexDepthCamera.TOFConnect, index: int, /"),
    ("openWithFile", "path: Optional[str], unused: float, index: int, /"),
    ("start", "output: LumivexDepthCamera.TOFOutput, /"),
    ("setControl", "control: LumivexDepthCamera.TOFControl, value: int, /"),
    ("requestFrame", "timeout: int, /"),
    ("releaseFrame", "frame: LumivexDepthCamera.LumivexFrame, /"),
])
def test_help_names_the_arguments_and_calls_stay_positional(method, names):
    assert f"{method}(self: LumivexDepthCamera.LumivexCamera, {names})" in getattr(ldc.LumivexCamera, method).__doc__
    with pytest.raises(TypeError) as refused:
        getattr(ldc.LumivexCamera(), method)(**{"timeout": 0} if method == "requestFrame" else {"index": 0})
    assert "LumivexPython" not in str(refused.value)  # only the module's own names


def test_numpy_is_imported_on_first_array_only():
    code = "import sys, LumivexDepthCamera; assert 'numpy' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True, env=os.environ.copy())


@pytest.mark.parametrize("enum, members", ENUMS, ids=lambda e: getattr(e, "__name__", ""))
def test_enumeration_members(enum, members):
    assert [(name, member.value) for name, member in enum.__members__.items()] == members
    for name, value in members:
        member = getattr(enum, name)
        assert member.name == name and member.value == value
        assert int(member) == value and operator.index(member) == value
        assert member != value and not (member == value)  # never equal to a plain integer
        assert enum(value) == member and hash(member) == hash(enum(value))
        assert str(member) == f"{enum.__name__}.{name}"
        assert repr(member) == f"<{enum.__name__}.{name}: {value}>"
        assert pickle.loads(pickle.dumps(member)) == member
        with pytest.raises(AttributeError):
            member.value = 5
    with pytest.raises(TypeError):
        enum(2 ** 31)
    assert enum(-7).value == -7  # any int32 is accepted, even one naming no member
    with pytest.raises(TypeError):
        getattr(enum, members[0][0]) < getattr(enum, members[-1][0])
    with pytest.raises(TypeError):
        getattr(enum, members[0][0]) | getattr(enum, members[-1][0])


def test_equality_holds_only_within_one_enumeration():
    assert ldc.TOFOutput.RAW != ldc.TOFConnect.CSI
    assert ldc.TOFConnect.USB != ldc.TOFControl.EXPOSURE
    assert ldc.TOFOutput.DEPTH == ldc.TOFOutput.DEPTH
    assert "RAW" not in dir(ldc) and "CSI" not in dir(ldc)


@pytest.mark.parametrize("cls", [ldc.LumivexFormat, ldc.LumivexFrame, ldc.RawData, ldc.DepthData])
def test_frame_and_format_classes_are_not_constructible(cls):
    with pytest.raises(TypeError):
        cls()


def test_frame_classes_share_the_base():
    assert issubclass(ldc.RawData, ldc.LumivexFrame) and issubclass(ldc.DepthData, ldc.LumivexFrame)
    assert hasattr(ldc.RawData, "getFramFormat") and not hasattr(ldc.RawData, "getFrameFormat")
    assert hasattr(ldc.DepthData, "getFrameFormat") and not hasattr(ldc.DepthData, "getFramFormat")
    assert not hasattr(ldc.DepthData, "getRawData")


@pytest.mark.parametrize("call", [
    lambda c: c.start(2),
    lambda c: c.start(ldc.TOFConnect.CSI),
    lambda c: c.open(0, 0),
    lambda c: c.open(ldc.TOFConnect.CSI, 2 ** 31),
    lambda c: c.open(ldc.TOFConnect.CSI, "0"),
    lambda c: c.setControl(ldc.TOFControl.RANG, 2 ** 31),
    lambda c: c.setControl(0, 2),
    lambda c: c.requestFrame(32768),
    lambda c: c.requestFrame(-32769),
    lambda c: c.requestFrame(1.5),
    lambda c: c.requestFrame(timeoutMs=5),
    lambda c: c.requestFrame(),
    lambda c: c.releaseFrame(5),
    lambda c: c.openWithFile(3, 1.0, 0),
    lambda c: c.openWithFile("cfg", "x", 0),
    lambda c: c.getControl(ldc.TOFControl.RANG, 5),
    lambda c: c.getControl(ldc.TOFControl.RANG, b"\0\0\0\0"),
    lambda c: c.getControl(ldc.TOFControl.RANG, bytearray(3)),
    lambda c: c.getControl(ldc.TOFControl.RANG, memoryview(bytearray(16))[::2]),
])
def test_wrong_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call(ldc.LumivexCamera())


def test_engine_results_pass_through_without_a_camera():
    camera = ldc.LumivexCamera()
    assert camera.requestFrame(32767) is None  # accepted; nothing started
    assert camera.requestFrame(-1) is None
    assert camera.releaseFrame(None) == -1
    assert camera.openWithFile(None, 1.0, 0) == -1
    assert camera.start(ldc.TOFOutput.DEPTH) == -1
    assert camera.start(ldc.TOFOutput(7)) == -1
    assert camera.stop() == -1 and camera.close() == -1
    assert camera.setControl(ldc.TOFControl.RANG, 2) == -1
    buffer = bytearray(b"\x01\x02\x03\x04\x05")
    assert camera.getControl(ldc.TOFControl.RANG, buffer) is None
    assert buffer == bytearray(b"\x01\x02\x03\x04\x05")
    too_small = bytearray(b"\x09\x09\x09")
    with pytest.raises(TypeError):
        camera.getControl(ldc.TOFControl.RANG, too_small)
    assert too_small == bytearray(b"\x09\x09\x09")


def test_version_mismatch_is_refused_by_another_interpreter(tmp_path):
    """Loads the module into every other Python found under pyenv."""
    module = ldc.__file__
    running = f"{sys.version_info.major}.{sys.version_info.minor}"
    roots = [os.path.expanduser("~/.pyenv/versions"), "/root/.pyenv/versions"]
    others = sorted({os.path.join(root, v, "bin", "python3") for root in roots if os.path.isdir(root)
                     for v in os.listdir(root) if v.startswith("3.") and not v.startswith(running + ".")
                     and os.path.exists(os.path.join(root, v, "bin", "python3"))})
    if not others:
        pytest.skip("no other Python 3 interpreter on this machine")
    os.symlink(module, tmp_path / "LumivexDepthCamera.so")
    code = ("import sys\ntry:\n    import LumivexDepthCamera\nexcept ImportError as e:\n    print(e)\n"
            "else:\n    print('imported')")
    env = {"PYTHONPATH": str(tmp_path), "PATH": os.environ.get("PATH", "")}
    for name in ("LD_PRELOAD", "ASAN_OPTIONS"):  # a sanitizer build needs its runtime first
        if name in os.environ:
            env[name] = os.environ[name]
    checked = 0
    for python in others:
        result = subprocess.run([python, "-c", code], capture_output=True, text=True, env=env)
        version = subprocess.run([python, "-c", "import sys; print(sys.version)"], capture_output=True,
                                 text=True).stdout.strip()
        message = result.stdout.strip()
        if "undefined symbol" in message:
            continue  # the loader refused the module before its code could run
        assert message == (f"Python version mismatch: module was compiled for Python {running}, "
                           f"but the interpreter version is incompatible: {version}."), python
        checked += 1
    assert checked > 0, "no other interpreter got as far as the module's own check"
