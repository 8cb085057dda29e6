#!/bin/sh
# The main job on virtual cameras: depth_snapshot.py on a virtual Raspberry
# Pi 5 CSI camera, then on the virtual USB depth camera; images under
# build/demo/ and build/demo/usb/. DEMO=csi or DEMO=usb runs one of them.
set -eu
cd "$(dirname "$0")/.."
PYTHON="${1:-/usr/bin/python3}"
WHICH="${DEMO:-both}"
case "$WHICH" in
    both|csi|usb) ;;
    *) echo "make demo: unknown demo '$WHICH' (DEMO=csi, DEMO=usb, or none for both)" >&2; exit 2 ;;
esac
OUT="build/demo"
mkdir -p "$OUT/usb"
export PYTHONPATH="build/python${PYTHONPATH:+:$PYTHONPATH}"
if [ "$WHICH" != usb ]; then
    echo "== CSI camera on a virtual Raspberry Pi 5 =="
    build/bin/lumivex-virtual --platform rpi5 --scene default -- \
        "$PYTHON" examples/depth_snapshot.py --frames 30 --output "$OUT"
    echo
    echo "Depth image:     $(pwd)/$OUT/depth.png"
    echo "Amplitude image: $(pwd)/$OUT/amplitude.png"
fi
if [ "$WHICH" != csi ]; then
    echo
    echo "== USB depth camera on the virtual USB bus =="
    build/bin/lumivex-virtual --usb --scene default -- \
        "$PYTHON" examples/depth_snapshot.py --usb --range 2 --frames 30 --output "$OUT/usb"
    echo
    echo "Depth image:     $(pwd)/$OUT/usb/depth.png"
    echo "Amplitude image: $(pwd)/$OUT/usb/amplitude.png"
fi
