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


def test_the_fold_back_note_is_legible_on_every_colour():
    # Depth over the whole range and beyond across the pane: every colour of the map under the note.
    depth = np.tile(np.linspace(0.0, 2.5, 240, dtype=np.float32), (180, 1))
    picture = view.compose(cv2, depth, np.full_like(depth, 1000.0), 2, 2, "status")
    (width, height), baseline = cv2.getTextSize(view.fold_back_note(2), cv2.FONT_HERSHEY_SIMPLEX, 0.45, 1)
    x, y = view.note_origin(360)
    band = picture[view.PANE_TITLE_HEIGHT + y - height - 4:view.PANE_TITLE_HEIGHT + y + baseline + 2, x - 4:x + width + 4]
    blue, green, red = (band[..., i].astype(int) for i in range(3))
    # Only the note's amber on black: no colour of the depth map shows through.
    assert band.size and (blue <= 2).all() and (np.abs(green - red * 220 / 255) <= 3).all()
    assert red.max() >= 200  # the text itself


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
    # The scale's top: the percentile with headroom (3125), rounded up so that every tick is round.
    assert view.amplitude_bar_labels(view.amplitude_limit(amplitude)) == ["0", "1000", "2000", "3000", "4000"]
    for value, ticks in ((8004, ["0", "2500", "5000", "7500", "10000"]), (999, ["0", "250", "500", "750", "1000"])):
        assert view.amplitude_bar_labels(view.round_scale(value)) == ticks


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


@pytest.mark.parametrize("scale", [1, 2])
def test_the_status_line_fits_the_canvas_while_recording(scale):
    status = ("paused, recording: 12345 frames  |  range 2 m (75 MHz)  |  "
              "29.9 fps  |  frame 123456  |  dropped 12  |  replay of a_long_recording_name.lmvxrec (USB camera 0)")
    width = view.canvas_size(scale)[0] - 12
    shown = view.fit_status(cv2, status, width)
    assert cv2.getTextSize(shown, cv2.FONT_HERSHEY_SIMPLEX, 0.45, 1)[0][0] <= width
    assert shown.startswith("paused, recording: 12345 frames  |  range 2 m (75 MHz)  |  29.9 fps")
    short = "range 4 m (37.5 MHz)  |  30.0 fps"
    assert view.fit_status(cv2, short, width) == short


def test_frame_rate_and_dropped_frames_come_from_the_time_stamps():
    stats = view.FrameStats()
    for n in (0, 1, 2, 3, 5, 6):  # frame 4 is missing
        stats.add(n * 333333)
    assert stats.count == 6 and stats.dropped == 1
    assert abs(stats.fps() - 30.0) < 0.01
    assert "30.0 fps" in view.status_line(4, stats, "CSI /dev/video0") and "37.5 MHz" in view.status_line(4, stats, "x")
    assert view.status_line(4, stats, "x", "paused").startswith("paused  |  range 4 m")


def test_snapshots_keep_the_data_under_unique_names(tmp_path):
    depth, amplitude = synthetic()
    picture = view.compose(cv2, depth, amplitude, 4, 1, "status")
    first = view.save_snapshot(str(tmp_path), depth, amplitude, 123456789, 4, picture, cv2)
    second = view.save_snapshot(str(tmp_path), depth, amplitude, 987654321, 2, picture, cv2)
    assert len(set(first + second)) == 4 and all(os.path.isabs(p) and os.path.exists(p) for p in first + second)
    with np.load(second[1]) as saved:
        assert np.array_equal(saved["depth"], depth) and np.array_equal(saved["amplitude"], amplitude)
        assert int(saved["timestamp"]) == 987654321 and int(saved["range"]) == 2  # the converter's names
    assert cv2.imread(first[0]).shape == picture.shape


def test_a_saved_point_cloud_holds_the_frames_points_through_the_lens_given(tmp_path):
    import LumivexMetric as lm
    depth, amplitude = synthetic()
    lens = lm.Lens(190.0, 190.0, 120.0, 90.0, description="test")
    lens.save(tmp_path / "lens.json")
    paths = [view.save_cloud(str(tmp_path), depth, amplitude, str(tmp_path / "lens.json")) for _ in range(2)]
    assert len(set(paths)) == 2  # two in one second keep both
    header, body = open(paths[0], "rb").read().split(b"end_header\n", 1)
    expected = lm.point_cloud(depth, lens, amplitude, flying_pixel=0.03)
    rows = np.frombuffer(body, "<f4").reshape(-1, 4)
    assert np.array_equal(rows[:, :3], expected.points[expected.valid])
    with pytest.raises(OSError):
        view.save_cloud(str(tmp_path), depth, amplitude, str(tmp_path / "missing.json"))


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


