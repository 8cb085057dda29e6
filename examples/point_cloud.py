#!/usr/bin/env python3
"""Captures a depth frame and turns it into a point cloud in metres.

Saves the cloud as a PLY file (any point cloud viewer opens it) and prints
where the points are; --show draws it (with Open3D if installed, else
matplotlib). The lens comes from a lens file (lumivex-calibrate writes one)
or is the camera's nominal lens."""
import argparse
import os
import sys

import numpy as np

from camera_session import add_camera_options, finish, open_camera, program_name


def main(argv=None) -> int:
    name = program_name(__file__)
    parser = argparse.ArgumentParser(prog=name, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    add_camera_options(parser)
    parser.add_argument("--lens", help="lens file (default: the camera's nominal lens)")
    parser.add_argument("--output", default="cloud.ply", help="the PLY file to write (default cloud.ply)")
    parser.add_argument("--flying-pixel", type=float, default=0.03,
                        help="leave out pixels mixing two surfaces at depth edges: the jump, as a fraction of the "
                             "depth (default 0.03; 0 keeps them)")
    parser.add_argument("--min-amplitude", type=float, help="leave out pixels of less amplitude (default: none)")
    parser.add_argument("--show", action="store_true", help="draw the cloud")
    args = parser.parse_args(argv)
    import LumivexMetric as metric

    try:
        lens = metric.Lens.load(args.lens) if args.lens else metric.Lens.nominal()
    except (OSError, ValueError) as error:
        print(f"{name}: {error}", file=sys.stderr)
        return 1
    if not args.lens:
        print("using the camera's nominal lens: calibrate it (lumivex-calibrate) for accurate points")

    camera = open_camera(args, "DEPTH")
    frame = camera.requestFrame(args.timeout)
    if frame is None:
        finish(camera)
        print(f"{name}: no frame within {args.timeout} ms", file=sys.stderr)
        return 1
    depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
    camera.releaseFrame(frame)
    finish(camera)

    cloud = metric.point_cloud(depth, lens, amplitude, min_amplitude=args.min_amplitude,
                               flying_pixel=args.flying_pixel or None)
    points = cloud.points[cloud.valid]
    written = metric.write_ply(args.output, cloud.points, amplitude)
    distance = np.linalg.norm(points, axis=1)
    print(f"{written} points written to {args.output} ({cloud.valid.size - written} left out)")
    if len(points):
        low, high = points.min(axis=0), points.max(axis=0)
        print(f"nearest {distance.min():.3f} m, farthest {distance.max():.3f} m; x {low[0]:.2f} ... {high[0]:.2f}, "
              f"y {low[1]:.2f} ... {high[1]:.2f}, z {low[2]:.2f} ... {high[2]:.2f} m (x right, y down, z forward)")
    if args.show:
        if not os.environ.get("DISPLAY"):
            print(f"{name}: --show needs a display (DISPLAY is not set)", file=sys.stderr)
            return 1
        try:
            import open3d
            shown = open3d.geometry.PointCloud(open3d.utility.Vector3dVector(points.astype(np.float64)))
            open3d.visualization.draw_geometries([shown], window_name=name)
        except ImportError:
            import matplotlib.pyplot as plt
            axes = plt.figure().add_subplot(projection="3d")
            axes.scatter(points[::4, 0], points[::4, 2], -points[::4, 1], s=1, c=distance[::4])
            axes.set_xlabel("x (m)"), axes.set_ylabel("z (m)"), axes.set_zlabel("-y (m)")
            plt.show()
    return 0


if __name__ == "__main__":
    sys.exit(main())
