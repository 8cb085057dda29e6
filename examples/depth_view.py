"""Drawing depth frames for people: the colour map and its scale in metres,
the amplitude scale, the viewer's panes, readouts and status line, and
snapshots that keep the data. Shared by the examples; needs NumPy, and
OpenCV (cv2) for the viewer's canvas and PNG files.
"""
import os
import time

import numpy as np

LIGHT_SPEED = 299792458.0
# Amplitude at or above this is marked as saturated: the strongest signal the
# 12-bit samples carry is about 16,000 sample units.
SATURATION = 16000.0
AMPLITUDE_PERCENTILE = 99.0
AMPLITUDE_HEADROOM = 1.25  # the percentile sits at 80 % of the scale: a uniform scene is grey, not white


def modulation_hz(range_m):
    """The modulation frequency of a range setting (2 m: 75 MHz, 4 m: 37.5 MHz)."""
    return 75e6 if range_m == 2 else 37.5e6


def unambiguous_m(range_m):
    """The distance at which depth folds back to 0: c / (2 f)."""
    return LIGHT_SPEED / (2.0 * modulation_hz(range_m))


def _turbo(count=256):
    # Turbo colour map (polynomial fit), RGB in 0..1 for count levels.
    t = np.linspace(0.0, 1.0, count)
    r = 0.13572138 + t * (4.61539260 + t * (-42.66032258 + t * (132.13108234 + t * (-152.94239396 + t * 59.28637943))))
    g = 0.09140261 + t * (2.19418839 + t * (4.84296658 + t * (-14.18503333 + t * (4.27729857 + t * 2.82956604))))
    b = 0.10667330 + t * (12.64194608 + t * (-60.58204836 + t * (110.36276771 + t * (-89.90310912 + t * 27.34824973))))
    return np.clip(np.stack([r, g, b], axis=1), 0.0, 1.0)


TURBO_RGB = (_turbo() * 255.0 + 0.5).astype(np.uint8)  # 256 x 3, RGB


def depth_levels(depth, range_m):
    """Depth in metres to colour levels 0..255 over 0 .. the range."""
    top = float(range_m or 4)
    return np.clip(np.nan_to_num(depth) / top * 255.0, 0, 255).astype(np.uint8)


def colour_depth(depth, range_m):
    """Depth as a BGR image (the turbo map over 0 .. the range in metres)."""
    return TURBO_RGB[depth_levels(depth, range_m)][..., ::-1].copy()


def round_scale(value, ticks=4):
    """The smallest top of a scale at or above value whose `ticks` steps are round numbers
    (1, 2, 2.5 or 5 times a power of ten): its colour bar reads 0, 2500, 5000 ..., not 0, 2001, 4002 ..."""
    step = max(value, 1e-9) / ticks
    power = 10.0 ** np.floor(np.log10(step))
    for factor in (1.0, 2.0, 2.5, 5.0, 10.0):
        if factor * power >= step * (1 - 1e-12):
            return ticks * factor * power
    return ticks * 10.0 * power


def amplitude_limit(amplitude):
    """The top of the amplitude scale: a high percentile, so that a uniform or
    dim scene is not all white or all black, rounded up so that the bar's
    ticks are round numbers; never below 4."""
    return round_scale(max(float(np.percentile(amplitude, AMPLITUDE_PERCENTILE)) * AMPLITUDE_HEADROOM, 4.0))


def colour_amplitude(amplitude, limit=None):
    """Amplitude as grey levels over 0 .. limit, saturated pixels in red (BGR)."""
    limit = amplitude_limit(amplitude) if limit is None else limit
    grey = np.clip(amplitude / limit * 255.0, 0, 255).astype(np.uint8)
    image = np.repeat(grey[..., None], 3, axis=2)
    image[amplitude >= SATURATION] = (0, 0, 255)
    return image


def bar_ticks(top, count=5):
    """Evenly spaced tick values 0 .. top."""
    return [top * i / (count - 1) for i in range(count)]


def depth_bar_labels(range_m):
    """The colour bar's labels in metres, from the bottom (0) to the top (the range)."""
    return [f"{v:.1f} m" for v in bar_ticks(float(range_m or 4))]


def amplitude_bar_labels(limit):
    return [f"{v:.0f}" for v in bar_ticks(limit)]


def readout(depth, amplitude, column, row):
    """The distance and amplitude at a pixel, from the frame's own arrays."""
    return f"({column}, {row})  {float(depth[row, column]):.3f} m  amplitude {float(amplitude[row, column]):.0f}"


def fold_back_note(range_m):
    """The 2 m mode's warning: farther objects fold back into range."""
    if range_m != 2:
        return None
    return f"2 m range: objects beyond {unambiguous_m(2):.2f} m fold back into 0 - 2 m"


