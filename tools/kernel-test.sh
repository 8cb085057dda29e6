#!/bin/sh
# The CSI back-end on a real Linux kernel's V4L2 stack: boots Debian's 6.1
# kernel under QEMU with the vivid capture driver set to 240 x 180 Y12, and
# runs build/tests/vivid_scenario (open, RAW and DEPTH capture, start/stop
# cycles, descriptors and mappings, a slow source whose stop must return).
# The guest mounts this machine's root read-only over 9p, chroots into it
# and runs the scenario; results come back through a writable share.
# Usage: tools/kernel-test.sh [BUILD_DIR]   (needs: make; tools/install-deps.sh --kernel)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(cd "${1:-build}" && pwd)
WORK="$ROOT/build-kernel"
SCENARIO="$BUILD/tests/vivid_scenario"
[ -x "$SCENARIO" ] || { echo "kernel-test: build first ($SCENARIO is missing)"; exit 2; }
mkdir -p "$WORK"

# The kernel: Debian's newest 6.1 image, unpacked and indexed here.
PACKAGE=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | sort -V | tail -1 | cut -d' ' -f1)
[ -n "$PACKAGE" ] || { echo "kernel-test: no linux-image-6.1 package found (apt-get update?)"; exit 2; }
VERSION=${PACKAGE#linux-image-}
KTREE="$WORK/kernel-$VERSION"
if [ ! -e "$KTREE/boot/vmlinuz-$VERSION" ]; then
    (cd "$WORK" && rm -f linux-image-*.deb && apt-get download "$PACKAGE" >/dev/null 2>&1)
    dpkg-deb -x "$WORK"/linux-image-*.deb "$KTREE"
    depmod -b "$KTREE" "$VERSION"
fi
MODULES="$KTREE/lib/modules/$VERSION"

# The initramfs: busybox, the virtio and 9p modules (in dependency order), init.
INITRD_DIR="$WORK/initramfs"
rm -rf "$INITRD_DIR"
mkdir -p "$INITRD_DIR/bin" "$INITRD_DIR/modules" "$INITRD_DIR/proc" "$INITRD_DIR/sys" "$INITRD_DIR/dev" \
         "$INITRD_DIR/mnt/host"
cp /bin/busybox "$INITRD_DIR/bin/busybox"
for tool in sh mount umount insmod poweroff sleep cat echo mkdir chroot sync; do
    ln -s busybox "$INITRD_DIR/bin/$tool"
done
order=""
add_module() {  # a module after the modules it depends on
    local name line dep
    name="$1"
    case " $order " in *" $name "*) return ;; esac
    line=$(grep "/$name.ko:" "$MODULES/modules.dep" || true)
    [ -n "$line" ] || { echo "kernel-test: module $name not found"; exit 2; }
    for dep in ${line#*:}; do add_module "$(basename "$dep" .ko)"; done
    cp "$MODULES/${line%%:*}" "$INITRD_DIR/modules/"
    order="$order $name"
}
for m in virtio_pci 9pnet_virtio 9p; do add_module "$m"; done
cat > "$INITRD_DIR/init" <<INIT
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $order; do insmod /modules/\$m.ko; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro host /mnt/host
mount -t 9p -o trans=virtio,version=9p2000.L results /mnt/host$WORK/results
mount -t proc proc /mnt/host/proc
mount -t sysfs sysfs /mnt/host/sys
mount -t devtmpfs devtmpfs /mnt/host/dev
chroot /mnt/host /bin/sh $WORK/results/guest.sh > /mnt/host$WORK/results/guest.log 2>&1
echo \$? > /mnt/host$WORK/results/status
sync
poweroff -f
INIT
chmod +x "$INITRD_DIR/init"
(cd "$INITRD_DIR" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$WORK/initrd.gz"

# What runs in the guest, chrooted into this machine's root.
mkdir -p "$WORK/results"
rm -f "$WORK/results/status" "$WORK/results/guest.log"
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

echo "kernel-test: booting $VERSION under QEMU (TCG; about a minute)"
timeout 900 qemu-system-x86_64 -accel tcg -m 4096 -smp 2 -nographic -no-reboot \
    -kernel "$KTREE/boot/vmlinuz-$VERSION" -initrd "$WORK/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1" \
    -virtfs local,path=/,mount_tag=host,security_model=passthrough,readonly=on,multidevs=remap \
    -virtfs local,path="$WORK/results",mount_tag=results,security_model=passthrough,multidevs=remap \
    > "$WORK/qemu.log" 2>&1 || true
cat "$WORK/results/guest.log" 2>/dev/null || true
if [ "$(cat "$WORK/results/status" 2>/dev/null || echo none)" != 0 ]; then
    echo "kernel-test: FAILED (guest status: $(cat "$WORK/results/status" 2>/dev/null || echo none); see $WORK/qemu.log)"
    exit 1
fi
echo "kernel-test: passed"
