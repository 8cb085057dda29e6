"""lumivex-calibrate on the virtual checkerboard: the lens it recovers, and the lenses it refuses to write."""
import json
import os
import pathlib
import re
import subprocess
import sys
import time

import numpy as np
import pytest

import LumivexMetric as lm
from test_metric import BACK, BACK_WALL_Z, capture_depth, interior, room_truth
from test_viewer import display, eventually  # noqa: F401 (a fixture)

SOURCE = pathlib.Path(os.environ.get("LUMIVEX_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
TOOL = SOURCE / "examples" / "calibrate.py"
# A camera whose lens is not the nominal one: the tool must find this one.
TRUE = dict(fx=182.0, fy=181.0, cx=118.7, cy=91.2, k1=-0.1, k2=0.02, p1=0.0008, p2=-0.0005, k3=0.0)
TRUE_SETTING = "lens=" + "/".join(str(v) for v in TRUE.values())


def calibrate(tmp_path, scene_settings, *arguments, env=None):
    environment = dict(os.environ, LUMIVEX_SIM=scene_settings, **(env or {}))
    return subprocess.run([sys.executable, str(TOOL), *arguments], capture_output=True, text=True, timeout=300,
                          env=environment, cwd=tmp_path)


def back_wall_rms(vkernel, lens, settings):
    depth, _ = capture_depth(vkernel, settings)
    wall = interior(room_truth(lm.Lens(**TRUE))[1], BACK)
    return np.sqrt(np.mean((lm.point_cloud(depth, lens).points[wall][:, 2] - BACK_WALL_Z) ** 2))


def test_the_checkerboard_gives_back_the_cameras_lens(vkernel, tmp_path):
    output = tmp_path / "lens.json"
    run = calibrate(tmp_path, f"scene=checkerboard,fps=120,{TRUE_SETTING}",
                    "--board", "7x5", "--square", "0.05", "--output", str(output), "--time-limit", "60")
    assert run.returncode == 0, run.stderr
    assert "view 16 kept" in run.stdout and f"lens written to {output}" in run.stdout
    rms = float(run.stdout.split("RMS reprojection error ")[1].split()[0])
    found = lm.Lens.load(output)
    assert json.loads(output.read_text())["description"].startswith("calibrated by calibrate.py on ")
    print(f"\nrecovered: {found!r}, RMS {rms} px")
    assert rms < 0.3
    assert abs(found.fx / TRUE["fx"] - 1) < 0.01 and abs(found.fy / TRUE["fy"] - 1) < 0.01
    assert abs(found.cx - TRUE["cx"]) < 1 and abs(found.cy - TRUE["cy"]) < 1
    # Points made with the recovered lens are as good as with the true one.
    room = f"platform=rpi5,scene=room,{TRUE_SETTING}"
    with_true, with_found = back_wall_rms(vkernel, lm.Lens(**TRUE), room), back_wall_rms(vkernel, found, room)
    print(f"back wall RMS to its plane: {with_true * 1000:.2f} mm with the true lens, "
          f"{with_found * 1000:.2f} mm with the recovered one")
    assert abs(with_found - with_true) < 0.002


def test_on_a_display_it_shows_the_board_and_q_ends_the_collecting(vkernel, display, tmp_path):
    output = tmp_path / "lens.json"
    tool = subprocess.Popen([sys.executable, str(TOOL), "--board", "7x5", "--square", "0.05", "--output", str(output),
                             "--views", "1000", "--time-limit", "600"],
                            env=dict(display.env, LUMIVEX_SIM="scene=checkerboard,fps=120"), cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        window = []
        assert eventually(lambda: window.extend(display.xdotool("search", "--name", "calibrate.py").stdout.split())
                          or window or tool.poll() is not None, seconds=120)
        assert window, tool.communicate(timeout=30)
        time.sleep(3)  # views come in
        display.xdotool("key", "--window", window[0], "q")
        out, err = tool.communicate(timeout=120)
    finally:
        if tool.poll() is None:
            tool.kill()
    # Ended by q long before its 1000 views: a lens from what it had, or a refusal that says why.
    assert "Traceback" not in err and "view 1 kept" in out
    assert (tool.returncode == 0 and output.exists()) or (tool.returncode == 1 and "no lens written" in err)


@pytest.mark.parametrize("scene, arguments, words", [
    # No board in view: no view at all.
    ("scene=room", ["--time-limit", "1"], r"no lens written: too few views: 0 kept, 10 needed"),
    # Views, but fewer than asked for as the least.
    ("scene=checkerboard,fps=120", ["--views", "4", "--least-views", "30", "--time-limit", "2"], r"too few views: \d+ kept, 30 needed"),
])
def test_too_few_views_write_no_lens(vkernel, tmp_path, scene, arguments, words):
    output = tmp_path / "lens.json"
    run = calibrate(tmp_path, scene, "--board", "7x5", "--square", "0.05", "--output", str(output), *arguments)
    assert run.returncode == 1 and re.search(words, run.stderr), run.stderr
    assert not output.exists()


def test_an_existing_lens_file_is_kept_and_bad_options_are_named(vkernel, tmp_path):
    output = tmp_path / "lens.json"
    output.write_text("mine")
    run = calibrate(tmp_path, "scene=room", "--board", "7x5", "--square", "0.05", "--output", str(output))
    assert run.returncode == 1 and "exists: give another --output, or --force" in run.stderr
    assert output.read_text() == "mine"
    for bad, words in [(["--board", "7"], "is not COLSxROWS"), (["--square", "5"], "is not a square size")]:
        options = {"--board": "7x5", "--square": "0.05"}
        options[bad[0]] = bad[1]
        run = calibrate(tmp_path, "scene=room", *sum(options.items(), ()), "--output", "x.json")
        assert run.returncode == 2 and words in run.stderr
    # Without OpenCV it says what to install.
    (tmp_path / "cv2.py").write_text("raise ImportError('no OpenCV here')\n")
    run = calibrate(tmp_path, "scene=room", "--board", "7x5", "--square", "0.05", "--output", "x.json",
                    env={"PYTHONPATH": f"{tmp_path}:{os.environ['PYTHONPATH']}"})
    assert run.returncode == 2 and "needs OpenCV: sudo apt-get install python3-opencv" in run.stderr


def test_views_that_are_too_alike_or_cover_too_little_are_refused():
    sys.path.insert(0, str(SOURCE / "examples"))
    import calibrate as tool
    import cv2
    corners = [np.array([[x, y]], np.float32) for x in (10.0, 230.0) for y in (10.0, 170.0)] * 3
    assert tool.judge(corners, 10) is None
    assert "too few views: 3 kept, 10 needed" in tool.judge(corners[:3], 10)
    assert "cover only 10%" in tool.judge(corners, 10, cover=0.1)
    flat = [np.array([0.0, 0.0, 0.0]), np.array([0.05, 0.0, 0.0])]
    assert tool.tilt_spread(cv2, flat) == pytest.approx(np.degrees(0.05), abs=0.01)
    assert "too similar: the board faced the camera within 2.9 degrees" in tool.judge(corners, 10, spread=2.9)
    assert "RMS reprojection error 1.50 pixels" in tool.judge(corners, 10, spread=30, rms=1.5)
    # A view is new only when the board moved or turned (its outer corners
    # moved), in whichever of its symmetric orders the corners come.
    view = np.array([[50.0, 50.0], [60.0, 50.0], [70.0, 50.0]], np.float32)
    turned = view + np.array([[-9.0, 0.0], [0.0, 0.0], [9.0, 0.0]], np.float32)
    assert not tool.is_new_view(view + 1.0, [view]) and not tool.is_new_view(view[::-1], [view])
    assert tool.is_new_view(view + 10.0, [view]) and tool.is_new_view(turned, [view])
    assert tool.coverage([np.array([[0, 0], [239, 179]], np.float32)]) == pytest.approx(2 / 48)
