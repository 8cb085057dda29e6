#!/usr/bin/env python3
"""Live preview: colour-mapped depth and amplitude side by side.

Keys: 2 / 4 switch the range, s saves a snapshot, q or Esc quits.
"""
import argparse
import os
import sys
import time

import numpy as np

from camera_session import add_camera_options, current_range, finish, ldc, open_camera


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_camera_options(parser)
    parser.add_argument("--scale", type=int, default=3, help="window magnification (default 3)")
    args = parser.parse_args()

    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        print("No display available: preview.py needs a graphical session (X11 or Wayland). "
              "Use depth_snapshot.py to save images instead.", file=sys.stderr)
        return 2
    try:
        import cv2
    except ImportError:
        print("preview.py needs OpenCV: sudo apt-get install python3-opencv", file=sys.stderr)
        return 2

    camera = open_camera(args, ldc.TOFOutput.DEPTH)
    window = "Lumivex depth | amplitude"
    cv2.namedWindow(window)
    try:
        while True:
            frame = camera.requestFrame(args.timeout)
            if frame is not None:
                depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
                camera.releaseFrame(frame)
                metres = current_range(camera) or 4
                depth8 = np.clip(depth / metres * 255.0, 0, 255).astype(np.uint8)
                amplitude8 = np.clip(amplitude / max(float(amplitude.max()), 1.0) * 255.0, 0, 255).astype(np.uint8)
                view = np.hstack([cv2.applyColorMap(depth8, cv2.COLORMAP_TURBO),
                                  cv2.cvtColor(amplitude8, cv2.COLOR_GRAY2BGR)])
                view = cv2.resize(view, None, fx=args.scale, fy=args.scale, interpolation=cv2.INTER_NEAREST)
                cv2.putText(view, f"range {metres} m", (8, 24), cv2.FONT_HERSHEY_SIMPLEX, 0.7, (255, 255, 255), 2)
                cv2.imshow(window, view)
            key = cv2.waitKey(1) & 0xFF
            if key in (ord("q"), 27):
                break
            if key in (ord("2"), ord("4")):
                camera.setControl(ldc.TOFControl.RANG, int(chr(key)))
            if key == ord("s") and frame is not None:
                name = time.strftime("snapshot_%Y%m%d_%H%M%S.png")
                cv2.imwrite(name, view)
                print(f"saved {name}")
    finally:
        finish(camera)
        cv2.destroyAllWindows()
    return 0


if __name__ == "__main__":
    sys.exit(main())
