"""The recording format read with NumPy alone (recording/lumivex_recording.py), from files the C++ writer made."""
import os
import subprocess
import sys

import numpy as np
import pytest

import lumivex_recording as rec

SAMPLE = os.environ["LUMIVEX_RECORDING_SAMPLE"]


def expected(n):
    k = np.arange(4 * 43200, dtype=np.uint32)
    return ((k * 7 + n * 13) & 0xFFF).astype(np.uint16).reshape(4, 180, 240)


@pytest.fixture
def recording(tmp_path):
    path = tmp_path / "sample.lmvxrec"
    subprocess.run([SAMPLE, str(path), "3"], check=True)
    return path


def test_frames_and_header_read_as_written(recording):
    r = rec.Recording(str(recording))
    assert r.header == {"connection": "CSI", "node": "/dev/video0"}
    frames = list(r.frames())
    assert [f.timestamp for f in frames] == [1000, 1001, 1002]
    assert [f.range for f in frames] == [4, 2, 4]
    assert [f.modulation_frequency for f in frames] == [37.5e6, 75e6, 37.5e6]
    for n, f in enumerate(frames):
        assert f.sub_frames.shape == (4, 180, 240) and f.sub_frames.dtype == np.uint16
        assert np.array_equal(f.sub_frames, expected(n))
    assert r.damage is None


@pytest.mark.parametrize("keep", [0.999, 0.7, 0.34])
def test_a_cut_file_reads_up_to_its_last_whole_frame(recording, tmp_path, keep):
    data = recording.read_bytes()
    cut = tmp_path / "cut.lmvxrec"
    cut.write_bytes(data[:int(len(data) * keep)])
    r = rec.Recording(str(cut))
    frames = list(r.frames())
    assert len(frames) == int(len(data) * keep * 3 / len(data))  # whole frames of about equal size
    assert all(np.array_equal(f.sub_frames, expected(n)) for n, f in enumerate(frames))
    assert r.damage.startswith("cut off at byte")


def test_a_flipped_byte_stops_reading_there(recording, tmp_path):
    data = bytearray(recording.read_bytes())
    data[-1000] ^= 0x40  # inside the last frame
    bad = tmp_path / "bad.lmvxrec"
    bad.write_bytes(bytes(data))
    r = rec.Recording(str(bad))
    assert len(list(r.frames())) == 2
    assert "checksum" in r.damage


def test_not_a_recording(tmp_path):
    path = tmp_path / "x"
    path.write_text("plain text")
    with pytest.raises(ValueError, match="not a Lumivex recording"):
        rec.Recording(str(path))
