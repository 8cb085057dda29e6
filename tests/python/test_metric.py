"""Metric 3-D: lenses, point clouds, masks and PLY files, against the virtual room's exact geometry."""
import ast
import errno
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import LumivexDepthCamera as ldc
import LumivexMetric as lm

H, W = 180, 240
SOURCE = pathlib.Path(os.environ.get("LUMIVEX_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))

# The virtual room as sim/README.md describes it (camera frame: x right, y down, z forward).
BACK_WALL_Z, FLOOR_Y, SIDE_WALL_X = 2.6, 0.9, -1.4
BOX_CENTRE, BOX_HALF, BOX_TURN = np.array([-0.45, 0.6, 1.9]), np.array([0.25, 0.3, 0.2]), np.radians(30)
SPHERE_CENTRE, SPHERE_RADIUS = np.array([0.55, 0.05, 1.7]), 0.3
BACK, FLOOR, SIDE, SPHERE = 0, 1, 2, 3  # surfaces; the box's faces are 4 ... 9


def room_hits(rays):
    """Every surface's distance along each ray (inf where it is missed), by label."""
    rays = rays.astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        planes = {BACK: BACK_WALL_Z / rays[..., 2], FLOOR: FLOOR_Y / rays[..., 1], SIDE: SIDE_WALL_X / rays[..., 0]}
    hits = {k: np.where(t > 0, t, np.inf) for k, t in planes.items()}
    b = rays @ SPHERE_CENTRE
    disc = b * b - (SPHERE_CENTRE @ SPHERE_CENTRE - SPHERE_RADIUS ** 2)
    hits[SPHERE] = np.where(disc >= 0, b - np.sqrt(np.maximum(disc, 0)), np.inf)
    # The box: the ray in the box's own frame (columns of the turn are its axes), through three slabs.
    c, s = np.cos(BOX_TURN), np.sin(BOX_TURN)
    axes = np.array([[c, 0, -s], [0, 1, 0], [s, 0, c]])  # rows: the box's x, y, z in the camera frame
    origin = axes @ -BOX_CENTRE
    d = rays @ axes.T
    with np.errstate(divide="ignore", invalid="ignore"):
        t0 = (-BOX_HALF - origin) / d
        t1 = (BOX_HALF - origin) / d
    near, far = np.minimum(t0, t1), np.maximum(t0, t1)
    entry, leave = near.max(axis=-1), far.min(axis=-1)
    face = near.argmax(axis=-1) * 2 + (d[np.arange(len(d))[:, None], np.arange(d.shape[1])[None, :], near.argmax(axis=-1)] < 0)
    inside = (entry <= leave) & (entry > 0)
    for f in range(6):
        hits[4 + f] = np.where(inside & (face == f), entry, np.inf)
    return hits


def room_truth(lens):
    """The true distance and surface of each pixel's ray."""
    hits = room_hits(lens.rays())
    labels = sorted(hits)
    stack = np.stack([hits[k] for k in labels])
    return stack.min(axis=0), np.array(labels)[stack.argmin(axis=0)], hits


def interior(label, wanted, margin=2):
    """Pixels whose (2 margin + 1)^2 neighbourhood lies on the same surface."""
    same = label == wanted
    out = same.copy()
    for dy in range(-margin, margin + 1):
        for dx in range(-margin, margin + 1):
            out &= np.roll(np.roll(same, dy, 0), dx, 1)
    out[:margin], out[-margin:], out[:, :margin], out[:, -margin:] = False, False, False, False
    return out


def capture_depth(vkernel, settings):
    vkernel.configure(settings)
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.CSI, 0) == 0
    try:
        assert camera.setControl(ldc.TOFControl.RANG, 4) == 0
        assert camera.start(ldc.TOFOutput.DEPTH) == 0
        frame = camera.requestFrame(3000)
        assert frame is not None
        depth, amplitude = frame.getDepthData().reshape(H, W), frame.getAmplitudeData().reshape(H, W)
        camera.releaseFrame(frame)
        return depth, amplitude
    finally:
        camera.stop()
        camera.close()


def fit_plane(points):
    centre = points.mean(axis=0)
    normal = np.linalg.svd(points - centre)[2][2]
    return normal * np.sign(normal[2] or 1), centre


def fit_sphere(points):
    a = np.c_[2 * points, np.ones(len(points))]
    solution = np.linalg.lstsq(a, (points ** 2).sum(axis=1), rcond=None)[0]
    centre = solution[:3]
    return centre, np.sqrt(solution[3] + centre @ centre)


@pytest.fixture(scope="module")
def lens_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("lens") / "true-lens.json"
    lm.Lens.nominal().save(path)  # the virtual camera's lens is the nominal one
    return path


def test_the_room_in_metres_adds_no_error_of_its_own(vkernel, lens_file):
    lens = lm.Lens.load(lens_file)
    depth, _ = capture_depth(vkernel, "platform=rpi5,scene=room")
    true_depth, label, _ = room_truth(lens)
    cloud = lm.point_cloud(depth, lens)
    assert cloud.points.shape == (H, W, 3) and cloud.points.dtype == np.float32 and cloud.valid.all()
    # Every point's length is its pixel's depth, to float rounding.
    length = np.linalg.norm(cloud.points.astype(np.float64), axis=-1)
    assert np.max(np.abs(length - depth) / depth) < 4e-7
    # The back wall: no more off its plane than the depth is off the true distances.
    wall = interior(label, BACK)
    assert wall.sum() > 10000
    points = cloud.points[wall].astype(np.float64)
    plane_rms = np.sqrt(np.mean((points[:, 2] - BACK_WALL_Z) ** 2))
    depth_rms = np.sqrt(np.mean((depth[wall] - true_depth[wall]) ** 2))
    assert plane_rms <= 1.1 * depth_rms
    normal, _ = fit_plane(points)
    assert np.degrees(np.arccos(min(1.0, normal[2]))) < 0.1
    # The sphere's radius, fitted to its points away from the silhouette.
    ball = interior(label, SPHERE)
    assert ball.sum() > 1000
    centre, radius = fit_sphere(cloud.points[ball].astype(np.float64))
    assert abs(radius - SPHERE_RADIUS) < 0.003
    assert np.linalg.norm(centre - SPHERE_CENTRE) < 0.005
    print(f"\nroom, no noise: back wall RMS to its plane {plane_rms * 1000:.2f} mm "
          f"(depth RMS {depth_rms * 1000:.2f} mm), normal off by {np.degrees(np.arccos(normal[2])):.4f} deg, "
          f"sphere radius {radius * 1000:.2f} mm")


def test_with_noise_the_back_wall_stays_flat_within_the_noise(vkernel, lens_file):
    lens = lm.Lens.load(lens_file)
    quiet, _ = capture_depth(vkernel, "platform=rpi5,scene=room")
    noisy, _ = capture_depth(vkernel, "platform=rpi5,scene=room,noise=7")
    _, label, _ = room_truth(lens)
    wall = interior(label, BACK)
    rms = [np.sqrt(np.mean((lm.point_cloud(d, lens).points[wall][:, 2] - BACK_WALL_Z) ** 2)) for d in (quiet, noisy)]
    print(f"\nroom back wall RMS to its plane: {rms[0] * 1000:.2f} mm without noise, {rms[1] * 1000:.2f} mm with noise")
    assert rms[0] < rms[1] < 0.05


def test_the_flying_pixel_mask_removes_mixed_points_and_keeps_the_faces(vkernel):
    lens = lm.Lens.nominal()
    depth, amplitude = capture_depth(vkernel, "platform=rpi5,scene=room")
    _, label, hits = room_truth(lens)
    threshold = 0.02
    cloud = lm.point_cloud(depth, lens, flying_pixel=threshold)
    # Points off every surface along their ray (by more than twice the threshold): mixed returns.
    off = np.min(np.stack([np.abs(depth - t) for t in hits.values()]), axis=0) > 2 * threshold * depth
    box = np.isin(label, range(4, 10))
    near_box = np.zeros_like(box)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            near_box |= np.roll(np.roll(box, dy, 0), dx, 1)
    assert (off & near_box).sum() >= 20  # the box's edges against the wall behind it
    assert not cloud.valid[off].any()
    assert np.isnan(cloud.points[off]).all()
    # Every pixel inside a face (of the box, the walls and the floor: two
    # pixels or more from its edges, the mask's reach) is kept.
    faces = [BACK, FLOOR, SIDE] + list(range(4, 10))
    assert sum(interior(label, surface).sum() for surface in faces) > 30000
    for surface in faces:
        inside = interior(label, surface)
        assert cloud.valid[inside].all(), surface
        assert np.isfinite(cloud.points[inside]).all()
    # The other masks, each alone and off unless asked.
    assert lm.point_cloud(depth, lens, amplitude, min_amplitude=0).valid.all()
    dim = lm.point_cloud(depth, lens, amplitude, min_amplitude=float(np.median(amplitude))).valid
    assert np.array_equal(dim, amplitude >= np.median(amplitude))
    silent_depth, silent_amplitude = depth.copy(), amplitude.copy()
    silent_depth[5, 7] = silent_amplitude[5, 7] = 0
    silent_depth[6, 7] = 0  # depth 0 with a signal is a point at the camera, kept
    kept = lm.point_cloud(silent_depth, lens, silent_amplitude, no_signal=True).valid
    assert not kept[5, 7] and kept[6, 7] and kept.sum() == H * W - 1
    assert np.array_equal(depth, capture_depth(vkernel, "platform=rpi5,scene=room")[0])  # never written


@pytest.mark.parametrize("call, error, words", [
    (lambda d, l: lm.point_cloud(d[:10], l), ValueError, "(180, 240) picture"),
    (lambda d, l: lm.point_cloud("depth", l), TypeError, "array of numbers"),
    (lambda d, l: lm.point_cloud(d, l, min_amplitude=10), ValueError, "need the amplitude"),
    (lambda d, l: lm.point_cloud(d, l, d, min_amplitude=float("nan")), ValueError, "min_amplitude must"),
    (lambda d, l: lm.point_cloud(d, l, flying_pixel=0), ValueError, "fraction of the depth above 0"),
    (lambda d, l: lm.point_cloud(d, l, d[:, :10]), ValueError, "amplitude must be a (180, 240)"),
    (lambda d, l: lm.point_cloud(d, lm.Lens(178, 178, 120, 90, k1=-1)), ValueError, "folds the picture"),
    (lambda d, l: lm.write_ply("x.ply", d), ValueError, "shape (..., 3)"),
    (lambda d, l: lm.write_ply("x.ply", np.zeros((4, 3)), np.zeros(3)), ValueError, "one value a point (4)"),
])
def test_bad_arguments_are_refused_with_the_reason(call, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)").replace(".", r"\.")):
        call(np.ones((H, W), np.float32), lm.Lens.nominal())


def test_a_lens_file_round_trips_and_bad_ones_are_refused(tmp_path):
    lens = lm.Lens(180.5, 179.25, 119.0, 91.5, -0.1, 0.02, 0.001, -0.002, 0.0005, "calibrated here")
    path = tmp_path / "lens.json"
    lens.save(path)
    back = lm.Lens.load(str(path))
    assert back == lens and back.description == "calibrated here"
    assert "Lens(fx=180.5, fy=179.25" in repr(back)
    assert lm.Lens.nominal().description.startswith("nominal")
    with pytest.raises(FileNotFoundError):
        lm.Lens.load(tmp_path / "missing.json")
    (tmp_path / "bad.json").write_text('{"format": "lumivex-lens 1"}')
    with pytest.raises(ValueError, match='no number "width"'):
        lm.Lens.load(tmp_path / "bad.json")
    with pytest.raises(OSError) as failed:
        lens.save(tmp_path / "no" / "lens.json")
    assert failed.value.errno == errno.ENOENT
    rays = lens.rays()
    assert rays.shape == (H, W, 3) and rays.dtype == np.float32 and not rays.flags.writeable
    assert np.allclose(np.linalg.norm(rays, axis=-1), 1, atol=2e-7)


def test_a_ply_file_holds_the_kept_points_and_their_amplitude(vkernel, tmp_path):
    lens = lm.Lens.nominal()
    depth, amplitude = capture_depth(vkernel, "platform=rpi5,scene=room")
    cloud = lm.point_cloud(depth, lens, amplitude, flying_pixel=0.02)
    path = tmp_path / "room.ply"
    assert lm.write_ply(path, cloud.points, amplitude) == cloud.valid.sum()
    data = path.read_bytes()
    header, body = data.split(b"end_header\n", 1)
    assert b"format binary_little_endian 1.0" in header and b"property float amplitude" in header
    assert f"element vertex {cloud.valid.sum()}".encode() in header
    rows = np.frombuffer(body, "<f4").reshape(-1, 4)
    assert np.array_equal(rows[:, :3], cloud.points[cloud.valid]) and np.array_equal(rows[:, 3], amplitude[cloud.valid])
    # A write that fails half way (a full disk: here a file size limit): an
    # OSError, and the old file kept whole, with no partial file beside it.
    code = (
        "import resource, signal, sys, numpy as np, LumivexMetric as lm\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        "try:\n    lm.write_ply(sys.argv[1], np.ones((1000, 3), np.float32))\n"
        "except OSError as e:\n    print('refused', e.errno)\n")
    result = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == f"refused {errno.EFBIG}", result.stderr
    assert path.read_bytes() == data
    assert sorted(p.name for p in tmp_path.iterdir()) == ["room.ply"]
    with pytest.raises(OSError):
        lm.write_ply(tmp_path, cloud.points)  # a folder is no file


def test_open3d_reads_our_ply_and_finds_the_back_wall(vkernel, tmp_path):
    o3d = pytest.importorskip("open3d", reason="Open3D (Debian's python3-open3d, amd64) is not installed")
    lens = lm.Lens.nominal()
    depth, amplitude = capture_depth(vkernel, "platform=rpi5,scene=room")
    cloud = lm.point_cloud(depth, lens, flying_pixel=0.02)
    path = tmp_path / "room.ply"
    lm.write_ply(path, cloud.points, amplitude)
    read = o3d.io.read_point_cloud(str(path))
    assert np.array_equal(np.asarray(read.points), cloud.points[cloud.valid].astype(np.float64))
    # Open3D's own plane segmentation on our arrays finds the back wall.
    kept = cloud.points[cloud.valid]
    far = kept[(kept[:, 2] > 2.3) & (kept[:, 1] < FLOOR_Y - 0.1)]
    o3d.utility.random.seed(1)
    built = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(far.astype(np.float64)))
    (a, b, c, d), inliers = built.segment_plane(distance_threshold=0.01, ransac_n=3, num_iterations=500)
    normal = np.array([a, b, c]) * np.sign(c)
    assert len(inliers) > 0.9 * len(far)
    assert np.degrees(np.arccos(min(1.0, normal[2]))) < 0.5
    assert abs(abs(d) / np.linalg.norm([a, b, c]) - BACK_WALL_Z) < 0.01


