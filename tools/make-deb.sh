#!/bin/sh
# Debian packages of the SDK, from debian/ with debhelper, for this machine's
# architecture or for ARCH (arm64: Debian's cross toolchain and arm64
# libraries), then checked with lintian. The packages land in build-deb/.
# One version number: the project's, in CMakeLists.txt.
# Usage: tools/make-deb.sh [ARCH]
set -eu
cd "$(dirname "$0")/.."
HOST_ARCH=$(dpkg --print-architecture)
ARCH="${1:-$HOST_ARCH}"
VERSION=$(sed -n 's/^project(LumivexHostSDK VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$VERSION" ] || { echo "make deb: no version in CMakeLists.txt"; exit 2; }
if [ "$ARCH" = "$HOST_ARCH" ]; then tools/install-deps.sh --deb; else tools/install-deps.sh --deb-cross "$ARCH"; fi

OUT="build-deb/$ARCH"
rm -rf "$OUT"
mkdir -p "$OUT/src"
# The sources as git sees them (tracked, and new files not ignored): no build trees.
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$OUT/src"
cat > "$OUT/src/debian/changelog" <<CHANGELOG
lumivex-sdk ($VERSION) unstable; urgency=medium

  * The Lumivex host SDK, version $VERSION.

 -- Lumivex SDK developers <sdk@lumivex.com>  $(date -R)
CHANGELOG
if [ "$ARCH" = "$HOST_ARCH" ]; then
    (cd "$OUT/src" && dpkg-buildpackage -b -us -uc -j"$(nproc)") > "$OUT/build.log" 2>&1 \
        || { tail -40 "$OUT/build.log"; echo "make deb: the build failed (see $OUT/build.log)"; exit 1; }
else
    (cd "$OUT/src" && CONFIG_SITE=/etc/dpkg-cross/cross-config.$ARCH \
        dpkg-buildpackage -b -us -uc -a"$ARCH" -Pcross,nocheck -j"$(nproc)") > "$OUT/build.log" 2>&1 \
        || { tail -40 "$OUT/build.log"; echo "make deb: the build failed (see $OUT/build.log)"; exit 1; }
fi
echo "make deb: packages of $VERSION for $ARCH:"
for deb in "$OUT"/*.deb; do
    echo "  $deb ($(dpkg-deb -f "$deb" Architecture), $(du -k "$deb" | cut -f1) KiB)"
done
# lintian: no errors allowed; what it still says is explained in docs/packages.md.
lintian --fail-on error --display-info "$OUT"/*.changes
[ "$ARCH" = "$HOST_ARCH" ] || tools/deb-cross-check.sh "$ARCH"
