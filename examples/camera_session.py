"""Shared set-up of the examples: command-line options and opening the camera.

The module is imported only when a camera is opened, so --help works
without it."""
import argparse
import os
import sys

ldc = None


def load_module():
    """Imports LumivexDepthCamera, or exits with a one-line explanation."""
    global ldc
    if ldc is None:
        try:
            import LumivexDepthCamera as module
        except ImportError as error:
            sys.exit(f"cannot import LumivexDepthCamera ({error}): " + (built_for_another_python() or
                     "build it with 'make' and set PYTHONPATH=build/python, or install it with 'cmake --install build'"))
        ldc = module
    return ldc


def program_name(script: str) -> str:
    """The name the user typed: the installed command's (lumivex-view, lumivex-snapshot), else the script's."""
    return os.environ.get("LUMIVEX_TOOL_NAME") or os.path.basename(script)


def positive(text: str) -> int:
    """An argparse type: a whole number of 1 or more."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of 1 or more")
    return value


def built_for_another_python():
    """When the module is there but built for another Python version: which, and what to do."""
    import glob
    import sysconfig
    here = f"cpython-{sys.version_info.major}{sys.version_info.minor}"
    for folder in sys.path + ["/usr/lib/python3/dist-packages"]:
        for path in glob.glob(os.path.join(folder or ".", "LumivexDepthCamera.cpython-*.so")):
            tag = os.path.basename(path).split(".")[1]  # cpython-311-x86_64-linux-gnu
            if not tag.startswith(here + "-"):
                version = tag.split("-")[1]
                wanted = f"{version[0]}.{version[1:]}"
                return (f"the module in {folder} is built for Python {wanted}, and this is Python "
                        f"{sysconfig.get_python_version()}: run the program with python{wanted} (on Debian 12: "
                        "/usr/bin/python3), or build the SDK for this Python (docs/packages.md)")
    return None


def add_camera_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--device", type=int, default=0, help="camera index: N of /dev/videoN, or the USB camera's index (default 0)")
    parser.add_argument("--usb", action="store_true", help="open the camera on USB instead of CSI")
    parser.add_argument("--range", type=int, choices=(2, 4), help="measuring range in metres (default: as set)")
    parser.add_argument("--timeout", type=int, default=1000, help="wait per frame in ms (default 1000)")


def open_camera(args, output_name: str, prepare=None):
    """Opens and starts a camera (output "DEPTH" or "RAW"), or exits with a message saying why not.
    prepare(camera), if given, runs before the camera opens (a recorder is created there)."""
    module = load_module()
    camera = module.LumivexCamera()
    if prepare is not None:
        prepare(camera)
    connection = module.TOFConnect.USB if args.usb else module.TOFConnect.CSI
    if camera.open(connection, args.device) != 0:
        sys.exit(f"cannot open the camera ({connection.name} {args.device}); is it connected? "
                 "Without a camera, run under lumivex-virtual.")
    if args.range is not None and camera.setControl(module.TOFControl.RANG, args.range) != 0:
        print(f"warning: the camera did not take the {args.range} m range", file=sys.stderr)
    if camera.start(getattr(module.TOFOutput, output_name)) != 0:
        camera.close()
        sys.exit("cannot start the camera")
    return camera


def current_range(camera) -> int:
    value = bytearray(4)
    camera.getControl(load_module().TOFControl.RANG, value)
    return int.from_bytes(value, sys.byteorder, signed=True)


def replayed_recording():
    """The recording lumivex-virtual --replay plays as the camera, or None."""
    return os.environ.get("LUMIVEX_REPLAY") or None


def camera_name(args) -> str:
    """The camera as a user knows it: its node or USB index, and the host (or the replayed recording)."""
    where = f"USB camera {args.device}" if args.usb else f"CSI /dev/video{args.device}"
    if replayed_recording():
        return f"replay of {os.path.basename(replayed_recording())} ({where})"
    try:
        with open("/sys/firmware/devicetree/base/model", "rb") as model:
            host = model.read().rstrip(b"\0").decode(errors="replace").strip()
    except OSError:
        host = "generic host"
    return f"{where} on {host}"


def finish(camera) -> None:
    camera.stop()
    camera.close()
