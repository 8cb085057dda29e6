#!/usr/bin/python3
"""Soak: random range switches on virtual cameras, every depth frame checked.

Each camera switches between 2 m and 4 m at random moments (sometimes after
the program was busy for 0.1 s, so that frames of the old range wait in the
pool, the driver and the bus). Every depth frame handed out is checked:
its reported range is the one last set, its depth is the scene's at that
range (every 97th pixel within 2 cm), and its time stamp is later than the one
before. Run it under lumivex-virtual, from the build folder's module:

  PYTHONPATH=build/python build/bin/lumivex-virtual --fps 120 -- \\
      /usr/bin/python3 tools/range-switch-soak.py --minutes 60 csi
  PYTHONPATH=build/python build/bin/lumivex-virtual --usb -- \\
      /usr/bin/python3 tools/range-switch-soak.py --minutes 60 usb
  PYTHONPATH=build/python build/bin/lumivex-virtual --usb --usb-board camera=depth,serial=LMVXT0F00002 -- \\
      /usr/bin/python3 tools/range-switch-soak.py --minutes 60 usb usb

It prints one summary line a minute and a last one; the exit status is 1 if
any frame was wrong or out of order. Memory (RSS) and open descriptors are in
each line, so that a leak shows as a trend.
"""
import argparse
import ctypes
import os
import random
import sys
import time

import numpy as np

import LumivexDepthCamera as ldc

PIXELS = 240 * 180


def scene_truth():
    """The default scene's depth at both ranges, from the preloaded virtual kernel."""
    path = next((p for p in os.environ.get("LD_PRELOAD", "").split(":") if "vkernel" in p), None)
    if path is None:
        sys.exit("run this under lumivex-virtual (the virtual kernel gives the scene's truth)")
    lib = ctypes.CDLL(path)
    truth = {}
    for range_m in (2, 4):
        depth = np.zeros(PIXELS, np.float32)
        amplitude = np.zeros(PIXELS, np.float32)
        pointer = ctypes.POINTER(ctypes.c_float)
        assert lib.lumivex_vk_scene_truth(b"default", range_m, depth.ctypes.data_as(pointer),
                                          amplitude.ctypes.data_as(pointer)) == 0
        truth[range_m] = depth[::97]
    return truth


class Soaked:
    """One camera, its switches and its counts."""

    def __init__(self, kind, index, rng):
        self.name = f"{kind}{index}"
        self.camera = ldc.LumivexCamera()
        connect = ldc.TOFConnect.CSI if kind == "csi" else ldc.TOFConnect.USB
        assert self.camera.open(connect, index) == 0, f"{self.name}: open failed"
        self.range = 4
        assert self.camera.setControl(ldc.TOFControl.RANG, self.range) == 0
        assert self.camera.start(ldc.TOFOutput.DEPTH) == 0, f"{self.name}: start failed"
        self.rng = rng
        self.next_switch = time.monotonic() + rng.uniform(0.05, 1.0)
        self.previous_stamp = 0
        self.counts = dict(frames=0, switches=0, none=0, wrong_range=0, wrong_depth=0, backwards=0)

    def step(self, truth):
        now = time.monotonic()
        if now >= self.next_switch:
            if self.rng.random() < 0.3:
                time.sleep(0.1)  # busy elsewhere: frames of the old range finish and wait
            self.range = self.rng.choice((2, 4))
            assert self.camera.setControl(ldc.TOFControl.RANG, self.range) == 0
            self.counts["switches"] += 1
            self.next_switch = time.monotonic() + self.rng.uniform(0.05, 1.0)
        frame = self.camera.requestFrame(200)
        if frame is None:
            self.counts["none"] += 1
            return
        form = frame.getFrameFormat()
        depth = frame.getDepthData().reshape(-1)[::97]
        self.camera.releaseFrame(frame)
        self.counts["frames"] += 1
        if form.range != self.range:
            self.counts["wrong_range"] += 1
        elif not np.allclose(depth, truth[form.range], atol=0.02):
            self.counts["wrong_depth"] += 1
        if form.timestamp <= self.previous_stamp and form.timestamp != 0:
            self.counts["backwards"] += 1
        self.previous_stamp = form.timestamp

    def bad(self):
        return self.counts["wrong_range"] + self.counts["wrong_depth"] + self.counts["backwards"]

    def close(self):
        self.camera.stop()
        self.camera.close()


def resources():
    with open("/proc/self/status") as status:
        rss = next(line.split()[1] for line in status if line.startswith("VmRSS:"))
    return f"rss={rss}kB fds={len(os.listdir('/proc/self/fd'))}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("cameras", nargs="+", choices=("csi", "usb"))
    args = parser.parse_args()
    truth = scene_truth()
    rng = random.Random(args.seed)
    seen = {"csi": 0, "usb": 0}
    cameras = []
    for kind in args.cameras:
        cameras.append(Soaked(kind, seen[kind], rng))
        seen[kind] += 1
    end = time.monotonic() + args.minutes * 60
    next_report = time.monotonic() + 60
    while time.monotonic() < end:
        for soaked in cameras:
            soaked.step(truth)
        if time.monotonic() >= next_report:
            next_report += 60
            for soaked in cameras:
                print(f"{soaked.name}: {soaked.counts} {resources()}", flush=True)
    for soaked in cameras:
        soaked.close()
        print(f"{soaked.name} final: {soaked.counts} {resources()}", flush=True)
    return 1 if any(s.bad() for s in cameras) else 0


if __name__ == "__main__":
    sys.exit(main())
