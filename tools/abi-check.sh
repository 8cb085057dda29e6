#!/bin/sh
# The libraries' ABI against the one stored in abi/ (abigail-tools): every
# type and function reachable from the installed headers. A change that
# breaks the ABI (a layout, a removed or changed function) fails, unless the
# library's SONAME was bumped and its stored ABI renewed in the same change
# (docs/packages.md). Added functions pass.
#   tools/abi-check.sh [BUILD_DIR]            compare
#   tools/abi-check.sh --renew [BUILD_DIR]    store the built libraries' ABI
set -eu
cd "$(dirname "$0")/.."
RENEW=0
[ "${1:-}" = "--renew" ] && { RENEW=1; shift; }
BUILD=$(cd "${1:-build}" && pwd)
STAGE="$BUILD/abi-install"
rm -rf "$STAGE"
cmake --install "$BUILD" --prefix "$STAGE" > /dev/null
HEADERS="$STAGE/include/lumivex"
status=0
for library in libLumivexLib libLumivexEngine liblumivex_config_parser libLumivexMetric; do
    built=$(find "$STAGE/lib" -name "$library.so.*.*" | head -1)
    [ -n "$built" ] || { echo "abi-check: $library is not built"; exit 2; }
    stored="abi/$library.abi"
    if [ "$RENEW" = 1 ]; then
        abidw --headers-dir "$HEADERS" --drop-private-types --no-corpus-path --no-comp-dir-path \
            --short-locs --out-file "$stored" "$built"
        echo "abi-check: stored $stored ($(basename "$built"))"
        continue
    fi
    set +e
    report=$(abidiff --headers-dir2 "$HEADERS" --drop-private-types --no-added-syms "$stored" "$built" 2>&1)
    result=$?
    set -e
    # abidiff's result: 0 nothing changed but additions (not counted), else
    # a bit field (1 an error, 2 a usage error, 4 an ABI change, 8 an
    # incompatible one). Bit 4 covers a changed layout (a class grown at its
    # end too), which breaks programs built against the old one: every
    # change fails.
    if [ "$result" -ne 0 ]; then
        echo "abi-check: FAIL: $library differs from the ABI stored in $stored:"
        echo "$report"
        echo "abi-check: bump its SONAME (SOVERSION) and renew the stored ABI (tools/abi-check.sh --renew)" \
             "in the same change"
        status=1
    else
        echo "abi-check: $library: as stored (added functions are allowed)"
    fi
done
rm -rf "$STAGE"
exit $status
