#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# A no-op when every package is present.
set -eu

PACKAGES="cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib \
libusb-1.0-0-dev liblua5.4-dev usbutils clang libclang-rt-dev libsleef-dev"
[ $# -gt 0 ] && PACKAGES="$PACKAGES $*"

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $package" ;;
    esac
done

[ -z "$missing" ] && exit 0

echo "install-deps: installing$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
