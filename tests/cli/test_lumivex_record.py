"""lumivex-record on the virtual cameras: the raw phase frames as the camera sent them, their
ranges and time stamps, the header, a clean end on Ctrl-C; read back with the NumPy reader."""
import ctypes
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import lumivex_recording as rec

BIN = os.environ["LUMIVEX_BIN"]
VKERNEL = os.environ["LUMIVEX_VKERNEL"]


def scene_words(range_m, phase):
    """The virtual sensor's sample words of the default scene (the virtual kernel's own renderer)."""
    lib = ctypes.CDLL(VKERNEL)
    words = np.zeros(240 * 180, np.uint16)
    assert lib.lumivex_vk_scene_words(b"default", range_m, phase,
                                      words.ctypes.data_as(ctypes.POINTER(ctypes.c_uint16))) == 0
    return words.reshape(180, 240)


def record(tmp_path, *args):
    output = tmp_path / "take.lmvxrec"
    launcher = [os.path.join(BIN, "lumivex-virtual"), "--platform", "rpi4", "--usb", "--"]
    result = subprocess.run(launcher + [os.path.join(BIN, "lumivex-record"), "--output", str(output), *args],
                            capture_output=True, text=True, timeout=60)
    return result, output


@pytest.mark.parametrize("connection, range_m", [([], 4), ([], 2), (["--usb"], 2), (["--usb", "--mode", "raw"], 4)])
def test_frames_are_recorded_as_the_camera_sent_them(tmp_path, connection, range_m):
    result, output = record(tmp_path, "--frames", "5", "--range", str(range_m), *connection)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1].startswith(f"wrote 5 frames (")
    recording = rec.Recording(str(output))
    assert recording.header["connection"] == ("USB" if connection else "CSI")
    assert recording.header["sdk_version"] and recording.header["platform"] == "Raspberry Pi"
    if connection:  # the board's own serial number and firmware
        assert (recording.header["serial"], recording.header["firmware"]) == ("LMVXT0F00001", "3.14")
    else:
        assert recording.header["node"] == "/dev/video0" and recording.header["pixel_format"] == "Y12"
    frames = list(recording.frames())
    assert len(frames) == 5 and recording.damage is None
    stamps = [f.timestamp for f in frames]
    assert stamps == sorted(stamps) and len(set(stamps)) == 5
    for f in frames:
        assert f.range == range_m and f.modulation_frequency == (75e6 if range_m == 2 else 37.5e6)
        for phase in range(4):
            assert np.array_equal(f.sub_frames[phase], scene_words(range_m, phase)), phase


def test_ctrl_c_ends_the_recording_cleanly(tmp_path):
    output = tmp_path / "long.lmvxrec"
    launcher = [os.path.join(BIN, "lumivex-virtual"), "--"]
    child = subprocess.Popen(launcher + [os.path.join(BIN, "lumivex-record"), "--output", str(output)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 0, err
    assert "(interrupted)" in out and "frames " in err  # the progress line
    recording = rec.Recording(str(output))
    assert len(list(recording.frames())) >= 1 and recording.damage is None


@pytest.mark.parametrize("args, says", [
    (["--frames", "0", "--output", "x"], "--frames 0: not a number of frames (1 or more)"),
    (["--frames", "-3", "--output", "x"], "--frames -3: not a number of frames (1 or more)"),
    (["--frames", "3"], "--output FILE is needed"),
    (["--mode", "fast", "--output", "x"], "--mode fast: raw or depth"),
    (["--range", "3", "--output", "x"], "--range 3: 2 or 4 (metres)"),
    (["--seconds", "soon", "--output", "x"], "--seconds soon: not a duration in seconds (more than 0)"),
    (["--output"], "--output needs a value"),
    (["--bogus", "--output", "x"], "--bogus: no such option"),
])
def test_a_bad_argument_is_named_with_the_reason(args, says):
    result = subprocess.run([os.path.join(BIN, "lumivex-record"), *args], capture_output=True, text=True)
    assert result.returncode == 2
    assert result.stderr.splitlines()[0] == "lumivex-record: " + says
    assert result.stderr.splitlines()[1].startswith("usage: lumivex-record")


def test_an_existing_recording_is_kept_unless_forced(tmp_path):
    first, output = record(tmp_path, "--frames", "4")
    assert first.returncode == 0, first.stderr
    before = output.read_bytes()
    again, _ = record(tmp_path, "--frames", "1")
    assert again.returncode == 1
    assert f"lumivex-record: {output} exists: give another --output, or --force to replace it" in again.stderr
    assert output.read_bytes() == before
    forced, _ = record(tmp_path, "--frames", "1", "--force")
    assert forced.returncode == 0, forced.stderr
    assert len(list(rec.Recording(str(output)).frames())) == 1


def test_no_camera_says_where_to_look(tmp_path):
    launcher = [os.path.join(BIN, "lumivex-virtual"), "--faults", "video_open_fail", "--"]
    result = subprocess.run(launcher + [os.path.join(BIN, "lumivex-record"), "--frames", "1", "--output",
                                        str(tmp_path / "x.lmvxrec")], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and not (tmp_path / "x.lmvxrec").exists()
    assert result.stderr.splitlines()[-1] == ("lumivex-record: cannot open the camera (lumivex-ls lists the cameras; "
                                              "without one, run under lumivex-virtual)")


def test_a_lens_file_is_stored_with_the_recording_and_a_bad_one_refused(tmp_path):
    lens = tmp_path / "lens.json"
    lens.write_text('{"format": "lumivex-lens 1", "width": 240, "height": 180, "fx": 180.5, "fy": 181, '
                    '"cx": 119, "cy": 90, "k1": -0.1, "k2": 0, "p1": 0, "p2": 0, "k3": 0}')
    result, output = record(tmp_path, "--frames", "2", "--lens", str(lens))
    assert result.returncode == 0, result.stderr
    recording = rec.Recording(str(output))
    assert '"fx": 180.5' in recording.lens and len(list(recording.frames())) == 2
    lens.write_text('{"format": "lumivex-lens 1"}')
    refused, _ = record(tmp_path, "--frames", "2", "--lens", str(lens), "--force")
    assert refused.returncode == 1 and 'no number "width"' in refused.stderr
    assert rec.Recording(str(output)).lens is not None  # the recording before it is kept
