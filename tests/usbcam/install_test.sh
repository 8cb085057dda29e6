#!/bin/sh
# cmake --install into a staged tree (DESTDIR, a non-default prefix): every
# file lands under the prefix, and the example C program builds against the
# staged library through pkg-config and through the CMake package, then runs
# on the virtual USB bus.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR VIRTUAL_BUS_LIBRARY
set -eu
BUILD="$1" SOURCE="$2" BUS="$3"
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
PREFIX=/opt/lumivex
DESTDIR="$STAGE" cmake --install "$BUILD" --prefix "$PREFIX" > "$STAGE/install.log"
ROOT="$STAGE$PREFIX"
fail=0
for f in lib/libLumivexLib.so include/lumivex/lumivex_usb.h include/lumivex/usb_camera_lib.h \
         include/lumivex/lumivex_control_scripts.h lib/pkgconfig/lumivex-usb.pc \
         lib/cmake/LumivexLib/LumivexLibConfig.cmake lib/cmake/LumivexLib/LumivexLibTargets.cmake \
         lib/udev/rules.d/60-lumivex-usb.rules bin/lumivex-virtual lib/lumivex/liblumivex-vusb.so bin/lumivex-ls \
         lib/libLumivexEngine.so.1 include/lumivex/tof_camera.h include/lumivex/csi/host_platform.h \
         lib/pkgconfig/lumivex-engine.pc lib/cmake/LumivexEngine/LumivexEngineConfig.cmake \
         bin/lumivex-view bin/lumivex-snapshot share/lumivex/tools/preview.py share/lumivex/examples/cpp/lumivex_depth_demo.cpp; do
    [ -e "$ROOT/$f" ] && echo "ok: $f" || { echo "FAIL: missing $f"; fail=1; }
done
ls "$ROOT"/lib/python3/dist-packages/LumivexDepthCamera*.so > /dev/null 2>&1 \
    && echo "ok: Python module under the prefix" || { echo "FAIL: Python module not under the prefix"; fail=1; }
[ -e "$ROOT/lib/liblumivex_config_parser.so" ] && echo "ok: configuration parser" || { echo "FAIL: parser"; fail=1; }
# The staged module loads its libraries from the staged prefix (a sanitizer
# runtime given in the preload list comes along).
runtime=$(echo "$BUS" | tr ':' '\n' | grep libasan || true)
if env -u LD_LIBRARY_PATH LD_PRELOAD="$runtime" PYTHONPATH="$ROOT/lib/python3/dist-packages" ${PYTHON:-/usr/bin/python3} \
        -c "import LumivexDepthCamera as m; assert m.__file__.startswith('$ROOT')" ; then
    echo "ok: the staged Python module imports"
else
    echo "FAIL: the staged Python module does not import"; fail=1
fi
# The default prefix: the module goes where Debian's Python searches
# /usr/local (python3.<minor>), and imports from there.
LOCAL="$STAGE/local"
DESTDIR="$LOCAL" cmake --install "$BUILD" --prefix /usr/local > "$STAGE/install-local.log"
minor=$(${PYTHON:-/usr/bin/python3} -c 'import sys; print(sys.version_info.minor)')
if ls "$LOCAL"/usr/local/lib/python3."$minor"/dist-packages/LumivexDepthCamera*.so > /dev/null 2>&1 \
        && [ ! -e "$LOCAL/usr/local/lib/python3/dist-packages" ] \
        && env -u LD_LIBRARY_PATH LD_PRELOAD="$runtime" PYTHONPATH="$LOCAL/usr/local/lib/python3.$minor/dist-packages" \
            ${PYTHON:-/usr/bin/python3} -c "import LumivexDepthCamera"; then
    echo "ok: /usr/local puts the module in lib/python3.$minor/dist-packages"
else
    echo "FAIL: the module's place under /usr/local"; fail=1
fi
rm -rf "$LOCAL"
# Nothing outside the staged prefix.
outside=$(find "$STAGE" -type f ! -path "$ROOT/*" ! -name "install*.log")
[ -z "$outside" ] && echo "ok: nothing outside the prefix" || { echo "FAIL: outside the prefix: $outside"; fail=1; }
libdir=$(PKG_CONFIG_PATH="$ROOT/lib/pkgconfig" pkg-config --variable=libdir lumivex-usb)
[ "$(readlink -f "$libdir")" = "$(readlink -f "$ROOT/lib")" ] && echo "ok: pkg-config finds the staged tree" \
    || { echo "FAIL: pkg-config libdir $libdir"; fail=1; }
