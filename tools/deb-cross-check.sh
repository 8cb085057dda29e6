#!/bin/sh
# The packages built for another architecture, checked here under
# qemu-user: every ELF file is of that architecture, the Python module is
# named for that architecture's Python and needs only libraries the packages
# or the distribution have, and lumivex-ls and the C++ example (built against
# the packages with the cross compiler) run on the virtual cameras.
# Usage: tools/deb-cross-check.sh ARCH   (after make deb ARCH=ARCH; arm64 only)
set -eu
cd "$(dirname "$0")/.."
ARCH="$1"
[ "$ARCH" = arm64 ] || { echo "deb-cross-check: only arm64 is checked"; exit 0; }
TRIPLET=aarch64-linux-gnu
OUT="build-deb/$ARCH"
ROOT="$OUT/root"
rm -rf "$ROOT"
mkdir -p "$ROOT"
for deb in "$OUT"/*.deb; do
    case "$deb" in *-dbgsym_*) ;; *) dpkg-deb -x "$deb" "$ROOT" ;; esac
done
ROOT=$(cd "$ROOT" && pwd)
fail=0
check() {  # status description
    if [ "$1" -eq 0 ]; then echo "ok: $2"; else echo "FAIL: $2"; fail=1; fi
}
wrong=$(find "$ROOT" -type f -exec file {} + | grep ELF | grep -v "ARM aarch64" || true)
[ -z "$wrong" ]; check $? "every ELF file is for $ARCH${wrong:+: $wrong}"
module=$(ls "$ROOT"/usr/lib/python3/dist-packages/LumivexDepthCamera.*.so)
case "$module" in *-$TRIPLET.so) true ;; *) false ;; esac; check $? "the Python module is named for $ARCH's Python ($(basename "$module"))"
needed=$($TRIPLET-readelf -d "$module" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libLumivexEngine.so.1 libstdc++.so.6 libgcc_s.so.1 libc.so.6 ld-linux-aarch64.so.1 " ]
check $? "the Python module needs the engine and the C++ runtime only ($needed)"
LIBS="$ROOT/usr/lib/$TRIPLET"
QEMU="qemu-aarch64 -L /usr/$TRIPLET -E LD_LIBRARY_PATH=$LIBS:/usr/$TRIPLET/lib:/usr/lib/$TRIPLET"
PRELOAD="LD_PRELOAD=$LIBS/lumivex/liblumivex-vkernel.so:$LIBS/lumivex/liblumivex-vusb.so"
$QEMU -E "$PRELOAD" -E LUMIVEX_USB=camera=depth "$ROOT/usr/bin/lumivex-ls" --json > "$OUT/ls.json"
grep -q '"node": "/dev/video0"' "$OUT/ls.json" && grep -q '"serial": "LMVXT0F00001"' "$OUT/ls.json"
check $? "lumivex-ls lists the virtual cameras under qemu-aarch64"
$TRIPLET-g++ -std=c++17 -O1 examples/cpp/lumivex_depth_demo.cpp -I"$ROOT/usr/include/lumivex" -L"$LIBS" \
    -Wl,-rpath-link,"$LIBS" -lLumivexEngine -pthread -o "$OUT/cppdemo"
check $? "the C++ example builds against the $ARCH packages"
for connection in csi usb; do
    $QEMU -E "$PRELOAD" -E LUMIVEX_USB=camera=depth "$OUT/cppdemo" $connection 0 3 > "$OUT/cppdemo.$connection.txt" 2>&1
    grep -Eq "^frame 2: time [1-9][0-9]*, 240x180, centre [0-9.]+ m" "$OUT/cppdemo.$connection.txt"
    check $? "the C++ example captures depth on the virtual $connection camera under qemu-aarch64"
done
exit $fail
