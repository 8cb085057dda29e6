"""The live viewer: its drawing without a display, its messages, and the real
window under a virtual X server, driven by key events."""
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

EXAMPLES = os.path.join(os.environ.get("LUMIVEX_SOURCE_DIR", "."), "examples")
PREVIEW = os.path.join(EXAMPLES, "preview.py")
sys.path.insert(0, EXAMPLES)
import depth_view as view  # noqa: E402

cv2 = pytest.importorskip("cv2", reason="the viewer's canvas needs OpenCV (python3-opencv)")


def synthetic(value=1.5, amplitude=1000.0):
    depth = np.full((180, 240), value, np.float32)
    depth[90, 120] = 1.234
    return depth, np.full((180, 240), amplitude, np.float32)


@pytest.mark.parametrize("range_m, top", [(2, "2.0 m"), (4, "4.0 m")])
def test_colour_bar_runs_from_zero_to_the_range(range_m, top):
    labels = view.depth_bar_labels(range_m)
    assert labels[0] == "0.0 m" and labels[-1] == top and len(labels) == 5
    assert abs(view.unambiguous_m(range_m) - range_m) < 0.01  # c / 2f is the range itself
    depth = np.array([[0.0, range_m, 2 * range_m]], np.float32)
    colours = view.colour_depth(depth, range_m)
    assert (colours[0, 0] == view.TURBO_RGB[0][::-1]).all()
    assert (colours[0, 1] == view.TURBO_RGB[255][::-1]).all() and (colours[0, 2] == colours[0, 1]).all()


def test_the_fold_back_note_shows_in_2_m_mode_only():
    assert "fold back" in view.fold_back_note(2)
    assert view.fold_back_note(4) is None


def test_readout_gives_the_frames_own_values():
    depth, amplitude = synthetic()
    amplitude[10, 20] = 321.0
    assert view.readout(depth, amplitude, 120, 90) == "(120, 90)  1.234 m  amplitude 1000"
    assert view.readout(depth, amplitude, 20, 10).endswith("amplitude 321")


def test_amplitude_scale_keeps_a_uniform_scene_grey_and_marks_saturation():
    _, amplitude = synthetic(amplitude=2500.0)
    grey = view.colour_amplitude(amplitude)
    assert 150 < grey[0, 0, 0] < 255  # not white
    amplitude[5, 5] = view.SATURATION + 10
    marked = view.colour_amplitude(amplitude)
    assert tuple(marked[5, 5]) == (0, 0, 255)
    assert view.amplitude_bar_labels(view.amplitude_limit(amplitude))[-1] == f"{2500 * view.AMPLITUDE_HEADROOM:.0f}"


def test_the_canvas_holds_both_panes_their_bars_and_the_readout():
    depth, amplitude = synthetic()
    picture = view.compose(cv2, depth, amplitude, 2, 2, "status", pointer=(120, 90), message="saved")
    assert picture.shape[1::-1] == view.canvas_size(2)
    # The depth colour bar: every level of the map, top to bottom.
    pane = 240 * 2
    bar = picture[view.PANE_TITLE_HEIGHT:view.PANE_TITLE_HEIGHT + 360, pane + 4:pane + 20]
    colours = {tuple(c) for c in bar.reshape(-1, 3)}
    assert len(colours & {tuple(c[::-1]) for c in view.TURBO_RGB}) >= 250
    assert view.pane_pixel(pane + view.BAR_WIDTH + 241, view.PANE_TITLE_HEIGHT + 181, 2, 240, 180) == (120, 90)
    assert view.pane_pixel(pane + 5, view.PANE_TITLE_HEIGHT + 5, 2, 240, 180) is None  # on the bar


def test_frame_rate_and_dropped_frames_come_from_the_time_stamps():
    stats = view.FrameStats()
    for n in (0, 1, 2, 3, 5, 6):  # frame 4 is missing
        stats.add(n * 333333)
    assert stats.count == 6 and stats.dropped == 1
    assert abs(stats.fps() - 30.0) < 0.01
    assert "30.0 fps" in view.status_line(4, stats, "CSI /dev/video0") and "37.5 MHz" in view.status_line(4, stats, "x")


def test_snapshots_keep_the_data_under_unique_names(tmp_path):
    depth, amplitude = synthetic()
    picture = view.compose(cv2, depth, amplitude, 4, 1, "status")
    first = view.save_snapshot(str(tmp_path), depth, amplitude, 123456789, 4, picture, cv2)
    second = view.save_snapshot(str(tmp_path), depth, amplitude, 987654321, 2, picture, cv2)
    assert len(set(first + second)) == 4 and all(os.path.isabs(p) and os.path.exists(p) for p in first + second)
    with np.load(second[1]) as saved:
        assert np.array_equal(saved["depth"], depth) and np.array_equal(saved["amplitude"], amplitude)
        assert int(saved["timestamp"]) == 987654321 and int(saved["range_m"]) == 2
    assert cv2.imread(first[0]).shape == picture.shape


def run_preview(env, *args, prelude=""):
    code = (f"import sys, runpy; sys.path.insert(0, {EXAMPLES!r}); {prelude} sys.argv = ['preview.py', *{list(args)!r}]; "
            f"runpy.run_path({PREVIEW!r}, run_name='__main__')")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)


