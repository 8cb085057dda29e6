#!/bin/sh
# The CSI back-end on a real Linux kernel's V4L2 stack: boots Debian's 6.1
# kernel under QEMU with the vivid capture driver set to 240 x 180 Y12, and
# runs build/tests/vivid_scenario (open, RAW capture, a second camera object
# refused, no depth without the range control, start/stop
# cycles, descriptors and mappings, a slow source whose stop must return).
# (The virtual machine: tools/guest-kernel.sh.)
# Usage: tools/kernel-test.sh [BUILD_DIR]   (needs: make; tools/install-deps.sh --kernel)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(cd "${1:-build}" && pwd)
WORK="$ROOT/build-kernel"
SCENARIO="$BUILD/tests/vivid_scenario"
[ -x "$SCENARIO" ] || { echo "kernel-test: build first ($SCENARIO is missing)"; exit 2; }
. tools/guest-kernel.sh
guest_kernel_prepare "$WORK"

# What runs in the guest, chrooted into this machine's root.
# (The host's root is read-only in the guest, /tmp included: the work tree may
# live there, so nothing is mounted over it; scratch files go to the results.)
cat > "$WORK/results/guest.sh" <<GUEST
set -u
export TMPDIR=$WORK/results
modprobe -d $KTREE vivid n_devs=1 node_types=0x1 num_inputs=1 input_types=0x3 multiplanar=1 || exit 10
for i in 1 2 3 4 5 6 7 8 9 10; do [ -e /dev/video0 ] && break; sleep 0.5; done
v4l2-ctl -d /dev/video0 --set-dv-bt-timings cvt,width=240,height=180,fps=1000,reduced-blanking=1 || exit 11
v4l2-ctl -d /dev/video0 --set-fmt-video width=240,height=180,pixelformat=Y12 >/dev/null 2>&1
status=0
$SCENARIO fast || status=1
# A slow source: 30 frames a second (sub-frames 33 ms apart never group).
# The driver takes only standard timings with a pixel clock of at least
# 16 MHz: the slowest rate it accepts for 240 x 180 (frames more than 5 ms
# apart never group).
slow=""
for fps in 30 60 100 120 150 180; do
    for blanking in "" ",reduced-blanking=1"; do
        if v4l2-ctl -d /dev/video0 --set-dv-bt-timings cvt,width=240,height=180,fps=\$fps\$blanking >/dev/null 2>&1; then
            slow=\$fps; break 2
        fi
    done
done
[ -n "\$slow" ] || exit 12
echo "slow source: \$slow frames a second"

v4l2-ctl -d /dev/video0 --get-dv-timings | grep -i -E "fps|frame" || true
$SCENARIO slow || status=1
exit \$status
GUEST

guest_boot || { echo "kernel-test: FAILED"; exit 1; }
echo "kernel-test: passed"
