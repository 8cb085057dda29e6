#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# A no-op when every package is present.
set -eu

PACKAGES="cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib \
libusb-1.0-0-dev liblua5.4-dev usbutils clang libclang-rt-dev libsleef-dev \
python3-opencv xvfb xdotool xauth python3-mypy v4l-utils zlib1g-dev"
# Open3D is in Debian for amd64 only: the point clouds' interoperability test runs there.
[ "$(dpkg --print-architecture)" = amd64 ] && PACKAGES="$PACKAGES python3-open3d"
# --cross: what the aarch64 build needs (Debian's cross compiler, arm64
# libraries through multiarch, qemu-user to run the tests).
CROSS=0
if [ "${1:-}" = "--cross" ]; then
    CROSS=1
    shift
    PACKAGES="g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 libusb-1.0-0-dev:arm64 \
liblua5.4-dev:arm64 libbenchmark-dev:arm64 zlib1g-dev:arm64"
fi
# --deb: what make deb needs (debhelper, lintian and the packages' build
# dependencies); --deb-cross ARCH: the same for a cross build to ARCH.
if [ "${1:-}" = "--deb" ]; then
    shift
    PACKAGES="debhelper dh-python lintian dpkg-dev fakeroot cmake g++ pkg-config libusb-1.0-0-dev liblua5.4-dev \
libsleef-dev python3-dev libpython3-dev pybind11-dev zlib1g-dev"
fi
if [ "${1:-}" = "--deb-cross" ]; then
    DEB_ARCH="${2:?--deb-cross needs an architecture}"
    shift 2
    CROSS=1
    PACKAGES="debhelper dh-python lintian dpkg-dev fakeroot cmake pkg-config python3-dev pybind11-dev \
crossbuild-essential-$DEB_ARCH pkg-config:$DEB_ARCH libusb-1.0-0-dev:$DEB_ARCH liblua5.4-dev:$DEB_ARCH libpython3-dev:$DEB_ARCH \
zlib1g-dev:$DEB_ARCH \
qemu-user file"
fi
# --kernel: what make kernel-test needs (QEMU, the guest's busybox, kmod and v4l2-ctl), and
# udev (its daemon runs in the guest: libusb learns of a board plugged in again through it).
if [ "${1:-}" = "--kernel" ]; then
    shift
    PACKAGES="qemu-system-x86 busybox-static kmod v4l-utils cpio udev"
fi
[ $# -gt 0 ] && PACKAGES="$PACKAGES $*"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
ADDED_ARCH=0
if [ "$CROSS" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
    ADDED_ARCH=1
fi

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $package" ;;
    esac
done

[ -z "$missing" ] && [ "$ADDED_ARCH" = 0 ] && exit 0

echo "install-deps: installing$missing"
$SUDO apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
