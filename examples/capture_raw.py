#!/usr/bin/env python3
"""Captures raw phase frames and saves them with their time stamps as a NumPy .npz file."""
import argparse
import sys

import numpy as np

from camera_session import add_camera_options, finish, open_camera


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    add_camera_options(parser)
    parser.add_argument("--frames", type=int, default=10, help="frames to capture (default 10)")
    parser.add_argument("--output", default="raw_frames.npz", help="file to write (default raw_frames.npz)")
    args = parser.parse_args()

    camera = open_camera(args, "RAW")
    frames, stamps = [], []
    for _ in range(args.frames):
        frame = camera.requestFrame(args.timeout)
        if frame is None:
            print(f"no frame within {args.timeout} ms", file=sys.stderr)
            continue
        frames.append(frame.getRawData())
        stamps.append(frame.getFramFormat().timestamp)
        camera.releaseFrame(frame)
    finish(camera)
    if not frames:
        print("no frames received", file=sys.stderr)
        return 1
    # raw: (frames, 180, 960) int16, each line the four phase lines side by side;
    # timestamps: 100 ns units.
    np.savez(args.output, raw=np.stack(frames), timestamps=np.array(stamps, dtype=np.uint64))
    print(f"saved {len(frames)} raw frames to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
