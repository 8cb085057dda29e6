#!/bin/sh
# Debian's v4l2-ctl (a V4L2 program we did not write) reads the virtual
# camera under lumivex-virtual: the node, its driver and its format.
# Usage: v4l2_ctl_test.sh BIN_DIR
set -u
command -v v4l2-ctl >/dev/null 2>&1 || { echo "v4l2-ctl is not installed: skipped"; exit 77; }
BIN="$1"
fail=0
for platform in rpi5 xavier; do
    out=$("$BIN/lumivex-virtual" --platform $platform -- v4l2-ctl --all -d /dev/video0 2>&1)
    status=$?
    format=Y12P size=66240
    [ $platform = xavier ] && format=Y12 size=86400
    if [ $status -eq 0 ] && printf '%s\n' "$out" | grep -q "Driver name *: lumivex-virtual" \
        && printf '%s\n' "$out" | grep -q "Width/Height *: 240/180" \
        && printf '%s\n' "$out" | grep -q "Pixel Format *: '$format *'" \
        && printf '%s\n' "$out" | grep -q "Size Image *: $size"; then
        echo "ok: v4l2-ctl --all reads the virtual camera of a $platform host"
    else
        echo "FAIL: v4l2-ctl --all on $platform (status $status)"; printf '%s\n' "$out"; fail=1
    fi
done
"$BIN/lumivex-virtual" -- v4l2-ctl -d /dev/video5 --all > /dev/null 2>&1
[ $? -ne 0 ] && echo "ok: a node that is not there is not found" || { echo "FAIL: /dev/video5"; fail=1; }
exit $fail
