#!/usr/bin/env python3
"""Calibrates the camera's lens from amplitude images of a printed checkerboard.

Hold the board in front of the camera and move it: near the middle, the
edges and the corners of the picture, turned 20 to 40 degrees in different
directions. Views that add something are kept; once enough are in and they
reach most of the picture (or the time is up, or q is pressed in the window)
the lens is computed and written as a lens file for LumivexMetric and
lumivex-convert --ply."""
import argparse
import datetime
import os
import sys
import time

import numpy as np

from camera_session import add_camera_options, finish, open_camera, positive, program_name

WIDTH, HEIGHT = 240, 180
COVERAGE_GRID = (8, 6)        # cells across and down the picture that views should reach
NEW_VIEW_PIXELS = 8.0         # a view is new when some corner moved this far from where it was in every kept view
LEAST_COVERAGE = 0.5          # of the grid's cells, for a lens that holds across the picture
WANTED_COVERAGE = 0.7         # collecting goes on until the views reach this much of the picture
LEAST_TILT_SPREAD = 15.0      # degrees between the board's most different orientations
LARGEST_RMS = 1.0             # pixels: beyond, the corners were not found well enough to trust


def board_size(text):
    """An argparse type: COLSxROWS inner corners, each 2 or more."""
    try:
        cols, rows = (int(part) for part in text.lower().split("x"))
    except ValueError:
        cols = rows = 0
    if cols < 2 or rows < 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not COLSxROWS inner corners (such as 7x5)")
    return cols, rows


def metres(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a square size in metres (such as 0.05)")
    return value


def amplitude_picture(amplitude):
    """The amplitude as 8 bits, the brightest 0.5 % saturated."""
    top = float(np.percentile(amplitude, 99.5)) or 1.0
    return np.clip(np.asarray(amplitude, np.float64).reshape(HEIGHT, WIDTH) * (255.0 / top), 0, 255).astype(np.uint8)


def find_corners(cv2, picture, board, scale=2):
    """The board's inner corners (sub-pixel, n x 2), or None. Found in the
    picture enlarged (the squares of a 240 x 180 picture are small): twice
    to find the board at the camera's pace, four times for the corners of a
    view that is kept (the corners' small bias shrinks with the scale)."""
    bigger = cv2.resize(picture, None, fx=scale, fy=scale, interpolation=cv2.INTER_CUBIC)
    found, corners = cv2.findChessboardCornersSB(bigger, board, flags=cv2.CALIB_CB_ACCURACY)
    if not found:
        return None
    return ((corners.reshape(-1, 2) + 0.5) / scale - 0.5).astype(np.float32)


def is_new_view(corners, kept):
    """True when the board moved or turned from every kept view: its farthest
    moved corner (a turn moves the outer corners most), whichever of the
    board's two symmetric orders the corners were found in."""
    def moved(a, b):
        return min(np.max(np.linalg.norm(a - b, axis=1)), np.max(np.linalg.norm(a - b[::-1], axis=1)))
    return all(moved(corners, other) > NEW_VIEW_PIXELS for other in kept)


def coverage(kept):
    """The share of the picture's grid cells some kept corner falls in."""
    cells = set()
    for corners in kept:
        for x, y in corners:
            cells.add((min(int(x * COVERAGE_GRID[0] / WIDTH), COVERAGE_GRID[0] - 1),
                       min(int(y * COVERAGE_GRID[1] / HEIGHT), COVERAGE_GRID[1] - 1)))
    return len(cells) / (COVERAGE_GRID[0] * COVERAGE_GRID[1])


def tilt_spread(cv2, rotations):
    """The largest angle in degrees between the board's normals over the views."""
    normals = [cv2.Rodrigues(r)[0][:, 2] for r in rotations]
    largest = 0.0
    for i, a in enumerate(normals):
        for b in normals[i + 1:]:
            largest = max(largest, np.degrees(np.arccos(np.clip(abs(float(a @ b)), -1.0, 1.0))))
    return largest


def judge(views, least_views, spread=None, rms=None, cover=None):
    """Why no lens may be written from these views, or None."""
    if len(views) < least_views:
        return (f"too few views: {len(views)} kept, {least_views} needed. Move the board through the picture "
                "(middle, edges, corners) and turn it, so that each view differs from the others")
    if cover is not None and cover < LEAST_COVERAGE:
        return (f"the views cover only {cover:.0%} of the picture ({LEAST_COVERAGE:.0%} needed): "
                "hold the board near the edges and corners too")
    if spread is not None and spread < LEAST_TILT_SPREAD:
        return (f"the views are too similar: the board faced the camera within {spread:.1f} degrees in all of them "
                f"({LEAST_TILT_SPREAD:.0f} needed). Turn it 20 to 40 degrees up, down, left and right")
    if rms is not None and rms > LARGEST_RMS:
        return (f"the corners do not fit one lens (RMS reprojection error {rms:.2f} pixels, at most {LARGEST_RMS} "
                "allowed): is the board flat, is --board right, and did it move while a frame was taken?")
    return None


def show(cv2, window, picture, corners, board, status):
    shown = cv2.cvtColor(cv2.resize(picture, None, fx=3, fy=3, interpolation=cv2.INTER_NEAREST), cv2.COLOR_GRAY2BGR)
    if corners is not None:
        cv2.drawChessboardCorners(shown, board, (corners.reshape(-1, 1, 2) + 0.5) * 3 - 0.5, True)
    cv2.putText(shown, status, (8, 20), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 255, 255), 1, cv2.LINE_AA)
    cv2.imshow(window, shown)
    return cv2.waitKey(1) & 0xFF in (ord("q"), 27)


