#!/bin/sh
# The main job on a virtual camera: depth_snapshot.py on a virtual Raspberry
# Pi 5 CSI camera, images under build/demo/.
set -eu
cd "$(dirname "$0")/.."
PYTHON="${1:-/usr/bin/python3}"
OUT="build/demo"
mkdir -p "$OUT"
PYTHONPATH="build/python${PYTHONPATH:+:$PYTHONPATH}" \
    build/bin/lumivex-virtual --platform rpi5 --scene default -- \
    "$PYTHON" examples/depth_snapshot.py --frames 30 --output "$OUT"
echo
echo "Depth image:     $(pwd)/$OUT/depth.png"
echo "Amplitude image: $(pwd)/$OUT/amplitude.png"
