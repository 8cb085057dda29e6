"""The examples, run on the virtual camera as a user would."""
import os
import subprocess
import sys

import numpy as np
import pytest

EXAMPLES = os.path.join(os.environ.get("LUMIVEX_SOURCE_DIR", "."), "examples")


def run(vkernel, script, *args, env=None):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *args], capture_output=True,
                          text=True, timeout=120, env=env or os.environ.copy())


@pytest.mark.parametrize("script", ["depth_snapshot.py", "capture_raw.py", "preview.py", "calibrate.py",
                                    "point_cloud.py"])
def test_every_example_explains_itself(script):
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, script), "--help"], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0 and "usage:" in result.stdout


def test_depth_snapshot_prints_a_summary_and_saves_two_images(vkernel, tmp_path):
    result = run(vkernel, "depth_snapshot.py", "--frames", "5", "--range", "2", "--output", str(tmp_path))
    assert result.returncode == 0, result.stderr
    assert "frames        5 of 5" in result.stdout
    assert "range         2 m" in result.stdout
    centre = float(result.stdout.split("centre")[1].split()[0])
    assert abs(centre - 1.19) < 0.02  # the side of the sphere at the image centre
    for name in ("depth.png", "amplitude.png"):
        with open(tmp_path / name, "rb") as image:
            assert image.read(8) == b"\x89PNG\r\n\x1a\n"


def test_capture_raw_saves_frames_and_time_stamps(vkernel, tmp_path):
    target = tmp_path / "raw.npz"
    result = run(vkernel, "capture_raw.py", "--frames", "3", "--output", str(target))
    assert result.returncode == 0, result.stderr
    saved = np.load(target)
    assert saved["raw"].shape == (3, 180, 960) and saved["raw"].dtype == np.int16
    assert saved["timestamps"].dtype == np.uint64 and np.all(np.diff(saved["timestamps"].astype(np.int64)) > 0)


def test_point_cloud_saves_the_room_in_metres(vkernel, tmp_path):
    target = tmp_path / "room.ply"
    env = dict(os.environ, LUMIVEX_SIM="scene=room")
    result = run(vkernel, "point_cloud.py", "--output", str(target), env=env)
    assert result.returncode == 0, result.stderr
    assert "using the camera's nominal lens" in result.stdout
    written = int(result.stdout.split(" points written")[0].split()[-1])
    header, body = target.read_bytes().split(b"end_header\n", 1)
    assert f"element vertex {written}".encode() in header and len(body) == written * 16
    points = np.frombuffer(body, "<f4").reshape(-1, 4)[:, :3]
    assert 2.55 < points[:, 2].max() < 2.65  # the back wall, 2.6 m ahead
    assert 40000 < written < 240 * 180  # the mixed pixels at the edges are left out
    missing = run(vkernel, "point_cloud.py", "--lens", str(tmp_path / "none.json"), env=env)
    assert missing.returncode == 1 and "No such file" in missing.stderr


def test_preview_says_when_there_is_no_display(vkernel):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    result = run(vkernel, "preview.py", env=env)
    assert result.returncode == 2
    assert "No display available" in result.stderr


@pytest.mark.parametrize("frames", ["0", "-2", "many"])
def test_depth_snapshot_refuses_a_frame_count_before_it_captures(vkernel, frames):
    result = run(vkernel, "depth_snapshot.py", "--frames", frames)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == (f"depth_snapshot.py: error: argument --frames: {frames!r} is not a "
                                              "number of 1 or more")


def test_the_installed_name_is_the_one_the_tools_use(vkernel):
    env = dict(os.environ, LUMIVEX_TOOL_NAME="lumivex-snapshot")
    result = run(vkernel, "depth_snapshot.py", "--help", env=env)
    assert result.stdout.startswith("usage: lumivex-snapshot ")
    env = {k: v for k, v in env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["LUMIVEX_TOOL_NAME"] = "lumivex-view"
    result = run(vkernel, "preview.py", env=env)
    assert result.returncode == 2 and result.stderr.strip() == (
        "No display available (DISPLAY is not set): lumivex-view needs a graphical session. Run it on the desktop, "
        "under xvfb-run, or use lumivex-snapshot to save images instead.")


def test_depth_snapshot_without_matplotlib_says_so_before_it_opens_the_camera(vkernel, tmp_path):
    blocker = tmp_path / "matplotlib"
    blocker.mkdir()
    (blocker / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = dict(os.environ, PYTHONPATH=f"{tmp_path}:{os.environ.get('PYTHONPATH', '')}", LUMIVEX_SIM="video_open_fail")
    result = run(vkernel, "depth_snapshot.py", "--frames", "1", env=env)
    assert result.returncode == 2 and result.stdout == ""  # the camera was not opened (it would have warned)
    assert result.stderr.strip() == "depth_snapshot.py needs matplotlib: sudo apt-get install python3-matplotlib"


def test_examples_say_when_there_is_no_camera(vkernel):
    vkernel.configure("platform=rpi5,video_open_fail")
    env = dict(os.environ, LUMIVEX_SIM="video_open_fail")
    result = run(vkernel, "depth_snapshot.py", "--frames", "1", env=env)
    assert result.returncode != 0 and "cannot open the camera" in result.stderr


def test_a_module_built_for_another_python_is_named_with_its_version(tmp_path):
    (tmp_path / "LumivexDepthCamera.cpython-399-x86_64-linux-gnu.so").write_bytes(b"")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    env["PYTHONPATH"] = str(tmp_path)
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, "depth_snapshot.py"), "--frames", "1"],
                            capture_output=True, text=True, timeout=60, env=env)
    version = "%d.%d" % sys.version_info[:2]
    assert result.returncode == 1
    assert result.stderr.strip() == (
        f"cannot import LumivexDepthCamera (No module named 'LumivexDepthCamera'): the module in {tmp_path} is "
        f"built for Python 3.99, and this is Python {version}: run the program with python3.99 (on Debian 12: "
        "/usr/bin/python3), or build the SDK for this Python (docs/packages.md)")
