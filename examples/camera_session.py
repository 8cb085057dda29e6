"""Shared set-up of the examples: command-line options and opening the camera."""
import argparse
import sys

try:
    import LumivexDepthCamera as ldc
except ImportError as error:  # pragma: no cover - explained to the user
    sys.exit(f"cannot import LumivexDepthCamera ({error}); build it with 'make' and set "
             "PYTHONPATH=build/python, or install it with 'cmake --install build'")


def add_camera_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--device", type=int, default=0, help="camera index: N of /dev/videoN (default 0)")
    parser.add_argument("--usb", action="store_true", help="open the camera on USB instead of CSI")
    parser.add_argument("--range", type=int, choices=(2, 4), help="measuring range in metres (default: as set)")
    parser.add_argument("--timeout", type=int, default=1000, help="wait per frame in ms (default 1000)")


def open_camera(args, output: "ldc.TOFOutput") -> "ldc.LumivexCamera":
    """Opens and starts a camera, or exits with a message saying why not."""
    camera = ldc.LumivexCamera()
    connection = ldc.TOFConnect.USB if args.usb else ldc.TOFConnect.CSI
    if camera.open(connection, args.device) != 0:
        sys.exit(f"cannot open the camera ({connection.name} {args.device}); is it connected? "
                 "Without a camera, run under lumivex-virtual.")
    if args.range is not None and camera.setControl(ldc.TOFControl.RANG, args.range) != 0:
        print(f"warning: the camera did not take the {args.range} m range", file=sys.stderr)
    if camera.start(output) != 0:
        camera.close()
        sys.exit("cannot start the camera")
    return camera


def current_range(camera: "ldc.LumivexCamera") -> int:
    value = bytearray(4)
    camera.getControl(ldc.TOFControl.RANG, value)
    return int.from_bytes(value, sys.byteorder, signed=True)


def finish(camera: "ldc.LumivexCamera") -> None:
    camera.stop()
    camera.close()
