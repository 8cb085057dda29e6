# Shared by make kernel-test and make usb-kernel-test (sourced, not run):
# Debian's 6.1 kernel under QEMU, with this machine's root mounted read-only
# over 9p; the guest chroots into it and runs $WORK/results/guest.sh, whose
# output and status come back through a writable share.
#   guest_kernel_prepare WORK     unpacks the kernel into WORK; sets VERSION, KTREE
#   guest_boot                    boots it, runs guest.sh, prints its output;
#                                 fails unless guest.sh exited 0
# The caller writes $WORK/results/guest.sh in between (modprobe -d $KTREE ...).

guest_kernel_prepare() {
    WORK="$1"
    mkdir -p "$WORK"
    # The kernel: Debian's newest 6.1 image, unpacked and indexed here.
    PACKAGE=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | sort -V | tail -1 | cut -d' ' -f1)
    [ -n "$PACKAGE" ] || { echo "guest kernel: no linux-image-6.1 package found (apt-get update?)"; exit 2; }
    VERSION=${PACKAGE#linux-image-}
    KTREE="$WORK/kernel-$VERSION"
    if [ ! -e "$KTREE/boot/vmlinuz-$VERSION" ]; then
        (cd "$WORK" && rm -f linux-image-*.deb && apt-get download "$PACKAGE" >/dev/null 2>&1)
        dpkg-deb -x "$WORK"/linux-image-*.deb "$KTREE"
        depmod -b "$KTREE" "$VERSION"
    fi
    mkdir -p "$WORK/results"
    rm -f "$WORK/results/status" "$WORK/results/guest.log"
}

guest_boot() {
    local modules initrd_dir order
    modules="$KTREE/lib/modules/$VERSION"
    # The initramfs: busybox, the virtio and 9p modules (in dependency order), init.
    initrd_dir="$WORK/initramfs"
    rm -rf "$initrd_dir"
    mkdir -p "$initrd_dir/bin" "$initrd_dir/modules" "$initrd_dir/proc" "$initrd_dir/sys" "$initrd_dir/dev" \
             "$initrd_dir/mnt/host"
    cp /bin/busybox "$initrd_dir/bin/busybox"
    for tool in sh mount umount insmod poweroff sleep cat echo mkdir chroot sync; do
        ln -s busybox "$initrd_dir/bin/$tool"
    done
    order=""
    add_module() {  # a module after the modules it depends on
        local name line dep
        name="$1"
        case " $order " in *" $name "*) return ;; esac
        line=$(grep "/$name.ko:" "$modules/modules.dep" || true)
        [ -n "$line" ] || { echo "guest kernel: module $name not found"; exit 2; }
        for dep in ${line#*:}; do add_module "$(basename "$dep" .ko)"; done
        cp "$modules/${line%%:*}" "$initrd_dir/modules/"
        order="$order $name"
    }
    for m in virtio_pci 9pnet_virtio 9p; do add_module "$m"; done
    cat > "$initrd_dir/init" <<INIT
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
mount -t tmpfs tmpfs /mnt/host/run
chroot /mnt/host /bin/sh $WORK/results/guest.sh > /mnt/host$WORK/results/guest.log 2>&1
echo \$? > /mnt/host$WORK/results/status
sync
poweroff -f
INIT
    chmod +x "$initrd_dir/init"
    (cd "$initrd_dir" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$WORK/initrd.gz"

    echo "guest kernel: booting $VERSION under QEMU (TCG; about a minute or two)"
    timeout 1200 qemu-system-x86_64 -accel tcg -m 4096 -smp 2 -nographic -no-reboot \
        -kernel "$KTREE/boot/vmlinuz-$VERSION" -initrd "$WORK/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1" \
        -virtfs local,path=/,mount_tag=host,security_model=passthrough,readonly=on,multidevs=remap \
        -virtfs local,path="$WORK/results",mount_tag=results,security_model=passthrough,multidevs=remap \
        > "$WORK/qemu.log" 2>&1 || true
    cat "$WORK/results/guest.log" 2>/dev/null || true
    if [ "$(cat "$WORK/results/status" 2>/dev/null || echo none)" != 0 ]; then
        echo "guest kernel: FAILED (guest status: $(cat "$WORK/results/status" 2>/dev/null || echo none); see $WORK/qemu.log)"
        return 1
    fi
}
