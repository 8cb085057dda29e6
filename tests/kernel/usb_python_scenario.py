"""The Python module over USB on a real kernel's USB stack (run by tools/usb-kernel-test.sh in the
virtual machine, with the depth camera the only board bound): the built-in set-up, 60 DEPTH frames
with the scene's depth, in order; the frame-to-caller latency (printed); a second camera object on the board refused while the first
streams; range switches, each followed by frames of the new range only; a halt and an unplug and
re-plug (the gadget unbound and bound again), after each of which frames resume by themselves.

Usage: usb_python_scenario.py VKERNEL_LIBRARY BOARD_PID_FILE GADGET_DIR UDC
  VKERNEL_LIBRARY: only computes the scene's truth here (loaded privately, it intercepts nothing);
  BOARD_PID_FILE: the depth camera program's pid (SIGUSR1 halts its bulk IN endpoint);
  GADGET_DIR, UDC: its gadget in configfs and its controller (unbinding it is an unplug).
"""
import ctypes
import os
import signal
import sys
import time

import numpy as np

import LumivexDepthCamera as ldc


def scene_truth(library, range_m):
    lib = ctypes.CDLL(library)
    depth = np.zeros(240 * 180, np.float32)
    amplitude = np.zeros(240 * 180, np.float32)
    pointer = ctypes.POINTER(ctypes.c_float)
    assert lib.lumivex_vk_scene_truth(b"default", range_m, depth.ctypes.data_as(pointer),
                                      amplitude.ctypes.data_as(pointer)) == 0
    return depth.reshape(180, 240)


def check_switches(camera, truth, last):
    """Range switches from a program busy before each: every frame after one is of the new range."""
    failures = 0
    for range_m in (2, 4, 2, 4, 2, 4):
        time.sleep(0.1)
        assert camera.setControl(ldc.TOFControl.RANG, range_m) == 0
        for i in range(4):
            frame = camera.requestFrame(3000)
            if frame is None:
                print(f"FAIL: frame {i} after the switch to {range_m} m arrived")
                return failures + 1, last
            form = frame.getFrameFormat()
            error = float(np.abs(frame.getDepthData() - truth[range_m]).max())
            if form.range != range_m or error >= 0.02 or form.timestamp <= last:
                print(f"FAIL: frame {i} after the switch to {range_m} m: range {form.range}, depth error "
                      f"{error:.3f} m, time stamp {form.timestamp} after {last}")
                failures += 1
            last = form.timestamp
            camera.releaseFrame(frame)
    print(("PASS" if failures == 0 else "FAIL") + ": 6 range switches, every frame after each of the new range")
    return failures, last


def resumes(camera, truth, range_m, last, what, bound_s=5.0):
    """Frames after a fault come by themselves: whole, of the range in force, in order."""
    began = time.monotonic()
    frame = None
    while frame is None and time.monotonic() - began < 30:
        frame = camera.requestFrame(1000)
    took = time.monotonic() - began
    if frame is None:
        print(f"FAIL: {what}: no frame in 30 s")
        return 1, last
    failures = 0
    for i in range(10):
        form = frame.getFrameFormat()
        error = float(np.abs(frame.getDepthData() - truth[range_m]).max())
        if form.range != range_m or error >= 0.02 or form.timestamp <= last:
            print(f"FAIL: {what}: frame {i}: range {form.range}, depth error {error:.3f} m, "
                  f"time stamp {form.timestamp} after {last}")
            failures += 1
        last = form.timestamp
        camera.releaseFrame(frame)
        frame = camera.requestFrame(3000)
        if frame is None:
            print(f"FAIL: {what}: frame {i + 1} arrived")
            return failures + 1, last
    camera.releaseFrame(frame)
    ok = failures == 0 and took < bound_s
    print(("PASS" if ok else "FAIL") + f": {what}: frames resume by themselves ({took:.2f} s), whole, in order, "
          f"at {range_m} m")
    return (0 if ok else 1), last


def check_recovery(camera, truth, last, pid_file, gadget, udc):
    failures = 0
    with open(pid_file) as f:
        board = int(f.read().strip())
    os.kill(board, signal.SIGUSR1)  # the board halts its bulk IN endpoint
    failed, last = resumes(camera, truth, 4, last, "after a halt")
    failures += failed
    with open(os.path.join(gadget, "UDC"), "w") as f:
        f.write("\n")  # unplugged
    time.sleep(1.0)
    began = time.monotonic()
    gone = camera.requestFrame(5000)
    waited = time.monotonic() - began
    if gone is not None:
        camera.releaseFrame(gone)
    ok = gone is None and waited < 2.0
    print(("PASS" if ok else "FAIL") + f": while the camera is gone a wait returns at once ({waited:.2f} s)")
    failures += 0 if ok else 1
    with open(os.path.join(gadget, "UDC"), "w") as f:
        f.write(udc + "\n")  # plugged in again
    failed, last = resumes(camera, truth, 4, last, "after an unplug and re-plug")
    return failures + failed


def report_latency(camera, frames=100):
    """Frame-to-caller latency through the kernel's USB stack at high speed (no short packets):
    requestFrame's return against the frame's own time stamp (the board clock, synchronised
    to the real-time clock, in 100 ns units from 1601). A figure, not a pass or fail."""
    latencies = []
    for _ in range(frames):
        frame = camera.requestFrame(3000)
        now = time.time() + 11644473600
        if frame is None:
            continue
        latencies.append((now - frame.getFrameFormat().timestamp / 1e7) * 1e3)
        camera.releaseFrame(frame)
    latencies.sort()
    if latencies:
        pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))]
        print(f"LATENCY: frame to caller over {len(latencies)} DEPTH frames at 30 fps, USB 2 through the "
              f"kernel: p50 {pick(0.5):.2f} ms, p99 {pick(0.99):.2f} ms")


def main():
    truths = {r: scene_truth(sys.argv[1], r) for r in (2, 4)}
    truth = truths[4]
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.USB, 0) == 0, "open"
    assert camera.start(ldc.TOFOutput.DEPTH) == 0, "start"
    second = ldc.LumivexCamera()
    refused = second.open(ldc.TOFConnect.USB, 0) == 1 and second.start(ldc.TOFOutput.DEPTH) == -1
    print(("PASS" if refused else "FAIL") + ": a second camera object on the board in use is refused")
    last, failures = 0, 0
    for i in range(60):
        frame = camera.requestFrame(3000)
        if frame is None:
            print(f"FAIL: frame {i} arrived")
            failures += 1
            break
        stamp = frame.getFrameFormat().timestamp
        error = float(np.abs(frame.getDepthData() - truth).max())
        if error >= 0.02 or stamp <= last:
            print(f"FAIL: frame {i}: depth error {error:.3f} m, time stamp {stamp} after {last}")
            failures += 1
        last = stamp
        camera.releaseFrame(frame)
    print(("PASS" if failures == 0 else "FAIL") + ": Python over USB: 60 DEPTH frames with the scene's depth, in order")
    report_latency(camera)
    switched, last = check_switches(camera, truths, last)
    failures += switched + (0 if refused else 1)
    if len(sys.argv) == 5:
        failures += check_recovery(camera, truths, last, sys.argv[2], sys.argv[3], sys.argv[4])
    assert camera.stop() == 0 and camera.close() == 0
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