launched=$("$ROOT/bin/lumivex-virtual" --usb-board serial=STAGED -- sh -c 'echo "$LD_PRELOAD"')
for lib in $(echo "$launched" | tr ':' ' '); do
    [ -e "$lib" ] || { echo "FAIL: the staged launcher preloads a missing $lib"; fail=1; }
done

# The example against the staged tree, through pkg-config.
flags=$(PKG_CONFIG_PATH="$ROOT/lib/pkgconfig" pkg-config --cflags --libs lumivex-usb)
cc -O1 -Wall "$SOURCE/examples/c/lumivex_usb_demo.c" $flags -o "$STAGE/demo"
out=$(LD_LIBRARY_PATH="$ROOT/lib" LD_PRELOAD="$BUS" LUMIVEX_USB="serial=ABCD-EFGH-IJKL,fps=400" "$STAGE/demo" 0 3)
echo "$out"
echo "$out" | grep -q "board 0: serial ABCD-EFGH-IJKL" && echo "ok: lists boards" || { echo "FAIL: list"; fail=1; }
echo "$out" | grep -q "firmware 3.14" && echo "ok: reads the firmware" || { echo "FAIL: firmware"; fail=1; }
echo "$out" | grep -q "sensor register 0x3012 = 0x20" && echo "ok: registers" || { echo "FAIL: registers"; fail=1; }
echo "$out" | grep -q "^frame 2: 1024 bytes" && echo "ok: captures frames" || { echo "FAIL: frames"; fail=1; }

# The C++ example against the staged engine, through pkg-config (with a run
# path: the prefix is not where the loader looks), on the virtual CSI camera.
# The back-end's interface stays inside.
[ ! -e "$ROOT/include/lumivex/tof_sensor.h" ] && echo "ok: the back-end interface is not installed" \
    || { echo "FAIL: tof_sensor.h installed"; fail=1; }
flags=$(PKG_CONFIG_PATH="$ROOT/lib/pkgconfig" pkg-config --cflags --libs lumivex-engine)
c++ -std=c++17 -O1 -Wall "$SOURCE/examples/cpp/lumivex_depth_demo.cpp" $flags -Wl,-rpath,"$ROOT/lib" -o "$STAGE/cppdemo"
vkernel=$(dirname "$(echo "$BUS" | tr ':' '\n' | grep vusb)")/liblumivex-vkernel.so
runtime_first=$(echo "$BUS" | tr ':' '\n' | grep libasan | tr '\n' ':')
out=$(env -u LD_LIBRARY_PATH LD_PRELOAD="$runtime_first$vkernel" "$STAGE/cppdemo" csi 0 3 2>&1)
echo "$out" | grep -Eq "^frame 2: time [1-9][0-9]*, 240x180, centre [0-9.]+ m" && echo "ok: the C++ example captures depth" \
    || { echo "$out"; echo "FAIL: the C++ example"; fail=1; }

# And through the CMake packages.
mkdir -p "$STAGE/consumer"
cat > "$STAGE/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(consumer C CXX)
find_package(LumivexLib REQUIRED)
add_executable(demo $SOURCE/examples/c/lumivex_usb_demo.c)
target_link_libraries(demo PRIVATE Lumivex::LumivexLib)
find_package(LumivexEngine REQUIRED)
add_executable(cppdemo $SOURCE/examples/cpp/lumivex_depth_demo.cpp)
target_compile_features(cppdemo PRIVATE cxx_std_17)
target_link_libraries(cppdemo PRIVATE Lumivex::LumivexEngine)
CMAKE
cmake -S "$STAGE/consumer" -B "$STAGE/consumer/build" -DCMAKE_PREFIX_PATH="$ROOT" > "$STAGE/consumer.log" 2>&1 \
    && cmake --build "$STAGE/consumer/build" >> "$STAGE/consumer.log" 2>&1 \
    && echo "ok: find_package(LumivexLib) and find_package(LumivexEngine) build the examples" \
    || { cat "$STAGE/consumer.log"; echo "FAIL: CMake package"; fail=1; }
exit $fail