class FrameStats:
    """Frames per second from the frames' own time stamps (100 ns units),
    frame count, and dropped frames (gaps in the time stamps)."""

    def __init__(self, window=30):
        self.window = window
        self.stamps = []
        self.count = 0
        self.dropped = 0

    def add(self, timestamp):
        if self.stamps:
            step = timestamp - self.stamps[-1]
            spacing = self.spacing()
            if spacing and step > 1.5 * spacing:
                self.dropped += int(round(step / spacing)) - 1
        self.stamps = (self.stamps + [timestamp])[-self.window:]
        self.count += 1

    def spacing(self):
        if len(self.stamps) < 3:
            return None
        return float(np.median(np.diff(np.array(self.stamps, dtype=np.float64))))

    def fps(self):
        spacing = self.spacing()
        return 1e7 / spacing if spacing else 0.0


def status_line(range_m, stats, camera_name, state=None):
    """The status line; `state` (paused, recording ...) goes first when there is one."""
    mhz = modulation_hz(range_m) / 1e6
    line = (f"range {range_m} m ({mhz:g} MHz)  |  {stats.fps():.1f} fps  |  frame {stats.count}  |  "
            f"dropped {stats.dropped}  |  {camera_name}")
    return f"{state}  |  {line}" if state else line


# ---- the viewer's canvas (OpenCV) ----

PANE_TITLE_HEIGHT = 22
BAR_WIDTH = 70
STATUS_HEIGHT = 26
NOTE_COLOUR = (0, 220, 255)  # BGR: amber


def note_origin(pane_height):
    """Where the fold-back note's text starts in the panes' row."""
    return (6, pane_height - 10)


def _text(cv2, image, text, origin, scale=0.45, colour=(255, 255, 255)):
    cv2.putText(image, text, origin, cv2.FONT_HERSHEY_SIMPLEX, scale, (0, 0, 0), 3, cv2.LINE_AA)
    cv2.putText(image, text, origin, cv2.FONT_HERSHEY_SIMPLEX, scale, colour, 1, cv2.LINE_AA)


def _label(cv2, image, text, origin, scale, colour):
    """Text on a black band of its own: legible whatever colours lie under it."""
    (width, height), baseline = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, scale, 1)
    x, y = origin
    cv2.rectangle(image, (x - 4, y - height - 4), (x + width + 4, y + baseline + 2), (0, 0, 0), cv2.FILLED)
    cv2.putText(image, text, origin, cv2.FONT_HERSHEY_SIMPLEX, scale, colour, 1, cv2.LINE_AA)
    return (x - 4, y - height - 4, x + width + 4, y + baseline + 2)


def fit_status(cv2, status, width, scale=0.45):
    """The status line as it fits in `width` pixels: its last parts (the camera's
    name first) give way to the first (what the viewer is doing, the range, the rate)."""
    parts = status.split("  |  ")
    while len(parts) > 1 and cv2.getTextSize("  |  ".join(parts), cv2.FONT_HERSHEY_SIMPLEX, scale, 1)[0][0] > width:
        parts.pop()
    text = "  |  ".join(parts)
    while len(text) > 1 and cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, scale, 1)[0][0] > width:
        text = text[:-2] + "~"
    return text


def _bar(cv2, height, colours_bgr, labels):
    """A vertical colour bar (top = the last colour) with labels beside it."""
    bar = np.zeros((height, BAR_WIDTH, 3), np.uint8)
    levels = np.linspace(len(colours_bgr) - 1, 0, height).astype(int)
    bar[:, 4:20] = colours_bgr[levels][:, None, :]
    for i, label in enumerate(labels):
        y = int(round((height - 1) * (1 - i / (len(labels) - 1))))
        cv2.line(bar, (20, y), (25, y), (255, 255, 255), 1)
        _text(cv2, bar, label, (27, min(max(y + 4, 10), height - 2)), 0.38)
    return bar


