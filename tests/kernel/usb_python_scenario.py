"""The Python module over USB on a real kernel's USB stack (run by tools/usb-kernel-test.sh in the
virtual machine, with the depth camera the only board bound): the built-in set-up, 60 DEPTH frames
with the scene's depth, in order.

Usage: usb_python_scenario.py VKERNEL_LIBRARY   (the library only computes the scene's truth here:
it is loaded privately and intercepts nothing)
"""
import ctypes
import sys

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


def main():
    truth = scene_truth(sys.argv[1], 4)
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.USB, 0) == 0, "open"
    assert camera.start(ldc.TOFOutput.DEPTH) == 0, "start"
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
    assert camera.stop() == 0 and camera.close() == 0
    print(("PASS" if failures == 0 else "FAIL") + ": Python over USB: 60 DEPTH frames with the scene's depth, in order")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
