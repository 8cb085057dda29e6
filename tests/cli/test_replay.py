"""The round trip through the tools: lumivex-record on a virtual camera, lumivex-convert without a
camera, and an unchanged Python program on lumivex-virtual --replay, which computes the depth the
camera computed, bit for bit. A recording cut off anywhere converts up to its last whole frame."""
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import lumivex_recording as rec

BIN = os.environ["LUMIVEX_BIN"]
LAUNCHER = os.path.join(BIN, "lumivex-virtual")

# A program that knows nothing of replays: depth frames and their time stamps into an .npz.
DEPTH_PROGRAM = r"""
import sys, numpy as np, LumivexDepthCamera as L
usb, count, out = sys.argv[1] == "usb", int(sys.argv[2]), sys.argv[3]
camera = L.LumivexCamera()
assert camera.open(L.TOFConnect.USB if usb else L.TOFConnect.CSI, 0) == 0
assert camera.start(L.TOFOutput.DEPTH) == 0
depth, amplitude, stamps = [], [], []
for attempt in range(100):
    frame = camera.requestFrame(1000)
    if frame is None and depth:
        break  # a second without a frame after frames came: the replay has ended
    if frame is None:
        continue
    depth.append(frame.getDepthData().copy())
    amplitude.append(frame.getAmplitudeData().copy())
    stamps.append(frame.getFrameFormat().timestamp)
    camera.releaseFrame(frame)
    if len(depth) == count:
        break
camera.stop()
camera.close()
np.savez(out, depth=np.array(depth), amplitude=np.array(amplitude), timestamp=np.array(stamps, np.uint64))
"""

CAMERAS = {
    "csi": ["--platform", "xavier", "--faults", "noise=7,moving"],
    "usb": ["--usb-board", "camera=depth,noise=7,moving"],
}


def run(args, timeout=120):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module", params=sorted(CAMERAS))
def recording(request, tmp_path_factory):
    folder = tmp_path_factory.mktemp(request.param)
    path = folder / "take.lmvxrec"
    usb = ["--usb"] if request.param == "usb" else []
    result = run([LAUNCHER, *CAMERAS[request.param], "--", os.path.join(BIN, "lumivex-record"),
                  "--frames", "12", "--output", str(path), *usb])
    assert result.returncode == 0, result.stdout + result.stderr
    converted = folder / "take.npz"
    result = run([os.path.join(BIN, "lumivex-convert"), str(path), "--npz", str(converted)])
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"converted 12 frames of {path} to {converted}\n"
    return request.param, path, np.load(converted)


def test_the_converter_writes_every_recorded_frame_with_its_fields(recording):
    connection, path, converted = recording
    frames = list(rec.Recording(str(path)).frames())
    assert converted["depth"].shape == converted["amplitude"].shape == (12, 180, 240)
    assert converted["depth"].dtype == np.float32
    assert list(converted["timestamp"]) == [f.timestamp for f in frames]
    assert list(converted["range"]) == [f.range for f in frames] == [4] * 12
    assert list(converted["modulation_frequency"]) == [37.5e6] * 12
    # The virtual scene's wall, box and sphere are 1 to 3 m away: every pixel has a depth.
    assert np.all((converted["depth"] > 0.5) & (converted["depth"] < 3.75))
    assert len({converted["depth"][i].tobytes() for i in range(12)}) == 12  # noise: no two frames alike


@pytest.mark.parametrize("pace", [[], ["--as-fast-as-possible"]])
def test_a_replay_gives_every_recorded_frame_once_the_last_one_too(recording, tmp_path, pace):
    connection, path, converted = recording
    out = tmp_path / "all.npz"
    result = run([LAUNCHER, "--replay", str(path), *pace, "--", sys.executable, "-c", DEPTH_PROGRAM,
                  connection, "13", str(out)])
    assert result.returncode == 0, result.stdout + result.stderr
    replayed = np.load(out)["depth"]
    assert [next(i for i in range(12) if np.array_equal(d.view(np.uint32), converted["depth"][i].view(np.uint32)))
            for d in replayed] == list(range(12))