def compose(cv2, depth, amplitude, range_m, scale, status, pointer=None, message=None):
    """The viewer's picture: titled depth and amplitude panes, each with its
    colour bar, a centre crosshair with its distance, the readout under the
    pointer (pixel coordinates in the frame), the fold-back note, a status line."""
    height, width = depth.shape
    depth_pane = cv2.resize(colour_depth(depth, range_m), None, fx=scale, fy=scale, interpolation=cv2.INTER_NEAREST)
    limit = amplitude_limit(amplitude)
    amp_pane = cv2.resize(colour_amplitude(amplitude, limit), None, fx=scale, fy=scale,
                          interpolation=cv2.INTER_NEAREST)
    ph = depth_pane.shape[0]
    cx, cy = width // 2, height // 2
    for pane in (depth_pane, amp_pane):  # centre crosshair
        px, py = cx * scale + scale // 2, cy * scale + scale // 2
        cv2.line(pane, (px - 10, py), (px + 10, py), (255, 255, 255), 1)
        cv2.line(pane, (px, py - 10), (px, py + 10), (255, 255, 255), 1)
    _text(cv2, depth_pane, f"centre {float(depth[cy, cx]):.3f} m", (cx * scale + 14, cy * scale - 8))
    grey = np.repeat(np.arange(256, dtype=np.uint8)[:, None], 3, axis=1)
    depth_bar = _bar(cv2, ph, TURBO_RGB[:, ::-1], depth_bar_labels(range_m))
    amp_bar = _bar(cv2, ph, grey, amplitude_bar_labels(limit))
    row = np.hstack([depth_pane, depth_bar, amp_pane, amp_bar])
    titles = np.zeros((PANE_TITLE_HEIGHT, row.shape[1], 3), np.uint8)
    _text(cv2, titles, f"Depth (m, 0 - {range_m} m)", (6, 16), 0.5)
    _text(cv2, titles, "Amplitude (sample units; red: saturated)", (depth_pane.shape[1] + BAR_WIDTH + 6, 16), 0.5)
    bottom = np.zeros((STATUS_HEIGHT * 2, row.shape[1], 3), np.uint8)
    _text(cv2, bottom, fit_status(cv2, status, row.shape[1] - 12), (6, 17), 0.45)
    if pointer is not None:
        column, line = pointer
        if 0 <= column < width and 0 <= line < height:
            _text(cv2, bottom, readout(depth, amplitude, column, line), (6, STATUS_HEIGHT + 17), 0.45, (120, 255, 255))
    note = fold_back_note(range_m)
    if note:  # at the foot of the depth pane
        _label(cv2, row, note, note_origin(ph), 0.45, NOTE_COLOUR)
    if message:
        _label(cv2, row, message, (6, 20), 0.5, (120, 255, 120))
    return np.vstack([titles, row, bottom])


def pane_pixel(x, y, scale, width, height):
    """The frame pixel under a canvas point, if it lies in either pane."""
    y -= PANE_TITLE_HEIGHT
    if y < 0 or y >= height * scale:
        return None
    pane_width = width * scale
    for origin in (0, pane_width + BAR_WIDTH):
        if origin <= x < origin + pane_width:
            return (x - origin) // scale, y // scale
    return None


def canvas_size(scale, width=240, height=180):
    return (2 * (width * scale + BAR_WIDTH), PANE_TITLE_HEIGHT + height * scale + 2 * STATUS_HEIGHT)


def fitting_scale(screen, width=240, height=180, largest=4):
    """The largest whole magnification whose canvas fits the screen (w, h)."""
    for scale in range(largest, 0, -1):
        w, h = canvas_size(scale, width, height)
        if w <= screen[0] and h + 60 <= screen[1]:  # room for the window frame
            return scale
    return 1


# ---- snapshots ----

def snapshot_paths(folder, when=None, kind="snapshot", extensions=(".png", ".npz")):
    """Unique absolute paths (PNG and NPZ) for a snapshot in `folder`."""
    folder = os.path.abspath(folder)
    os.makedirs(folder, exist_ok=True)
    stem = time.strftime(f"{kind}_%Y%m%d_%H%M%S", time.localtime(when))
    n = 0
    while True:
        name = stem if n == 0 else f"{stem}_{n}"
        paths = [os.path.join(folder, name + extension) for extension in extensions]
        try:  # claim the name: two snapshots in one second never overwrite each other
            descriptor = os.open(paths[-1], os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
            os.close(descriptor)
            return paths
        except FileExistsError:
            n += 1


def save_cloud(folder, depth, amplitude, lens_file=None, when=None):
    """Saves the frame's point cloud (metres, with its amplitude, flying
    pixels left out) as a PLY file; returns its absolute path."""
    import LumivexMetric as metric
    lens = metric.Lens.load(lens_file) if lens_file else metric.Lens.nominal()
    cloud = metric.point_cloud(depth, lens, amplitude, flying_pixel=0.03)
    (path,) = snapshot_paths(folder, when, "cloud", (".ply",))
    try:
        metric.write_ply(path, cloud.points, amplitude)
    except OSError:
        os.remove(path)  # the claimed name goes with the failure
        raise
    return path


def save_snapshot(folder, depth, amplitude, timestamp, range_m, picture=None, cv2=None):
    """Saves the data (.npz: depth, amplitude, timestamp, range_m) and, given
    the picture and OpenCV, the picture (.png). Returns the absolute paths."""
    png, npz = snapshot_paths(folder)
    with open(npz, "wb") as target:
        # The converter's names: depth, amplitude, timestamp, range (metres).
        np.savez(target, depth=depth, amplitude=amplitude, timestamp=np.uint64(timestamp), range=np.int32(range_m))
    if picture is not None and cv2 is not None:
        cv2.imwrite(png, picture)
    else:
        png = None
    return png, npz
