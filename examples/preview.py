#!/usr/bin/env python3
"""Live viewer: depth in metres with its colour bar, amplitude with its scale,
distance and amplitude under the mouse pointer, a centre crosshair, and a
status line (range, frame rate from the frames' time stamps, frame count,
dropped frames, camera).

Keys: 2 / 4 switch the range, s saves a snapshot (picture .png and data .npz),
p saves the point cloud (.ply, in metres, through --lens or the camera's
nominal lens, the flying pixels at depth edges left out), r starts and stops recording the camera's raw frames (a recording that
lumivex-virtual --replay plays back), space pauses and resumes the picture,
q or Esc quits. On a replay, the title and the status line name the recording.
"""
import argparse
import os
import socket
import subprocess
import sys
import time

from camera_session import add_camera_options, program_name

NAME = program_name(__file__)
# The snapshot tool as the user has it: the installed command, or the example beside this one.
SNAPSHOT = "lumivex-snapshot" if os.environ.get("LUMIVEX_TOOL_NAME") else "depth_snapshot.py"


def parse_arguments(argv=None):
    parser = argparse.ArgumentParser(prog=NAME, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    add_camera_options(parser)
    parser.add_argument("--scale", type=int, choices=range(1, 9), metavar="1-8",
                        help="window magnification (default: the largest that fits the screen)")
    parser.add_argument("--output", default=".", help="folder for snapshots and recordings (default: the current folder)")
    parser.add_argument("--lens", help="lens file for the point clouds the p key saves (default: the nominal lens)")
    return parser.parse_args(argv)


def display_problem():
    """Why no window can be shown, or None. Checked before OpenCV tries (and
    aborts the process when the display names no running server)."""
    display = os.environ.get("DISPLAY", "")
    if not display:
        return (f"No display available (DISPLAY is not set): {NAME} needs a graphical session. "
                f"Run it on the desktop, under xvfb-run, or use {SNAPSHOT} to save images instead.")
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
                f"Start the desktop session (or Xvfb), set DISPLAY to its name, or use {SNAPSHOT}.")
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
        print(f"{NAME} needs NumPy: sudo apt-get install python3-numpy", file=sys.stderr)
        return 2
    try:
        import cv2
    except ImportError:
        print(f"{NAME} needs OpenCV: sudo apt-get install python3-opencv", file=sys.stderr)
        return 2
    problem = display_problem()
    if problem:
        print(problem, file=sys.stderr)
        return 2

    import depth_view as view
    from camera_session import camera_name, current_range, finish, load_module, open_camera, replayed_recording

    ldc = load_module()
    scale = args.scale or view.fitting_scale(screen_size())
    recorder = []

    def prepare(camera):  # the recorder takes the frames the camera captures from its start on
        try:
            import lumivex_recording
            recorder.append(lumivex_recording.Recorder(camera))
        except ImportError:
            pass  # 'r' says what is missing

    camera = open_camera(args, "DEPTH", prepare)
    name = camera_name(args)
    window = "Lumivex depth viewer"
    # Shown at the canvas's own size, without OpenCV's toolbar: a toolbar took
    # room from the picture, which was then shrunk and lost its thin lines.
    cv2.namedWindow(window, cv2.WINDOW_AUTOSIZE | cv2.WINDOW_GUI_NORMAL)
    if replayed_recording():
        cv2.setWindowTitle(window, f"{window} - replay of {os.path.basename(replayed_recording())}")
    pointer = [None]

    def on_mouse(event, x, y, flags, param):
        pointer[0] = view.pane_pixel(x, y, scale, 240, 180)

    cv2.setMouseCallback(window, on_mouse)
    stats = view.FrameStats()
    message, message_until = None, 0.0
    depth = amplitude = picture = None
    timestamp = 0
    metres = current_range(camera) or 4
    paused = False
    recording_path = None

    def state():
        parts = ["paused"] if paused else []
        if recording_path:
            parts.append(f"recording: {recorder[0].frames} frames")  # its file was named when it began
        return ", ".join(parts) or None

    def toggle_recording():
        nonlocal recording_path
        if not recorder:
            return "recording needs lumivex_recording: sudo apt-get install python3-lumivex"
        if recording_path is None:
            path = os.path.join(os.path.abspath(args.output), time.strftime("recording_%Y%m%d_%H%M%S.lmvxrec"))
            os.makedirs(args.output, exist_ok=True)
            try:
                recorder[0].start(path, args.device)
            except ValueError as error:
                return f"cannot record: {error}"
            recording_path = path
            print(f"recording to {path}", flush=True)
            return f"recording to {os.path.basename(path)}"
        frames, path, recording_path = recorder[0].stop(), recording_path, None
        print(f"recorded {frames} frames to {path}", flush=True)
        return f"recorded {frames} frames to {os.path.basename(path)}"

    try:
        while True:
            frame = camera.requestFrame(args.timeout)
            if frame is not None:
                if not paused or depth is None:  # paused: the picture stays, the frames go on
                    depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
                    timestamp = frame.getFrameFormat().timestamp
                stats.add(frame.getFrameFormat().timestamp)
                camera.releaseFrame(frame)
            if depth is not None:
                shown = message if time.monotonic() < message_until else None
                status = view.status_line(metres, stats, name, state())
                picture = view.compose(cv2, depth, amplitude, metres, scale, status, pointer[0], shown)
                cv2.imshow(window, picture)
            key = cv2.waitKey(1) & 0xFF
            if key in (ord("q"), 27):
                break
            if cv2.getWindowProperty(window, cv2.WND_PROP_VISIBLE) < 1:
                break  # the window was closed
            if key in (ord("2"), ord("4")):
                if camera.setControl(ldc.TOFControl.RANG, int(chr(key))) == 0:
                    metres = int(chr(key))
            if key == ord(" "):
                paused = not paused
            if key == ord("r"):
                message, message_until = toggle_recording(), time.monotonic() + 2.0
            if key == ord("s") and depth is not None:
                png, npz = view.save_snapshot(args.output, depth, amplitude, timestamp, metres, picture, cv2)
                print(f"saved {png}\nsaved {npz}", flush=True)
                message, message_until = f"saved {os.path.basename(png)} and .npz", time.monotonic() + 2.0
            if key == ord("p") and depth is not None:
                try:
                    ply = view.save_cloud(args.output, depth, amplitude, args.lens)
                    print(f"saved {ply}", flush=True)
                    message = f"saved {os.path.basename(ply)}"
                except (ImportError, OSError, ValueError) as error:
                    print(f"{name}: no point cloud saved: {error}", file=sys.stderr, flush=True)
                    message = "no point cloud saved (see the terminal)"
                message_until = time.monotonic() + 2.0
    except KeyboardInterrupt:
        pass  # Ctrl-C ends the viewer as q does: a recording is closed whole below
    finally:
        if recording_path:
            toggle_recording()
        finish(camera)
        cv2.destroyAllWindows()
    return 0


if __name__ == "__main__":
    sys.exit(main())
