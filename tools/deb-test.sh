#!/bin/sh
# The packages as a user installs them: a fresh Debian 12 system (debootstrap
# into build-deb/root) installs the packages of build-deb/ARCH with apt
# (dependencies from the archive), then, with no source tree: lumivex-ls on
# the virtual cameras, a Python depth capture under lumivex-virtual, the C
# and C++ examples built with pkg-config and run on the virtual cameras;
# finally apt purge must leave nothing behind.
# Usage: tools/deb-test.sh   (after make deb; needs root, debootstrap, network to the Debian archive)
set -eu
cd "$(dirname "$0")/.."
ARCH=$(dpkg --print-architecture)
DEBS="$(pwd)/build-deb/$ARCH"
ls "$DEBS"/*.deb > /dev/null 2>&1 || { echo "deb-test: make deb first"; exit 2; }
MIRROR=${LUMIVEX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
BASE="$(pwd)/build-deb/root-base"
ROOT="$(pwd)/build-deb/root"

# A fresh system each run, from a bootstrapped copy kept between runs.
if [ ! -x "$BASE/usr/bin/apt-get" ]; then
    rm -rf "$BASE"
    echo "deb-test: bootstrapping Debian 12 ($MIRROR; a few minutes)"
    debootstrap --variant=minbase bookworm "$BASE" "$MIRROR" > "$(pwd)/build-deb/debootstrap.log" 2>&1 \
        || { tail -20 "$(pwd)/build-deb/debootstrap.log"; echo "deb-test: debootstrap failed"; exit 1; }
fi
unmount() {
    for m in "$ROOT/proc" "$ROOT/dev"; do mountpoint -q "$m" && umount -l "$m"; done
    return 0
}
# The test root takes 1 to 3 GB: it goes once the test has run (set
# LUMIVEX_KEEP_DEB_ROOT=1 to look into it), never while anything is mounted in it.
cleanup() {
    unmount
    if [ -z "${LUMIVEX_KEEP_DEB_ROOT:-}" ] && ! mountpoint -q "$ROOT/dev" && ! mountpoint -q "$ROOT/proc"; then
        rm -rf --one-file-system "$ROOT"
    fi
    return 0
}
trap cleanup EXIT
unmount
rm -rf --one-file-system "$ROOT"
cp -a "$BASE" "$ROOT"
mount -t proc proc "$ROOT/proc"
mount --bind /dev "$ROOT/dev"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
mkdir -p "$ROOT/debs"
for deb in "$DEBS"/*.deb; do
    case "$deb" in *-dbgsym_*) ;; *) cp "$deb" "$ROOT/debs/" ;; esac  # debug symbols are not for users
done

cat > "$ROOT/test.sh" <<'GUEST'
set -u
export DEBIAN_FRONTEND=noninteractive
fail=0
check() {  # status description
    if [ "$1" -eq 0 ]; then echo "ok: $2"; else echo "FAIL: $2"; fail=1; fi
}
apt-get update -q > /tmp/apt.log 2>&1
# What each way of installing takes (docs/packages.md gives these figures).
for way in "--no-install-recommends" "--install-recommends"; do
    echo "sizes with $way: $(apt-get install --assume-no $way /debs/*.deb 2>/dev/null |
        grep -E 'newly installed|^Need to get|^After this operation' | tr '\n' ' ')"
done
# The light install, as docs/packages.md gives it first: without the viewer's OpenCV.
apt-get install -y -q --no-install-recommends /debs/*.deb > /tmp/install.log 2>&1
check $? "apt installs the packages with their dependencies (--no-install-recommends)" || true
[ "$fail" -eq 0 ] || { tail -20 /tmp/install.log; exit 1; }
dpkg -L liblumivex1 liblumivex-dev python3-lumivex lumivex-tools | sort -u > /tmp/files
[ -e /usr/src ] && ls /usr/src | grep -q lumivex && { echo "FAIL: a source tree"; fail=1; }

lumivex-virtual --usb --usb-board pid=0x00F1,serial=SECOND-BOARD -- lumivex-ls --json > /tmp/ls.json 2>&1
python3 - <<'PY'
import json, sys
listing = json.load(open("/tmp/ls.json"))
ok = (listing["csi"][0]["node"] == "/dev/video0" and [b["serial"] for b in listing["usb"]] == ["LMVXT0F00001", "SECOND-BOARD"]
      and all(b["firmware"] for b in listing["usb"]))
sys.exit(0 if ok else 1)
PY
check $? "lumivex-ls --json lists the virtual CSI camera and two USB boards with serials and firmware"
lumivex-ls --help | grep -q "^usage: lumivex-ls"; check $? "lumivex-ls --help"
lumivex-view --help | grep -q "^usage: lumivex-view "; check $? "lumivex-view --help"
lumivex-snapshot --help | grep -q "^usage: lumivex-snapshot "; check $? "lumivex-snapshot --help"
# Installed without recommends: each tool that needs what is missing says what to install.
lumivex-view 2>&1 | grep -qx "lumivex-view needs OpenCV: sudo apt-get install python3-opencv"
check $? "lumivex-view without OpenCV says what to install"
lumivex-virtual -- lumivex-snapshot --frames 1 2>&1 | grep -qx "lumivex-snapshot needs matplotlib: sudo apt-get install python3-matplotlib"
check $? "lumivex-snapshot without matplotlib says what to install, before it opens the camera"
lumivex-virtual -- lumivex-calibrate --board 7x5 --square 0.05 --output /tmp/lens.json 2>&1 |
    grep -qx "lumivex-calibrate needs OpenCV: sudo apt-get install python3-opencv"
check $? "lumivex-calibrate without OpenCV says what to install"
man -w lumivex-ls > /dev/null 2>&1 || [ -e /usr/share/man/man1/lumivex-ls.1.gz ]; check $? "lumivex-ls has a manual page"

for connection in CSI USB; do
    lumivex-virtual --usb -- python3 - "$connection" <<'PY'
import sys
import LumivexDepthCamera as ldc
camera = ldc.LumivexCamera()
assert camera.open(getattr(ldc.TOFConnect, sys.argv[1]), 0) == 0
assert camera.setControl(ldc.TOFControl.RANG, 4) == 0
assert camera.start(ldc.TOFOutput.DEPTH) == 0
for _ in range(3):
    frame = camera.requestFrame(3000)
    depth = frame.getDepthData()
    assert depth.shape == (180, 240) and depth.dtype.name == "float32"
    assert 0.5 < float(depth[90, 120]) < 3.5, depth[90, 120]
    camera.releaseFrame(frame)
assert camera.stop() == 0 and camera.close() == 0
PY
    check $? "Python depth capture on the virtual $connection camera"
done

lumivex-virtual -- lumivex-record --frames 3 --output /tmp/take.lmvxrec > /tmp/record.log 2>&1 && python3 - <<'PY'
import sys
import lumivex_recording as rec
recording = rec.Recording("/tmp/take.lmvxrec")
frames = list(recording.frames())
sys.exit(0 if len(frames) == 3 and frames[0].sub_frames.shape == (4, 180, 240) and recording.damage is None else 1)
PY
check $? "lumivex-record records three frames that lumivex_recording reads back"

lumivex-convert /tmp/take.lmvxrec --npz /tmp/take.npz > /tmp/convert.log 2>&1 &&
    lumivex-virtual --replay /tmp/take.lmvxrec -- python3 - > /tmp/replay.log 2>&1 <<'PY'
import sys, numpy as np, LumivexDepthCamera as L
expected = np.load("/tmp/take.npz")["depth"]
camera = L.LumivexCamera()
assert camera.open(L.TOFConnect.CSI, 0) == 0 and camera.start(L.TOFOutput.DEPTH) == 0
frame = camera.requestFrame(2000)
assert frame is not None
depth = frame.getDepthData()
sys.exit(0 if any(np.array_equal(depth, e) for e in expected) else 1)
PY
check $? "lumivex-convert, and a Python program on lumivex-virtual --replay with the same depth"

lumivex-virtual -- python3 - > /tmp/recorder.log 2>&1 <<'PY'
import sys, LumivexDepthCamera as L, lumivex_recording as rec
camera = L.LumivexCamera()
recorder = rec.Recorder(camera)
assert camera.open(L.TOFConnect.CSI, 0) == 0 and camera.start(L.TOFOutput.DEPTH) == 0
recorder.start("/tmp/python.lmvxrec")
for _ in range(5):
    frame = camera.requestFrame(2000)
    if frame is not None:
        camera.releaseFrame(frame)
written = recorder.stop()
camera.stop()
camera.close()
sys.exit(0 if written > 0 and len(list(rec.Recording("/tmp/python.lmvxrec").frames())) == written else 1)
PY
check $? "lumivex_recording.Recorder records from Python"

# Point clouds from Python, on the virtual room: a PLY file with the kept points.
lumivex-virtual --scene room -- python3 - > /tmp/cloud.log 2>&1 <<'PY'
import sys, numpy as np, LumivexDepthCamera as L, LumivexMetric as lm
camera = L.LumivexCamera()
assert camera.open(L.TOFConnect.CSI, 0) == 0 and camera.setControl(L.TOFControl.RANG, 4) == 0
assert camera.start(L.TOFOutput.DEPTH) == 0
frame = camera.requestFrame(3000)
depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
camera.releaseFrame(frame)
camera.stop()
camera.close()
cloud = lm.point_cloud(depth, lm.Lens.nominal(), amplitude, flying_pixel=0.03)
written = lm.write_ply("/tmp/room.ply", cloud.points, amplitude)
body = open("/tmp/room.ply", "rb").read().split(b"end_header\n", 1)[1]
rows = np.frombuffer(body, "<f4").reshape(-1, 4)
wall = rows[rows[:, 2] > 2.5]
print(written, "points;", len(wall), "on the back wall, z", wall[:, 2].min(), "...", wall[:, 2].max())
sys.exit(0 if written == cloud.valid.sum() and len(wall) > 5000 and abs(np.median(wall[:, 2]) - 2.6) < 0.01 else 1)
PY
check $? "LumivexMetric makes the virtual room's point cloud and writes it as a PLY file"

# The lens calibration, with OpenCV installed as its recommendation says.
apt-get install -y -q python3-opencv > /tmp/opencv.log 2>&1
lumivex-virtual --scene checkerboard --fps 120 -- lumivex-calibrate --board 7x5 --square 0.05 --output /tmp/lens.json \
    --time-limit 120 > /tmp/calibrate.log 2>&1 && python3 - <<'PY'
import sys, LumivexMetric as lm
lens = lm.Lens.load("/tmp/lens.json")
print(lens)
sys.exit(0 if abs(lens.fx / 178 - 1) < 0.01 and abs(lens.cx - 121.3) < 1 and abs(lens.cy - 88.6) < 1 else 1)
PY
check $? "lumivex-calibrate recovers the virtual camera's lens from its checkerboard and writes the lens file"
lumivex-virtual -- lumivex-record --frames 2 --lens /tmp/lens.json --output /tmp/lens.lmvxrec > /tmp/record-lens.log 2>&1 &&
    lumivex-convert /tmp/lens.lmvxrec --ply /tmp/clouds > /tmp/convert-ply.log 2>&1 &&
    [ -s /tmp/clouds/cloud_000001.ply ] && ! grep -q nominal /tmp/convert-ply.log
check $? "lumivex-record --lens and lumivex-convert --ply write point clouds through the stored lens"

apt-get install -y -q gcc g++ pkg-config > /tmp/compilers.log 2>&1
cc -O1 -Wall /usr/share/lumivex/examples/c/lumivex_usb_demo.c $(pkg-config --cflags --libs lumivex-usb) -o /tmp/cdemo
check $? "the C example builds with pkg-config"
LUMIVEX_USB="" lumivex-virtual --usb-board serial=ABCD-EFGH-IJKL,fps=400 -- /tmp/cdemo 0 3 | grep -q "^frame 2: 1024 bytes"
check $? "the C example captures frames on a virtual USB board"
c++ -std=c++17 -O1 -Wall /usr/share/lumivex/examples/cpp/lumivex_depth_demo.cpp $(pkg-config --cflags --libs lumivex-engine) \
    -o /tmp/cppdemo
check $? "the C++ example builds with pkg-config"
lumivex-virtual -- /tmp/cppdemo csi 0 3 | grep -Eq "^frame 2: time [1-9][0-9]*, 240x180, centre [0-9.]+ m"
check $? "the C++ example captures depth on the virtual CSI camera"
lumivex-virtual --usb -- /tmp/cppdemo usb 0 3 | grep -Eq "^frame 2: time [1-9][0-9]*, 240x180, centre [0-9.]+ m"
check $? "the C++ example captures depth on the virtual USB camera"

c++ -std=c++17 -O1 -Wall /usr/share/lumivex/examples/cpp/read_recording.cpp -I/usr/include/lumivex -llumivex_recording -lz \
    -o /tmp/readrec && /tmp/readrec /tmp/take.lmvxrec | grep -q "^frame 2: time stamp [1-9]"
check $? "the C++ recording reader builds against the packages and reads lumivex-record's recording"
for doc in recording.md result-codes.md virtual-hardware.md point-clouds.md; do
    [ -s /usr/share/doc/lumivex-tools/$doc ] || { echo "FAIL: /usr/share/doc/lumivex-tools/$doc"; fail=1; }
done
lumivex-virtual --faults bogus -- true 2>&1 | grep -q "/usr/share/doc/lumivex-tools/virtual-hardware.md"
check $? "the documents the tools cite are shipped where they say"
man -w lumivex-convert > /dev/null 2>&1 || [ -e /usr/share/man/man1/lumivex-convert.1.gz ]
check $? "lumivex-convert has a manual page"

apt-get purge -y -q liblumivex1 liblumivex-dev python3-lumivex lumivex-tools > /tmp/purge.log 2>&1
check $? "apt purge removes the packages"
left=""
while read -r path; do
    [ -f "$path" ] || [ -L "$path" ] || { [ -d "$path" ] && case "$path" in *lumivex*) true ;; *) false ;; esac; } || continue
    left="$left $path"
done < /tmp/files
[ -z "$left" ]; check $? "nothing of the packages is left behind${left:+:$left}"
exit $fail
GUEST
echo "deb-test: installing the packages of $DEBS in a fresh Debian 12 root"
chroot "$ROOT" /bin/sh /test.sh