def eventually(condition, seconds=60):
    """Whether condition() came true within seconds (checked again and again)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.2)
    return False


class ViewerOnDisplay:
    """A virtual X server, and the viewer started on it."""

    def __init__(self, tmp_path):
        self.screen_dir = tmp_path / "screen"
        self.screen_dir.mkdir()
        # Xvfb picks a free display and says which once it accepts clients.
        ready_read, ready_write = os.pipe()
        self.server = subprocess.Popen(["Xvfb", "-displayfd", str(ready_write), "-screen", "0", "1280x800x24",
                                        "-fbdir", str(self.screen_dir), "-nolisten", "tcp"], pass_fds=(ready_write,),
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(ready_write)
        with os.fdopen(ready_read) as ready:
            number = ready.readline().strip()
        assert number, "Xvfb did not start"
        # No session bus on a virtual display: the window set-up would otherwise try to start or reach one, and
        # was seen to hang inside cv2.namedWindow while other tests ran.
        self.env = dict(os.environ, DISPLAY=f":{number}", XDG_RUNTIME_DIR=str(tmp_path), NO_AT_BRIDGE="1",
                        GTK_A11Y="none", GSETTINGS_BACKEND="memory", DBUS_SESSION_BUS_ADDRESS="disabled:",
                        PYTHONFAULTHANDLER="1")
        self.viewer = None

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=30)

    def start(self, *args, **env):
        self.viewer = subprocess.Popen([sys.executable, PREVIEW, *args], env=dict(self.env, **env),
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # The window, as soon as it is there (the viewer's own output if it ended instead).
        for _ in range(480):  # a machine busy with other (sanitized) tests may take minutes to start OpenCV
            found = self.xdotool("search", "--name", "Lumivex depth viewer").stdout.split()
            if found:
                time.sleep(1.5)  # frames on screen
                return found[0]
            if self.viewer.poll() is not None:
                break
            time.sleep(0.5)
        # Where it is stuck: faulthandler prints every thread's stack on SIGABRT.
        self.viewer.send_signal(signal.SIGABRT)
        try:
            out, err = self.viewer.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.viewer.kill()
            out, err = self.viewer.communicate(timeout=30)
        pytest.fail(f"no viewer window (viewer status {self.viewer.returncode}):\n{out}\n{err}")

    def finish(self, window):
        self.xdotool("key", "--window", window, "q")
        out, err = self.viewer.communicate(timeout=30)
        assert self.viewer.returncode == 0, err
        return out

    def screen(self):
        return read_xwd(self.screen_dir / "Xvfb_screen0")

    def close(self):
        if self.viewer and self.viewer.poll() is None:
            self.viewer.kill()
        self.server.terminate()
        self.server.wait(timeout=10)


@pytest.fixture
def display(tmp_path):
    if not (shutil.which("Xvfb") and shutil.which("xdotool")):
        pytest.skip("needs Xvfb and xdotool")
    on_display = ViewerOnDisplay(tmp_path)
    yield on_display
    on_display.close()


def test_the_viewer_runs_on_a_virtual_display_and_answers_its_keys(vkernel, display, tmp_path):
    kernel_log = tmp_path / "kernel.log"  # the viewer's own virtual kernel writes it
    window = display.start("--output", str(tmp_path / "snaps"), LUMIVEX_SIM=f"log={kernel_log},noise=3")
    # The picture at the canvas's own size (2 x magnified on this screen), its thin crosshair whole.
    geometry = dict(line.split("=") for line in display.xdotool("getwindowgeometry", "--shell", window).stdout.split())
    assert (int(geometry["WIDTH"]), int(geometry["HEIGHT"])) == view.canvas_size(2)
    shot = display.screen()
    x, y = int(geometry["X"]) + 241, int(geometry["Y"]) + view.PANE_TITLE_HEIGHT + 181
    assert (shot[y, x - 10:x + 11] == 255).all() and (shot[y - 10:y + 11, x] == 255).all()
    # The depth colour bar shows (nearly) every level; the scene alone, about half.
    present = {tuple(c) for c in shot.reshape(-1, 3)}
    assert len(present & {tuple(c) for c in view.TURBO_RGB}) >= 200

    def depth_pane():
        time.sleep(0.6)
        top, left = int(geometry["Y"]) + view.PANE_TITLE_HEIGHT, int(geometry["X"])
        return display.screen()[top:top + 360, left:left + 480].copy()

    # Conditions awaited, not timed: a loaded machine may take seconds to draw a frame or take a key.
    assert eventually(lambda: not np.array_equal(depth_pane(), depth_pane()))  # noisy frames keep coming
    display.xdotool("key", "--window", window, "space")
    assert eventually(lambda: np.array_equal(depth_pane(), depth_pane()))  # paused: the picture stands
    still = depth_pane()
    time.sleep(1.0)
    assert np.array_equal(depth_pane(), still)  # and stays
    for key in ("space", "2", "4", "s", "p"):
        display.xdotool("key", "--window", window, key)
        time.sleep(0.6)
    out = display.finish(window)
    saved = [line.split(" ", 1)[1] for line in out.splitlines() if line.startswith("saved ")]
    assert len(saved) == 3 and all(os.path.isabs(p) and os.path.exists(p) for p in saved)
    with open(saved[2], "rb") as cloud:  # the point cloud, in metres
        assert saved[2].endswith(".ply") and cloud.read(4) == b"ply\n"
    log = kernel_log.read_text()
    assert "VIDIOC_S_CTRL id=0x00981901 value=1" in log and "VIDIOC_S_CTRL id=0x00981901 value=0" in log


def test_ctrl_c_ends_the_viewer_quietly_and_keeps_its_recording(vkernel, display, tmp_path):
    window = display.start("--output", str(tmp_path), LUMIVEX_SIM="noise=5")
    display.xdotool("key", "--window", window, "r")
    assert eventually(lambda: recorded_frames(tmp_path) >= 3, seconds=120)
    display.viewer.send_signal(signal.SIGINT)
    out, err = display.viewer.communicate(timeout=60)
    assert display.viewer.returncode == 0 and "Traceback" not in err, err
    ended = [line for line in out.splitlines() if line.startswith("recorded ")]
    assert len(ended) == 1, out  # the recording was closed whole
    rec = pytest.importorskip("lumivex_recording")
    path = ended[0].split(" to ", 1)[1]
    recording = rec.Recording(path)
    assert len(list(recording.frames())) == int(ended[0].split()[1]) and recording.damage is None


def recorded_frames(folder):
    """Whole frames in the recording being written in folder so far (0 while there is none)."""
    rec = pytest.importorskip("lumivex_recording")
    for path in folder.glob("*.lmvxrec"):
        try:
            return len(list(rec.Recording(str(path)).frames()))
        except ValueError:  # not even its header written yet
            return 0
    return 0


def test_the_viewer_records_and_then_replays_its_recording(vkernel, display, tmp_path):
    window = display.start("--output", str(tmp_path), LUMIVEX_SIM="noise=5")
    display.xdotool("key", "--window", window, "r")
    assert eventually(lambda: recorded_frames(tmp_path) >= 10, seconds=120)
    display.xdotool("key", "--window", window, "r")
    time.sleep(0.5)
    out = display.finish(window).splitlines()
    started = [line for line in out if line.startswith("recording to ")]
    ended = [line.split() for line in out if line.startswith("recorded ")]
    assert len(started) == 1 and len(ended) == 1, out
    path = started[0][len("recording to "):]
    frames = int(ended[0][1])
    assert ended[0][-1] == path and frames >= 10
    rec = pytest.importorskip("lumivex_recording")
    recording = rec.Recording(path)
    assert len(list(recording.frames())) == frames and recording.damage is None
    assert recording.header["connection"] == "CSI" and recording.header["node"] == "/dev/video0"

    # The recording as the camera: the title says so, and its frames are on screen.
    window = display.start(LUMIVEX_REPLAY=path, LUMIVEX_REPLAY_LOOP="1")
    title = display.xdotool("getwindowname", window).stdout.strip()
    assert title == f"Lumivex depth viewer - replay of {os.path.basename(path)}"
    present = {tuple(c) for c in display.screen().reshape(-1, 3)}
    assert len(present & {tuple(c) for c in view.TURBO_RGB}) >= 200
    display.finish(window)
