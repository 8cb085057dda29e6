#!/bin/sh
# The USB camera library on a real Linux USB stack: boots Debian's 6.1 kernel
# under QEMU with dummy_hcd (two host and device controller pairs), sets up
# two configfs gadgets whose one FunctionFS function is our board model
# (build/bin/lumivex-ffs-board): the pattern board 04B4:00F1 and the USB
# depth camera 04B4:03F2, both at high speed. Then, through Debian's libusb:
# lsusb -v, build/tests/usb_scenario (registers, user data, frames byte for
# byte, session cycles, a slow consumer, two boards on two threads, a board
# streaming before the start, a halt and unplugs mid-stream) and the Python
# module on the depth camera (depth, range switches, a refused second camera
# object, and recovery from a halt and from an unplug and re-plug).
# (The virtual machine: tools/guest-kernel.sh.)
# Usage: tools/usb-kernel-test.sh [BUILD_DIR]   (needs: make; tools/install-deps.sh --kernel)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(cd "${1:-build}" && pwd)
WORK="$ROOT/build-usb-kernel"
SCENARIO="$BUILD/tests/usb_scenario"
BOARD="$BUILD/bin/lumivex-ffs-board"
for program in "$SCENARIO" "$BOARD"; do
    [ -x "$program" ] || { echo "usb-kernel-test: build first ($program is missing)"; exit 2; }
done
. tools/guest-kernel.sh
guest_kernel_prepare "$WORK"

cat > "$WORK/results/guest.sh" <<GUEST
set -u
export TMPDIR=$WORK/results
modprobe -d $KTREE dummy_hcd num=2 || exit 10
modprobe -d $KTREE usb_f_fs || exit 10
mount -t configfs none /sys/kernel/config || exit 11
status=0

# gadget NAME PRODUCT UDC SETTINGS: a configfs gadget with one FunctionFS
# function served by the board model, bound to controller UDC.
gadget() {
    g=/sys/kernel/config/usb_gadget/\$1
    mkdir \$g
    echo 0x04b4 > \$g/idVendor; echo \$2 > \$g/idProduct; echo 0x0020 > \$g/bcdDevice; echo 0x0200 > \$g/bcdUSB
    echo high-speed > \$g/max_speed
    mkdir \$g/strings/0x409
    echo Lumivex > \$g/strings/0x409/manufacturer; echo "Lumivex board \$1" > \$g/strings/0x409/product
    mkdir \$g/configs/c.1; echo 250 > \$g/configs/c.1/MaxPower
    mkdir \$g/functions/ffs.\$1
    ln -s \$g/functions/ffs.\$1 \$g/configs/c.1/
    mkdir -p /dev/ffs-\$1
    mount -t functionfs \$1 /dev/ffs-\$1 || return 1
    $BOARD /dev/ffs-\$1 "\$4" 2> $WORK/results/board-\$1.log &
    echo \$! > $WORK/results/board-\$1.pid
    for i in 1 2 3 4 5 6 7 8 9 10; do [ -e /dev/ffs-\$1/ep4 ] && break; sleep 0.3; done
    echo \$3 > \$g/UDC
}
gadget pattern 0x00f1 dummy_udc.0 "pid=0x00F1,frame_bytes=65536,fps=100,date=21/6/6,serial=KTEST-PATTERN1" || exit 12
gadget depth 0x03f2 dummy_udc.1 "camera=depth,serial=LMVXT0F00001" || exit 12
for i in 1 2 3 4 5 6 7 8 9 10; do [ \$(lsusb -d 04b4: | wc -l) -ge 2 ] && break; sleep 0.5; done

lsusb -v -d 04b4:00f1 > $WORK/results/lsusb.txt 2>&1
if grep -Eq "bEndpointAddress +0x82 +EP 2 IN" $WORK/results/lsusb.txt && grep -Eq "idProduct +0x00f1" $WORK/results/lsusb.txt; then
    echo "PASS: lsusb -v reads the board (bulk IN 0x82)"
else
    echo "FAIL: lsusb -v"; cat $WORK/results/lsusb.txt; status=1
fi
$SCENARIO /sys/kernel/config/usb_gadget/pattern dummy_udc.0 $WORK/results/board-pattern.pid || status=1

# The Python module with the depth camera alone on the bus. The udev daemon
# runs, as on a board: libusb learns through it of a camera plugged in again.
/lib/systemd/systemd-udevd --daemon --resolve-names=never 2>/dev/null || echo "udev daemon: not started"
echo "" > /sys/kernel/config/usb_gadget/pattern/UDC
sleep 1
PYTHONPATH=$BUILD/python /usr/bin/python3 $ROOT/tests/kernel/usb_python_scenario.py $BUILD/sim/liblumivex-vkernel.so \\
    $WORK/results/board-depth.pid /sys/kernel/config/usb_gadget/depth dummy_udc.1 || status=1
exit \$status
GUEST

guest_boot || { echo "usb-kernel-test: FAILED (boards: $WORK/results/board-*.log)"; exit 1; }
echo "usb-kernel-test: passed"