def test_help_needs_no_module():
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    result = subprocess.run([sys.executable, PREVIEW, "--help"], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == 0 and "usage:" in result.stdout


@pytest.mark.parametrize("missing, message", [("numpy", "needs NumPy: sudo apt-get install python3-numpy"),
                                              ("cv2", "needs OpenCV: sudo apt-get install python3-opencv")])
def test_a_missing_library_is_named_with_its_package(missing, message):
    result = run_preview(dict(os.environ), prelude=f"sys.modules[{missing!r}] = None;")
    assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr


def test_a_display_without_a_server_is_explained_not_aborted():
    result = run_preview(dict(os.environ, DISPLAY=":97"))
    assert result.returncode == 2, result.stderr
    assert "Cannot reach the display DISPLAY=:97" in result.stderr
    unset = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    assert "DISPLAY is not set" in run_preview(unset).stderr


def test_a_missing_module_is_explained(vkernel):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, "depth_snapshot.py")], capture_output=True,
                            text=True, env=env, timeout=60)
    assert result.returncode == 1 and "cannot import LumivexDepthCamera" in result.stderr
    assert "PYTHONPATH=build/python" in result.stderr


def read_xwd(path):
    """The screen of an Xvfb framebuffer file (XWD) as an RGB array."""
    with open(path, "rb") as f:
        data = f.read()
    header = struct.unpack(">25I", data[:100])
    header_size, width, height, byte_order, bits, line = header[0], header[4], header[5], header[7], header[11], header[12]
    colours = header[19]
    assert bits == 32
    pixels = np.frombuffer(data, np.uint8, count=line * height, offset=header_size + 12 * colours)
    pixels = pixels.reshape(height, line // 4, 4)[:, :width]
    return pixels[..., [2, 1, 0]] if byte_order == 0 else pixels[..., [1, 2, 3]]


@pytest.mark.skipif(not (shutil.which("Xvfb") and shutil.which("xdotool")), reason="needs Xvfb and xdotool")
def test_the_viewer_runs_on_a_virtual_display_and_answers_its_keys(vkernel, tmp_path):
    vkernel.configure("platform=rpi5,fps=30")
    screen_dir = tmp_path / "screen"
    screen_dir.mkdir()
    # Xvfb picks a free display and says which once it accepts clients.
    ready_read, ready_write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(ready_write), "-screen", "0", "1280x800x24",
                               "-fbdir", str(screen_dir), "-nolisten", "tcp"], pass_fds=(ready_write,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(ready_write)
    with os.fdopen(ready_read) as ready:
        number = ready.readline().strip()
    kernel_log = tmp_path / "kernel.log"  # the viewer's own virtual kernel writes it
    # No session bus on a virtual display: GTK's window set-up (accessibility, settings) would otherwise try to
    # start or reach one, and was seen to hang inside cv2.namedWindow while other tests ran.
    env = dict(os.environ, DISPLAY=f":{number}", XDG_RUNTIME_DIR=str(tmp_path), LUMIVEX_SIM=f"log={kernel_log}",
               NO_AT_BRIDGE="1", GTK_A11Y="none", GSETTINGS_BACKEND="memory", DBUS_SESSION_BUS_ADDRESS="disabled:",
               PYTHONFAULTHANDLER="1")
    viewer = None
    try:
        assert number, "Xvfb did not start"
        viewer = subprocess.Popen([sys.executable, PREVIEW, "--output", str(tmp_path / "snaps")], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

        def xdotool(*args):
            return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=30)

        # The window, as soon as it is there (the viewer's own output if it ended instead).
        window = None
        for _ in range(480):  # a machine busy with other (sanitized) tests may take minutes to start OpenCV
            found = xdotool("search", "--name", "Lumivex depth viewer").stdout.split()
            if found:
                window = found[0]
                break
            if viewer.poll() is not None:
                break
            time.sleep(0.5)
        if window is None:
            # Where it is stuck: faulthandler prints every thread's stack on SIGABRT.
            viewer.send_signal(signal.SIGABRT)
            try:
                out, err = viewer.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                viewer.kill()
                out, err = viewer.communicate(timeout=30)
            pytest.fail(f"no viewer window (viewer status {viewer.returncode}):\n{out}\n{err}")
        time.sleep(1.5)  # frames on screen
        shot = read_xwd(screen_dir / "Xvfb_screen0")
        present = {tuple(c) for c in shot.reshape(-1, 3)}
        # The depth colour bar shows (nearly) every level; the scene alone, about half.
        assert len(present & {tuple(c) for c in view.TURBO_RGB}) >= 200
        for key in ("2", "4", "s"):
            xdotool("key", "--window", window, key)
            time.sleep(0.6)
        xdotool("key", "--window", window, "q")
        out, err = viewer.communicate(timeout=30)
        assert viewer.returncode == 0, err
        saved = [line.split(" ", 1)[1] for line in out.splitlines() if line.startswith("saved ")]
        assert len(saved) == 2 and all(os.path.isabs(p) and os.path.exists(p) for p in saved)
        log = kernel_log.read_text()
        assert "VIDIOC_S_CTRL id=0x00981901 value=1" in log and "VIDIOC_S_CTRL id=0x00981901 value=0" in log
    finally:
        if viewer and viewer.poll() is None:
            viewer.kill()
        server.terminate()
        server.wait(timeout=10)
