#!/usr/bin/env python3
"""Captures depth frames, prints a summary and saves depth.png and amplitude.png."""
import argparse
import os
import sys
import time

import numpy as np

from camera_session import add_camera_options, current_range, finish, open_camera, positive, program_name
import depth_view as view


def save_image(path, image, title, label, vmin, vmax, colormap):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(6.4, 5.0))
    shown = axes.imshow(image, cmap=colormap, vmin=vmin, vmax=vmax)
    axes.set_title(title)
    axes.set_axis_off()
    figure.colorbar(shown, ax=axes, label=label)
    figure.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(figure)


def main() -> int:
    name = program_name(__file__)
    parser = argparse.ArgumentParser(prog=name, description=__doc__)
    add_camera_options(parser)
    parser.add_argument("--frames", type=positive, default=30, help="frames to capture (default 30)")
    parser.add_argument("--output", default=".", help="folder for depth.png and amplitude.png (default .)")
    args = parser.parse_args()
    try:  # before the camera is touched: the images need it
        import matplotlib  # noqa: F401
    except ImportError:
        print(f"{name} needs matplotlib: sudo apt-get install python3-matplotlib", file=sys.stderr)
        return 2

    camera = open_camera(args, "DEPTH")
    stamps, depth, amplitude = [], None, None
    began = time.monotonic()
    for _ in range(args.frames):
        frame = camera.requestFrame(args.timeout)
        if frame is None:
            print(f"no frame within {args.timeout} ms", file=sys.stderr)
            continue
        stamps.append(frame.getFrameFormat().timestamp)
        depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
        camera.releaseFrame(frame)
    elapsed = time.monotonic() - began
    metres = current_range(camera)
    finish(camera)
    if depth is None:
        print("no frames received", file=sys.stderr)
        return 1

    spacing = np.diff(np.array(stamps, dtype=np.float64)) / 1e4  # 100 ns units to ms
    centre = float(np.median(depth[88:93, 118:123]))
    print(f"frames        {len(stamps)} of {args.frames}")
    print(f"frame rate    {len(stamps) / elapsed:.1f} per second")
    if spacing.size:
        print(f"time stamps   {spacing.mean():.1f} ms apart (min {spacing.min():.1f}, max {spacing.max():.1f})")
    print(f"centre        {centre:.3f} m")
    print(f"range         {metres} m")
    print(f"depth         {depth.min():.3f} ... {depth.max():.3f} m, amplitude up to {amplitude.max():.0f}")

    os.makedirs(args.output, exist_ok=True)
    depth_path = os.path.join(args.output, "depth.png")
    amplitude_path = os.path.join(args.output, "amplitude.png")
    # The viewer's colour map and scales: turbo over 0 .. the range, amplitude
    # up to its high percentile.
    from matplotlib.colors import ListedColormap
    turbo = ListedColormap(view.TURBO_RGB / 255.0, name="lumivex-turbo")
    save_image(depth_path, depth, "Depth", "metres", 0.0, float(metres or 4), turbo)
    save_image(amplitude_path, amplitude, "Amplitude", "sample units", 0.0, view.amplitude_limit(amplitude), "gray")
    print(f"saved         {depth_path}")
    print(f"saved         {amplitude_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