@pytest.mark.parametrize("pace", [[], ["--as-fast-as-possible"]])
def test_a_replay_computes_the_cameras_depth_bit_for_bit(recording, tmp_path, pace):
    connection, path, converted = recording
    out = tmp_path / "replayed.npz"
    result = run([LAUNCHER, "--replay", str(path), *pace, "--", sys.executable, "-c", DEPTH_PROGRAM,
                  connection, "8", str(out)])
    assert result.returncode == 0, result.stdout + result.stderr
    replayed = np.load(out)
    assert len(replayed["depth"]) == 8
    matched = []
    for depth, amplitude in zip(replayed["depth"], replayed["amplitude"]):
        same = [i for i in range(12) if np.array_equal(depth.view(np.uint32), converted["depth"][i].view(np.uint32))
                and np.array_equal(amplitude.view(np.uint32), converted["amplitude"][i].view(np.uint32))]
        assert len(same) == 1, "a replayed frame is no recorded frame"
        matched.append(same[0])
    assert matched == sorted(set(matched))  # in the recorded order, none twice
    if not pace:  # the recorded pace: time stamps shifted by one constant (a tick of rounding on USB)
        shifts = [int(t) - int(converted["timestamp"][i]) for t, i in zip(replayed["timestamp"], matched)]
        assert max(shifts) - min(shifts) <= 2, shifts


def test_png_images_hold_millimetres_and_the_frame_list(recording, tmp_path):
    connection, path, converted = recording
    result = run([os.path.join(BIN, "lumivex-convert"), str(path), "--png", str(tmp_path / "png"),
                  "--first", "10", "--count", "5"])
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path / "png")) == ["amplitude_000010.png", "amplitude_000011.png",
                                                    "depth_000010.png", "depth_000011.png", "frames.csv"]
    for index in (10, 11):
        depth = read_png16(tmp_path / "png" / f"depth_{index:06d}.png")
        millimetres = np.floor((converted["depth"][index] * np.float32(1000)).astype(np.float64) + 0.5)
        assert np.array_equal(depth, millimetres.astype(np.uint16))
        amplitude = read_png16(tmp_path / "png" / f"amplitude_{index:06d}.png")
        halves_up = np.floor(converted["amplitude"][index].astype(np.float64) + 0.5)
        assert np.array_equal(amplitude, np.clip(halves_up, 0, 65535).astype(np.uint16))
    lines = (tmp_path / "png" / "frames.csv").read_text().splitlines()
    assert lines[0] == "frame,timestamp,range,modulation_frequency"
    assert lines[1] == f"10,{converted['timestamp'][10]},4,37500000"


