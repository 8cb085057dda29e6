#!/usr/bin/python3
"""Soak: random faults on the virtual USB depth camera while a program reads it.

Every few seconds (at random) the board's stream fails (a transfer error), its
endpoint halts, or it is unplugged and plugged in again a moment later. A
reader thread takes frames with requestFrame(1000) and checks each: the depth
is the scene's at the range in force, and its time stamp is later than the
one before. A ticker thread beside it must keep ticking (the module's waits
let other threads run). Run it under lumivex-virtual:

  PYTHONPATH=build/python build/bin/lumivex-virtual --usb -- \\
      /usr/bin/python3 tools/usb-fault-soak.py --minutes 60

One summary line a minute (frames, faults, the longest time without a frame
after each fault, ticks, memory and descriptors); exit status 1 if a frame was
wrong or out of order, or frames stopped coming after a fault.
"""
import argparse
import ctypes
import os
import random
import sys
import threading
import time

import numpy as np

import LumivexDepthCamera as ldc

PIXELS = 240 * 180


def preloaded(part):
    path = next((p for p in os.environ.get("LD_PRELOAD", "").split(":") if part in p), None)
    if path is None:
        sys.exit("run this under lumivex-virtual --usb")
    return ctypes.CDLL(path)


def scene_truth(vkernel, range_m):
    depth = np.zeros(PIXELS, np.float32)
    amplitude = np.zeros(PIXELS, np.float32)
    pointer = ctypes.POINTER(ctypes.c_float)
    assert vkernel.lumivex_vk_scene_truth(b"default", range_m, depth.ctypes.data_as(pointer),
                                          amplitude.ctypes.data_as(pointer)) == 0
    return depth[::97]


def resources():
    with open("/proc/self/status") as status:
        rss = next(line.split()[1] for line in status if line.startswith("VmRSS:"))
    return f"rss={rss}kB fds={len(os.listdir('/proc/self/fd'))}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    vusb = preloaded("vusb")
    truth = {r: scene_truth(preloaded("vkernel"), r) for r in (2, 4)}
    rng = random.Random(args.seed)

    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.USB, 0) == 0
    range_m = 2
    assert camera.setControl(ldc.TOFControl.RANG, range_m) == 0
    assert camera.start(ldc.TOFOutput.DEPTH) == 0

    counts = dict(frames=0, wrong=0, backwards=0, faults=0, ticks=0)
    worst_gap = [0.0]
    last_frame_at = [time.monotonic()]
    done = threading.Event()

    def reader():
        previous = 0
        while not done.is_set():
            frame = camera.requestFrame(1000)
            if frame is None:
                continue
            form = frame.getFrameFormat()
            depth = frame.getDepthData().reshape(-1)[::97]
            camera.releaseFrame(frame)
            now = time.monotonic()
            worst_gap[0] = max(worst_gap[0], now - last_frame_at[0])
            last_frame_at[0] = now
            counts["frames"] += 1
            if form.range != range_m or not np.allclose(depth, truth[form.range], atol=0.02):
                counts["wrong"] += 1
            if form.timestamp <= previous:
                counts["backwards"] += 1
            previous = form.timestamp

    def ticker():
        while not done.is_set():
            counts["ticks"] += 1
            time.sleep(0.01)

    threads = [threading.Thread(target=reader), threading.Thread(target=ticker)]
    for t in threads:
        t.start()
    end = time.monotonic() + args.minutes * 60
    next_report = time.monotonic() + 60
    stuck = False
    while time.monotonic() < end and not stuck:
        time.sleep(rng.uniform(2, 8))
        fault = rng.choice(("error", "halt", "unplug"))
        if fault == "error":
            vusb.lumivex_vusb_error(0)
        elif fault == "halt":
            vusb.lumivex_vusb_halt(0)
        else:
            vusb.lumivex_vusb_disconnect(0)
            time.sleep(rng.uniform(0.2, 3))
            vusb.lumivex_vusb_replug(0)
        counts["faults"] += 1
        # Frames must come again: within 10 s of the fault (or re-plug).
        since = time.monotonic()
        while last_frame_at[0] < since and time.monotonic() - since < 10:
            time.sleep(0.05)
        stuck = last_frame_at[0] < since
        if time.monotonic() >= next_report:
            next_report += 60
            print(f"{counts} longest gap {worst_gap[0]:.2f} s {resources()}", flush=True)
    done.set()
    for t in threads:
        t.join()
    camera.stop()
    camera.close()
    print(f"final: {counts} longest gap {worst_gap[0]:.2f} s {resources()}" + (" STUCK" if stuck else ""), flush=True)
    return 1 if stuck or counts["wrong"] or counts["backwards"] else 0


if __name__ == "__main__":
    sys.exit(main())