def test_both_virtual_cameras_and_the_launcher_look_through_the_lens_they_are_given(vkernel, vusb, tmp_path):
    lens = lm.Lens(185.0, 184.0, 117.5, 92.0, -0.08, 0.01, 0.0, 0.0, 0.0)
    (tmp_path / "lens.json").write_text(lens.to_json())
    setting = "lens=185/184/117.5/92/-0.08/0.01/0/0/0"
    csi, _ = capture_depth(vkernel, f"platform=rpi5,scene=room,{setting}")
    vusb.configure(f"camera=depth,scene=room,{setting}")
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.USB, 0) == 0
    try:
        assert camera.setControl(ldc.TOFControl.RANG, 4) == 0 and camera.start(ldc.TOFOutput.DEPTH) == 0
        frame = camera.requestFrame(3000)
        usb = frame.getDepthData().reshape(H, W)
        camera.releaseFrame(frame)
    finally:
        camera.stop()
        camera.close()
    assert np.array_equal(usb, csi)  # one scene, one lens, on either connection
    wall = interior(room_truth(lens)[1], BACK)
    assert abs(np.median(lm.point_cloud(csi, lens).points[wall][:, 2]) - BACK_WALL_Z) < 0.002
    # The launcher: a lens file named relative to where it starts, whatever the program does.
    code = ("import os, numpy as np, LumivexDepthCamera as L; os.chdir('/'); c = L.LumivexCamera(); "
            "assert c.open(L.TOFConnect.CSI, 0) == 0 and c.setControl(L.TOFControl.RANG, 4) == 0; "
            "assert c.start(L.TOFOutput.DEPTH) == 0; f = c.requestFrame(3000); "
            f"np.save({str(tmp_path / 'launched.npy')!r}, f.getDepthData()); c.releaseFrame(f); c.stop(); c.close()")
    launcher = str(pathlib.Path(os.environ["LUMIVEX_BIN"]) / "lumivex-virtual")
    run = subprocess.run([launcher, "--scene", "room", "--lens", "lens.json", "--", sys.executable, "-c", code],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert np.array_equal(np.load(tmp_path / "launched.npy").reshape(H, W), csi)
    for bad, words in [("1/2/3", "neither fx/fy/cx/cy/k1/k2/p1/p2/k3 nor a lens file"),
                       ("178/178/120/90/-1/0/0/0/0", "folds the picture over"), ("a,b.json", "neither , nor ;")]:
        run = subprocess.run([launcher, "--scene", "room", "--lens", bad, "--", "true"], cwd=tmp_path,
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 2 and words in run.stderr, run.stderr


def convert(*arguments):
    tool = pathlib.Path(os.environ.get("LUMIVEX_BIN", SOURCE / "build" / "bin")) / "lumivex-convert"
    return subprocess.run([str(tool), *map(str, arguments)], capture_output=True, text=True, timeout=120)


def read_ply(path):
    header, body = path.read_bytes().split(b"end_header\n", 1)
    return np.frombuffer(body, "<f4").reshape(-1, 4)


def record(vkernel, settings, path, lens=None):
    """Records frames of the virtual camera in the 4 m range (with the lens stored, if given)."""
    import lumivex_recording as rec
    vkernel.configure(settings)
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.CSI, 0) == 0
    try:
        recorder = rec.Recorder(camera)
        assert camera.setControl(ldc.TOFControl.RANG, 4) == 0 and camera.start(ldc.TOFOutput.DEPTH) == 0
        recorder.start(str(path), lens=lens)
        for _ in range(100):  # the frames captured from the recorder's start on
            if recorder.frames >= 2:
                break
            frame = camera.requestFrame(3000)
            if frame is not None:
                camera.releaseFrame(frame)
        assert recorder.stop() >= 2
        with pytest.raises(TypeError, match="LumivexMetric.Lens"):
            recorder.start(str(path) + ".other", lens="lens.json")
    finally:
        camera.stop()
        camera.close()


def test_a_recording_keeps_its_lens_and_converts_to_point_clouds_through_it(vkernel, tmp_path):
    import lumivex_recording as rec
    lens = lm.Lens(182.0, 181.0, 118.7, 91.2, -0.1, 0.02, 0.0008, -0.0005, 0.0, "this camera's")
    take = tmp_path / "room.lmvxrec"
    record(vkernel, "platform=rpi5,scene=room,lens=182/181/118.7/91.2/-0.1/0.02/0.0008/-0.0005/0", take, lens)
    recording = rec.Recording(str(take))
    assert lm.Lens.from_json(recording.lens) == lens and len(list(recording.frames())) >= 1
    # The stored lens is the one the converter uses; the points are the module's, bit for bit.
    assert convert(take, "--npz", tmp_path / "room.npz", "--count", "1").returncode == 0
    depth, amplitude = np.load(tmp_path / "room.npz")["depth"][0], np.load(tmp_path / "room.npz")["amplitude"][0]
    run = convert(take, "--ply", tmp_path / "clouds", "--count", "1", "--flying-pixel", "0.02")
    assert run.returncode == 0 and "nominal" not in run.stderr, run.stderr
    assert sorted(p.name for p in (tmp_path / "clouds").iterdir()) == ["cloud_000000.ply", "frames.csv"]
    expected = lm.point_cloud(depth, lens, flying_pixel=0.02)
    rows = read_ply(tmp_path / "clouds" / "cloud_000000.ply")
    assert np.array_equal(rows[:, :3], expected.points[expected.valid])
    assert np.array_equal(rows[:, 3], amplitude[expected.valid])
    # --lens replaces the stored lens; a recording without one gets the nominal lens, and says so.
    lm.Lens.nominal().save(tmp_path / "nominal.json")
    run = convert(take, "--ply", tmp_path / "given", "--count", "1", "--lens", tmp_path / "nominal.json")
    assert run.returncode == 0
    nominal = lm.point_cloud(depth, lm.Lens.nominal()).points.reshape(-1, 3)
    assert np.array_equal(read_ply(tmp_path / "given" / "cloud_000000.ply")[:, :3], nominal)


@pytest.mark.parametrize("arguments, status, words", [
    (["--ply", "{tmp}/c", "--lens", "{tmp}/missing.json"], 1, "missing.json: No such file"),
    (["--ply", "{tmp}/c", "--lens", "{tmp}/bad.json"], 1, "not a lens file"),
    (["--npz", "{tmp}/x.npz", "--lens", "{tmp}/bad.json"], 2, "--lens and --flying-pixel go with --ply"),
    (["--ply", "{tmp}/c", "--flying-pixel", "-1"], 2, "not a fraction of the depth"),
    (["--ply", "{tmp}/c", "--png", "{tmp}/p"], 2, "give one of --npz FILE, --png FOLDER and --ply FOLDER"),
    (["--ply", "{tmp}/c"], 0, "stores no lens: the camera's nominal lens is used"),
])
def test_point_cloud_conversion_refuses_what_it_cannot_use(vkernel, tmp_path, arguments, status, words):
    record(vkernel, "platform=rpi5,scene=room", tmp_path / "take.lmvxrec")
    (tmp_path / "bad.json").write_text("{}")
    run = convert(tmp_path / "take.lmvxrec", *(a.format(tmp=tmp_path) for a in arguments))
    assert run.returncode == status and words in run.stderr, run.stderr
    if status != 0:
        assert not (tmp_path / "c").exists()


def test_the_stub_names_every_argument_as_the_module_does():
    stub = ast.parse((SOURCE / "python" / "LumivexMetric.pyi").read_text())
    checked = 0
    for node in ast.walk(stub):
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            owner = lm.Lens if any(node in c.body for c in ast.walk(stub) if isinstance(c, ast.ClassDef)) else lm
            doc = getattr(owner, node.name).__doc__
            names = [a.arg for a in node.args.args if a.arg != "self"]
            signature = doc.splitlines()[0]
            found = [part.split(":")[0].strip() for part in signature[signature.index("(") + 1:signature.index(")")].split(",") if part.strip()]
            assert [n for n in found if n != "self"] == names, node.name
            assert len(doc.splitlines()) > 2, node.name  # a help text after the signature
            checked += 1
    assert checked == 8