def read_png16(path):
    """A 16-bit greyscale PNG (no filters), checked chunk by chunk."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, chunks = 8, {}
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        assert struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0] == zlib.crc32(kind + body)
        chunks[kind] = chunks.get(kind, b"") + body
        at += 12 + length
    width, height, bits, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (width, height, bits, colour) == (240, 180, 16, 0)
    rows = np.frombuffer(zlib.decompress(chunks[b"IDAT"]), np.uint8).reshape(180, 1 + 480)
    assert not rows[:, 0].any()
    return rows[:, 1:].copy().view(">u2").astype(np.uint16)


def test_a_recording_cut_off_anywhere_converts_up_to_its_last_whole_frame(recording, tmp_path):
    connection, path, converted = recording
    data = path.read_bytes()
    frame_ends = [len(data) - (12 - k) * (8 + 24 + 345600 + 4) for k in range(1, 13)]
    assert frame_ends[-1] == len(data)
    for cut in np.random.default_rng(20).integers(frame_ends[0] - 40000, len(data), 6):
        cut_file = tmp_path / "cut.lmvxrec"
        cut_file.write_bytes(data[:cut])
        out = tmp_path / "cut.npz"
        result = run([os.path.join(BIN, "lumivex-convert"), str(cut_file), "--npz", str(out)])
        whole = sum(end <= cut for end in frame_ends)
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith(f"converted {whole} frames")
        assert ("cut off at byte" in result.stderr) == (cut not in frame_ends)
        assert np.array_equal(np.load(out)["depth"], converted["depth"][:whole])


def convert(*args, limit_bytes=None):
    """lumivex-convert; limit_bytes: the largest file it may write (a full disk beyond)."""
    def limit():
        import resource
        import signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails (EFBIG) as on a full disk
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit_bytes, limit_bytes))
    return subprocess.run([os.path.join(BIN, "lumivex-convert"), *map(str, args)], capture_output=True, text=True,
                          timeout=120, preexec_fn=limit if limit_bytes else None)


@pytest.mark.parametrize("link", ["same", "symlink", "hardlink"])
def test_the_converter_never_writes_over_its_recording(recording, tmp_path, link):
    connection, path, converted = recording
    copy = tmp_path / "take.lmvxrec"
    copy.write_bytes(path.read_bytes())
    output = {"same": copy, "symlink": tmp_path / "out.npz", "hardlink": tmp_path / "hard.npz"}[link]
    if link == "symlink":
        output.symlink_to(copy)
    elif link == "hardlink":
        os.link(copy, output)
    result = convert(copy, "--npz", output)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == f"lumivex-convert: {output} is the recording itself: choose another output file\n"
    assert copy.read_bytes() == path.read_bytes()
    folder = tmp_path / "png"
    folder.mkdir()
    os.link(copy, folder / "frames.csv")
    result = convert(folder / "frames.csv", "--png", folder)
    assert result.returncode == 1 and "is the recording itself" in result.stderr
    assert copy.read_bytes() == path.read_bytes() and sorted(os.listdir(folder)) == ["frames.csv"]


@pytest.mark.parametrize("args, code, says, frames", [
    (["--first", "9"], 0, None, [9, 10, 11]),
    (["--first", "2", "--count", "3"], 0, None, [2, 3, 4]),
    (["--first", "11", "--count", "5"], 0, None, [11]),
    (["--first", "12"], 1, "--first 12 is beyond the recording's last frame (it has 12 frames, numbered from 0)", []),
    (["--first", "-1"], 2, "--first -1: not a frame number (0 or more)", []),
    (["--count", "abc"], 2, "--count abc: not a number of frames (1 or more)", []),
    (["--count", "0"], 2, "--count 0: not a number of frames (1 or more)", []),
    (["--frist", "1"], 2, "--frist: no such option", []),
])
def test_the_frames_chosen_are_converted_or_the_choice_is_refused(recording, tmp_path, args, code, says, frames):
    connection, path, converted = recording
    output = tmp_path / "part.npz"
    result = convert(path, "--npz", output, *args)
    assert result.returncode == code, result.stderr
    if code == 0:
        assert result.stdout == f"converted {len(frames)} frames of {path} to {output}\n"
        assert np.array_equal(np.load(output)["depth"], converted["depth"][frames])
    else:
        assert result.stdout == "" and not output.exists()
        where = "" if code == 2 else f"{path}: "
        assert result.stderr.splitlines()[0] == f"lumivex-convert: {where}{says}"


@pytest.mark.parametrize("kind", ["--npz", "--png"])
def test_a_full_disk_leaves_no_partial_output_and_no_success(recording, tmp_path, kind):
    connection, path, converted = recording
    output = tmp_path / ("out.npz" if kind == "--npz" else "png")
    result = convert(path, kind, output, limit_bytes=2_000_000 if kind == "--npz" else 40_000)
    assert result.returncode == 1 and result.stdout == ""
    assert "File too large" in result.stderr
    assert not output.exists() and os.listdir(tmp_path) == []
    if kind == "--npz":  # an existing file is replaced only by a whole one
        output.write_bytes(b"an earlier conversion")
        assert convert(path, kind, output, limit_bytes=2_000_000).returncode == 1
        assert output.read_bytes() == b"an earlier conversion" and os.listdir(tmp_path) == ["out.npz"]


@pytest.mark.parametrize("args, reason", [
    (["--replay", "/nonexistent.lmvxrec"], "lumivex-virtual: /nonexistent.lmvxrec: No such file or directory"),
    (["--loop"], "lumivex-virtual: --as-fast-as-possible and --loop go with --replay FILE"),
    (["--scene", "wall", "--replay", "/any.lmvxrec"],
     "lumivex-virtual: --scene and --replay: a replay shows the recording, not a scene"),
    (["--log", "/nonexistent/x.log"], "lumivex-virtual: --log /nonexistent/x.log: cannot be written "
                                      "(/nonexistent is no writable folder)"),
    (["--bogus"], "lumivex-virtual: --bogus: no such option"),
    (["true"], "lumivex-virtual: true: options go before --, the command after it (lumivex-virtual [options] -- "
               "COMMAND)"),
    (["--fps"], "lumivex-virtual: --fps needs a value"),
])
def test_the_launcher_refuses_what_it_cannot_replay(args, reason):
    """And every argument it cannot take: named, with the reason, status 2."""
    result = run([LAUNCHER, *args, "--", "true"])
    assert result.returncode == 2
    assert result.stderr.splitlines() == [reason]


def test_a_usb_recording_replayed_to_a_csi_program_says_where_the_replay_is(recording, tmp_path):
    connection, path, converted = recording
    if connection != "usb":
        pytest.skip("a CSI recording replays on /dev/video0")
    result = run([LAUNCHER, "--replay", str(path), "--", sys.executable, "-c", DEPTH_PROGRAM, "csi", "1",
                  str(tmp_path / "csi.npz")])
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines().count(
        f"lumivex-virtual: the replay of {path} is on the USB camera (open it with TOFConnect.USB): /dev/video0 "
        "shows the synthetic scene") == 1


def test_a_csi_recording_replays_on_its_own_host_only(recording):
    connection, path, converted = recording
    if connection != "csi":
        pytest.skip("a USB recording replays on any host")
    result = run([LAUNCHER, "--replay", str(path), "--platform", "rpi5", "--", "true"])
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        f"lumivex-virtual: {path} was recorded on a Jetson Xavier host: replay it with --platform xavier"]


RECORDING_PROGRAM = r"""
import sys, numpy as np, LumivexDepthCamera as L, lumivex_recording as rec
out, path, usb = sys.argv[1], sys.argv[2], sys.argv[3] == "usb"
camera = L.LumivexCamera()
for wrong in (lambda: rec.Recorder(object()), lambda: rec.Recorder(camera).start("/nonexistent/take.lmvxrec")):
    try:
        wrong()
        raise SystemExit("taken: a recorder without a camera or a file")
    except (TypeError, ValueError):
        pass