def main(argv=None) -> int:
    name = program_name(__file__)
    parser = argparse.ArgumentParser(prog=name, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    add_camera_options(parser)
    parser.add_argument("--board", type=board_size, required=True, help="inner corners of the board, COLSxROWS (such as 7x5)")
    parser.add_argument("--square", type=metres, required=True, help="side of one printed square in metres (such as 0.05)")
    parser.add_argument("--output", required=True, help="the lens file to write (JSON)")
    parser.add_argument("--force", action="store_true", help="replace an existing lens file")
    parser.add_argument("--views", type=positive, default=16,
                        help=f"views to collect before calibrating, once they cover {WANTED_COVERAGE * 100:.0f}%% of the picture (default 16)")
    parser.add_argument("--least-views", type=positive, default=10, help="fewest views a lens is made from (default 10)")
    parser.add_argument("--time-limit", type=positive, default=120,
                        help="seconds to collect views before calibrating with what is there (default 120)")
    parser.add_argument("--no-window", action="store_true", help="progress as text even where a display exists")
    args = parser.parse_args(argv)
    try:
        import cv2
    except ImportError:
        print(f"{name} needs OpenCV: sudo apt-get install python3-opencv", file=sys.stderr)
        return 2
    try:
        import LumivexMetric as metric
    except ImportError as error:
        print(f"{name}: cannot import LumivexMetric ({error})", file=sys.stderr)
        return 2
    if os.path.exists(args.output) and not args.force:
        print(f"{name}: {args.output} exists: give another --output, or --force to replace it", file=sys.stderr)
        return 1
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.access(folder, os.W_OK):
        print(f"{name}: {folder} is no folder the lens file can be written to", file=sys.stderr)
        return 1

    window = None
    if not args.no_window and os.environ.get("DISPLAY"):
        try:
            window = name
            cv2.namedWindow(window)
        except cv2.error:
            window = None
    board = args.board
    camera = open_camera(args, "DEPTH")
    kept, frames, began = [], 0, time.monotonic()
    print(f"{name}: collecting {args.views} views of a {board[0]}x{board[1]} board "
          f"(up to {args.time_limit} s{', q in the window ends it' if window else ', Ctrl-C ends it'})", flush=True)
    try:
        while ((len(kept) < args.views or coverage(kept) < WANTED_COVERAGE)
               and time.monotonic() - began < args.time_limit):
            frame = camera.requestFrame(args.timeout)
            if frame is None:
                continue
            picture = amplitude_picture(frame.getAmplitudeData())
            camera.releaseFrame(frame)
            frames += 1
            corners = find_corners(cv2, picture, board)
            if corners is not None and is_new_view(corners, kept):
                finer = find_corners(cv2, picture, board, scale=4)
                kept.append(finer if finer is not None else corners)
                print(f"view {len(kept)} kept (frame {frames}): the views cover "
                      f"{coverage(kept):.0%} of the picture", flush=True)
            if window is not None:
                status = f"views {len(kept)}/{args.views}  coverage {coverage(kept):.0%}"
                if show(cv2, window, picture, corners, board, status):
                    break
    except KeyboardInterrupt:
        print(file=sys.stderr)
    finally:
        finish(camera)
        if window is not None:
            cv2.destroyAllWindows()

    cover = coverage(kept)
    refusal = judge(kept, args.least_views, cover=cover)
    if refusal is None:
        grid = np.zeros((board[0] * board[1], 3), np.float32)
        grid[:, :2] = np.mgrid[0:board[0], 0:board[1]].T.reshape(-1, 2) * args.square
        rms, matrix, distortion, rotations, _ = cv2.calibrateCamera(
            [grid] * len(kept), kept, (WIDTH, HEIGHT), None, None)
        refusal = judge(kept, args.least_views, spread=tilt_spread(cv2, rotations), rms=rms)
    if refusal is not None:
        print(f"{name}: no lens written: {refusal}", file=sys.stderr)
        return 1
    k1, k2, p1, p2, k3 = (float(v) for v in distortion.ravel()[:5])
    lens = metric.Lens(float(matrix[0, 0]), float(matrix[1, 1]), float(matrix[0, 2]), float(matrix[1, 2]),
                       k1, k2, p1, p2, k3,
                       f"calibrated by {name} on {datetime.date.today().isoformat()}: {len(kept)} views of a "
                       f"{board[0]}x{board[1]} board of {args.square * 1000:g} mm squares, RMS reprojection error "
                       f"{rms:.3f} pixels")
    try:
        lens.save(args.output)
    except ValueError:
        print(f"{name}: no lens written: the lens found does not hold across the picture (its distortion folds over "
              "where no view reached): hold the board near the edges and corners too", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{name}: no lens written: {error}", file=sys.stderr)
        return 1
    print(f"RMS reprojection error {rms:.3f} pixels over {len(kept)} views covering {cover:.0%} of the picture")
    print(f"fx {lens.fx:.2f}  fy {lens.fy:.2f}  cx {lens.cx:.2f}  cy {lens.cy:.2f}  "
          f"k1 {k1:.4f}  k2 {k2:.4f}  p1 {p1:.5f}  p2 {p2:.5f}  k3 {k3:.4f}")
    print(f"lens written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
