"""The recording format read with NumPy alone (recording/lumivex_recording.py), from files the C++ writer made."""
import os
import pathlib
import re
import struct
import subprocess
import sys
import zlib

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


def documented_layout():
    """The layout as docs/recording.md states it: the magic, and (offset, size) of the chunk's and the
    FRAM payload's fields, read from its tables."""
    doc = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "recording.md").read_text()
    magic = re.search(r"magic: `(\w+)` and the format version byte 0x([0-9A-Fa-f]{2})", doc)
    tables, rows = [], None
    for line in doc.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else None
        if cells and cells[0] == "offset":
            rows = []
            tables.append(rows)
        elif cells and rows is not None and cells[0].isdigit() and cells[1].isdigit():
            rows.append((int(cells[0]), int(cells[1])))
        elif not cells:
            rows = None
    chunk, frame = tables[1], tables[2]
    return magic.group(1).encode() + bytes([int(magic.group(2), 16)]), chunk, frame


def test_the_documented_layout_is_the_one_writer_and_readers_use(recording):
    """One description of the format (docs/recording.md); the C++ writer's file, read by that
    description alone, and the NumPy reader's constants and results agree with it."""
    magic, chunk, frame = documented_layout()
    assert chunk == [(0, 4), (4, 4)]                       # kind, payload length (then payload, CRC)
    assert [size for _, size in frame] == [8, 4, 4, 4, 4]  # time stamp, range, frequency, bytes, count
    assert all(o == sum(s for _, s in frame[:i]) for i, (o, _) in enumerate(frame))
    assert rec.MAGIC == magic
    assert rec._FRAME_FIELDS.size == sum(size for _, size in frame)
    assert [struct.calcsize("<" + f) for f in rec._FRAME_FIELDS.format.lstrip("<")] == [s for _, s in frame]

    data = recording.read_bytes()
    assert data[:len(magic)] == magic
    at, decoded = len(magic), []
    while at < len(data):
        kind, length = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        payload = data[at + 8:at + 8 + length]
        assert struct.unpack_from("<I", data, at + 8 + length)[0] == zlib.crc32(data[at:at + 8 + length])
        if kind == b"FRAM":
            fields = [payload[o:o + s] for o, s in frame]
            decoded.append((struct.unpack("<Q", fields[0])[0], struct.unpack("<i", fields[1])[0],
                            struct.unpack("<f", fields[2])[0], struct.unpack("<I", fields[3])[0],
                            struct.unpack("<I", fields[4])[0]))
        at += 8 + length + 4
    read = [(f.timestamp, f.range, f.modulation_frequency, f.sub_frames[0].nbytes, len(f.sub_frames))
            for f in rec.Recording(str(recording)).frames()]
    assert decoded == read == [(1000, 4, 37.5e6, 86400, 4), (1001, 2, 75e6, 86400, 4), (1002, 4, 37.5e6, 86400, 4)]