recorder = rec.Recorder(camera)  # before start: it gets every frame the camera captures
try:
    rec.Recorder(camera)
    raise SystemExit("a second recorder on the camera was taken")
except ValueError as error:
    assert "already has a Recorder" in str(error), error
assert camera.open(L.TOFConnect.USB if usb else L.TOFConnect.CSI, 0) == 0 and camera.start(L.TOFOutput.DEPTH) == 0
recorder.start(path)
try:
    recorder.start(path)
    raise SystemExit("a second start was taken")
except ValueError:
    pass
depth, stamps = [], []
while len(depth) < 8:
    frame = camera.requestFrame(1000)
    if frame is not None:
        depth.append(frame.getDepthData().copy())
        stamps.append(frame.getFrameFormat().timestamp)
        camera.releaseFrame(frame)
written = recorder.stop()
assert written == recorder.frames > 0 and not recorder.recording and recorder.error is None
del recorder
try:
    rec.Recorder(camera)
    raise SystemExit("a recorder made after start was taken")
except ValueError as error:
    assert "before the camera's start()" in str(error), error
camera.stop()
camera.close()
np.savez(out, depth=np.array(depth), timestamp=np.array(stamps, np.uint64))
"""


@pytest.mark.parametrize("connection", ["csi", "usb"])
def test_a_python_program_records_the_frames_it_reads(tmp_path, connection):
    path, out = tmp_path / "python.lmvxrec", tmp_path / "read.npz"
    camera = ["--faults", "noise=9,moving"] if connection == "csi" else ["--usb-board", "camera=depth,noise=9,moving,fw=0x0313"]
    result = run([LAUNCHER, *camera, "--", sys.executable, "-c", RECORDING_PROGRAM, str(out), str(path), connection])
    assert result.returncode == 0, result.stdout + result.stderr
    converted = tmp_path / "converted.npz"
    assert run([os.path.join(BIN, "lumivex-convert"), str(path), "--npz", str(converted)]).returncode == 0
    recorded, read = np.load(converted), np.load(out)
    header = rec.Recording(str(path)).header
    assert header["connection"] == connection.upper()
    if connection == "usb":  # the board's own serial number and firmware, as lumivex-record writes them
        assert (header["serial"], header["firmware"]) == ("LMVXT0F00001", "3.13")
        assert not recorded["timestamp"].any()  # a 3.13 board sends no device time
        # The frames read after the recording began are in it, in order, with the depth the program read.
        found = [next((j for j, r in enumerate(recorded["depth"]) if np.array_equal(d, r)), None)
                 for d in read["depth"]]
        found = [j for j in found if j is not None]
        assert len(found) >= 6 and found == sorted(set(found))
        return
    # Every frame read after the recording began is in it, with the depth the program read.
    by_stamp = {int(t): i for i, t in enumerate(recorded["timestamp"])}
    both = [(i, by_stamp[int(t)]) for i, t in enumerate(read["timestamp"]) if int(t) in by_stamp]
    assert len(both) >= 6
    assert all(np.array_equal(read["depth"][i], recorded["depth"][j]) for i, j in both)


def write_recording(path, sub_frames, sub_frame_bytes):
    """A recording of one frame in the documented layout, written here without the SDK."""
    def chunk(kind, payload):
        lead = kind + struct.pack("<I", len(payload))
        return lead + payload + struct.pack("<I", zlib.crc32(lead + payload))
    fields = struct.pack("<QifII", 1000, 4, 37.5e6, sub_frame_bytes, sub_frames)
    path.write_bytes(b"LMVXREC\x01" + chunk(b"HEAD", b"connection=CSI\nplatform=Raspberry Pi 5\n")
                     + chunk(b"FRAM", fields + bytes(sub_frames * sub_frame_bytes)))


@pytest.mark.parametrize("sub_frames, sub_frame_bytes", [(2, 172800), (4, 1000), (8, 43200)])
def test_frames_that_are_not_this_cameras_are_refused_by_the_converter_and_the_replay(tmp_path, sub_frames,
                                                                                       sub_frame_bytes):
    path = tmp_path / "other.lmvxrec"
    write_recording(path, sub_frames, sub_frame_bytes)
    result = run([os.path.join(BIN, "lumivex-convert"), str(path), "--npz", str(tmp_path / "out.npz")])
    assert result.returncode == 1
    assert result.stderr == f"lumivex-convert: {path}: frame 0 is not a 240 x 180 frame of four sub-frames\n"
    result = run([LAUNCHER, "--replay", str(path), "--", "true"])
    assert result.returncode == 2
    assert result.stderr.splitlines() == [f"lumivex-virtual: {path}: frame 0 has {sub_frames} sub-frames of "
                                          f"{sub_frame_bytes} bytes: not the 240 x 180 camera's 4 of 86400"]


@pytest.mark.parametrize("sub_frames, sub_frame_bytes, shape", [
    (4, 86400, (4, 180, 240)), (5, 86400, (5, 180, 240)), (4, 500, (4, 250)), (1, 2, (1, 1)),
    (0, 86400, None), (4, 0, None), (0, 0, None), (4, 999, None),
])
def test_both_readers_return_a_frame_as_documented_or_report_it_as_damage(tmp_path, sub_frames, sub_frame_bytes,
                                                                         shape):
    path = tmp_path / "sizes.lmvxrec"
    write_recording(path, sub_frames, sub_frame_bytes)
    recording = rec.Recording(str(path))
    frames = list(recording.frames())
    # The C++ reader, through the converter: a frame it returns is refused by name, damage is said as such.
    converted = run([os.path.join(BIN, "lumivex-convert"), str(path), "--npz", str(tmp_path / "out.npz")])
    assert converted.returncode == (0 if shape == (4, 180, 240) else 1)
    if shape is None:
        assert frames == [] and recording.damage.startswith("a frame of ")
        assert converted.stderr == f"lumivex-convert: {path}: {recording.damage}: no whole frame before it to convert\n"
    else:
        assert recording.damage is None and frames[0].sub_frames.shape == shape
        assert "before it" not in converted.stderr


def test_a_recording_of_this_camera_written_without_the_sdk_converts_and_replays(tmp_path):
    path = tmp_path / "plain.lmvxrec"
    write_recording(path, 4, 86400)
    result = run([os.path.join(BIN, "lumivex-convert"), str(path), "--npz", str(tmp_path / "out.npz")])
    assert result.returncode == 0, result.stderr
    assert np.load(tmp_path / "out.npz")["depth"].shape == (1, 180, 240)
    assert run([LAUNCHER, "--replay", str(path), "--", "true"]).returncode == 0
