"""Reads Lumivex recordings of raw phase frames (docs/recording.md) with NumPy alone.

    recording = Recording("scene.lmvxrec")
    recording.header["connection"]        # the camera, the host and the SDK that recorded it
    for frame in recording.frames():      # stops at the last whole frame of a file cut off
        frame.timestamp, frame.range, frame.modulation_frequency
        frame.sub_frames                  # uint16, (4, 180, 240): as the camera delivered them
    recording.damage                      # None, or where and why reading stopped early
    recording.lens                        # the lens file text (JSON) stored with it, or None

Recording while a program uses the camera (needs the compiled part installed beside it):

    recorder = Recorder(camera)           # a LumivexDepthCamera.LumivexCamera, before its start()
    recorder.start("take.lmvxrec")        # every frame the camera captures from here on ...
    recorder.stop()                       # ... up to here; returns how many were written
"""
import struct
import zlib
from dataclasses import dataclass

import numpy as np

MAGIC = b"LMVXREC\x01"
LARGEST_CHUNK = 64 << 20
_FRAME_FIELDS = struct.Struct("<QifII")  # timestamp, range, modulation frequency, sub-frame bytes, sub-frames


@dataclass
class Frame:
    timestamp: int
    range: int
    modulation_frequency: float
    sub_frames: np.ndarray


class Recording:
    def __init__(self, path):
        self.path = path
        self.damage = None
        with open(path, "rb") as file:
            if file.read(len(MAGIC)) != MAGIC:
                raise ValueError(f"{path}: not a Lumivex recording")
            chunk = self._chunk(file, len(MAGIC))
            if chunk is None or chunk[0] != b"HEAD":
                raise ValueError(f"{path}: no header" + (f" ({self.damage})" if self.damage else ""))
            self._first_frame = len(MAGIC) + 12 + len(chunk[1])
            # The camera's lens, when the recorder stored it: a LENS chunk right after the header.
            self.lens = None
            lens = self._chunk(file, self._first_frame)
            self.damage = None  # met again, and reported, by frames()
            if lens is not None and lens[0] == b"LENS":
                self.lens = lens[1].decode("utf-8", "replace")
                self._first_frame += 12 + len(lens[1])
        lines = chunk[1].decode("utf-8", "replace").splitlines()
        self.header = dict(line.split("=", 1) for line in lines if "=" in line)

    def _chunk(self, file, position):
        """The next chunk (tag, payload) whose length and checksum hold, or None at the end or on damage."""
        lead = file.read(8)
        if not lead:
            return None
        if len(lead) < 8:
            self.damage = f"cut off at byte {position}"
            return None
        tag, length = lead[:4], struct.unpack("<I", lead[4:])[0]
        if length > LARGEST_CHUNK:
            self.damage = f"a chunk length of {length} at byte {position}"
            return None
        payload = file.read(length)
        tail = file.read(4)
        if len(payload) < length or len(tail) < 4:
            self.damage = f"cut off at byte {position}"
            return None
        if zlib.crc32(payload, zlib.crc32(lead)) != struct.unpack("<I", tail)[0]:
            self.damage = f"a checksum that does not match at byte {position}"
            return None
        return tag, payload

    def frames(self):
        """The whole frames in order (chunks of kinds this reader does not know are skipped)."""
        self.damage = None
        with open(self.path, "rb") as file:
            file.seek(self._first_frame)
            position = self._first_frame
            while True:
                chunk = self._chunk(file, position)
                if chunk is None:
                    return
                tag, payload = chunk
                position += 12 + len(payload)
                if tag != b"FRAM":
                    continue
                if len(payload) < _FRAME_FIELDS.size:
                    self.damage = f"a frame chunk of {len(payload)} bytes"
                    return
                timestamp, range_m, frequency, sub_frame_bytes, count = _FRAME_FIELDS.unpack_from(payload)
                data = payload[_FRAME_FIELDS.size:]
                if count == 0 or sub_frame_bytes == 0 or sub_frame_bytes % 2:
                    self.damage = f"a frame of {count} sub-frames of {sub_frame_bytes} bytes (not 16-bit samples)"
                    return
                if sub_frame_bytes * count != len(data):
                    self.damage = "a frame whose sub-frames do not fill it"
                    return
                samples = np.frombuffer(data, dtype="<u2").reshape(count, -1)
                if sub_frame_bytes == 240 * 180 * 2:
                    samples = samples.reshape(count, 180, 240)
                yield Frame(timestamp, range_m, frequency, samples)


def __getattr__(name):
    # The recorder is compiled against the camera module: loaded only when used,
    # so that reading needs NumPy alone.
    if name == "Recorder":
        from _lumivex_recorder import Recorder
        return Recorder
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
