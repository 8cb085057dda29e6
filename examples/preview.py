#!/usr/bin/env python3
"""Live viewer: depth in metres with its colour bar, amplitude with its scale,
distance and amplitude under the mouse pointer, a centre crosshair, and a
status line (range, frame rate from the frames' time stamps, frame count,
dropped frames, camera).

Keys: 2 / 4 switch the range, s saves a snapshot (picture .png and data .npz),
q or Esc quits.
"""
import argparse
import os
import socket
import subprocess
import sys
import time

from camera_session import add_camera_options


def parse_arguments(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_camera_options(parser)
    parser.add_argument("--scale", type=int, choices=range(1, 9), metavar="1-8",
                        help="window magnification (default: the largest that fits the screen)")
    parser.add_argument("--output", default=".", help="folder for snapshots (default: the current folder)")
    return parser.parse_args(argv)


def display_problem():
    """Why no window can be shown, or None. Checked before OpenCV tries (and
    aborts the process when the display names no running server)."""
    display = os.environ.get("DISPLAY", "")
    if not display:
        return ("No display available (DISPLAY is not set): preview.py needs a graphical session. "
                "Run it on the desktop, under xvfb-run, or use depth_snapshot.py to save images instead.")
    host, _, rest = display.rpartition(":")
    number = rest.split(".")[0]
    if not number.isdigit():
        return f"DISPLAY={display} is not a display name such as :0"
    try:
        if host in ("", "unix"):
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(2)
                s.connect(f"/tmp/.X11-unix/X{number}")
        else:
            socket.create_connection((host, 6000 + int(number)), timeout=2).close()
    except OSError:
        return (f"Cannot reach the display DISPLAY={display}: no X server answers there. "
                "Start the desktop session (or Xvfb), set DISPLAY to its name, or use depth_snapshot.py.")
    return None


def screen_size():
    """The screen's size in pixels, when xdpyinfo can tell; else a laptop's."""
    try:
        text = subprocess.run(["xdpyinfo"], capture_output=True, text=True, timeout=5).stdout
        for line in text.splitlines():
            if "dimensions:" in line:
                width, height = line.split()[1].split("x")
                return int(width), int(height)
    except (OSError, subprocess.SubprocessError, ValueError, IndexError):
        pass
    return 1280, 720


def main(argv=None) -> int:
    args = parse_arguments(argv)
    try:
        import numpy as np  # noqa: F401  (the drawing module needs it)
    except ImportError:
        print("preview.py needs NumPy: sudo apt-get install python3-numpy", file=sys.stderr)
        return 2
    try:
        import cv2
    except ImportError:
        print("preview.py needs OpenCV: sudo apt-get install python3-opencv", file=sys.stderr)
        return 2
    problem = display_problem()
    if problem:
        print(problem, file=sys.stderr)
        return 2

    import depth_view as view
    from camera_session import camera_name, current_range, finish, load_module, open_camera

    ldc = load_module()
    scale = args.scale or view.fitting_scale(screen_size())
    camera = open_camera(args, "DEPTH")
    name = camera_name(args)
    window = "Lumivex depth viewer"
    cv2.namedWindow(window, cv2.WINDOW_NORMAL | cv2.WINDOW_KEEPRATIO)
    cv2.resizeWindow(window, *view.canvas_size(scale))
    pointer = [None]

    def on_mouse(event, x, y, flags, param):
        pointer[0] = view.pane_pixel(x, y, scale, 240, 180)

    cv2.setMouseCallback(window, on_mouse)
    stats = view.FrameStats()
    message, message_until = None, 0.0
    depth = amplitude = picture = None
    timestamp = 0
    metres = current_range(camera) or 4
    try:
        while True:
            frame = camera.requestFrame(args.timeout)
            if frame is not None:
                depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
                timestamp = frame.getFrameFormat().timestamp
                camera.releaseFrame(frame)
                stats.add(timestamp)
            if depth is not None:
                shown = message if time.monotonic() < message_until else None
                picture = view.compose(cv2, depth, amplitude, metres, scale, view.status_line(metres, stats, name),
                                       pointer[0], shown)
                cv2.imshow(window, picture)
            key = cv2.waitKey(1) & 0xFF
            if key in (ord("q"), 27):
                break
            if cv2.getWindowProperty(window, cv2.WND_PROP_VISIBLE) < 1:
                break  # the window was closed
            if key in (ord("2"), ord("4")):
                if camera.setControl(ldc.TOFControl.RANG, int(chr(key))) == 0:
                    metres = int(chr(key))
            if key == ord("s") and depth is not None:
                png, npz = view.save_snapshot(args.output, depth, amplitude, timestamp, metres, picture, cv2)
                print(f"saved {png}\nsaved {npz}", flush=True)
                message, message_until = f"saved {os.path.basename(png)} and .npz", time.monotonic() + 2.0
    finally:
        finish(camera)
        cv2.destroyAllWindows()
    return 0


if __name__ == "__main__":
    sys.exit(main())
