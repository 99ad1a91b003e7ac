#!/usr/bin/env bash
# Uses a build of the library as a server project would: installs it into a temporary prefix
# and checks what is installed (SONAMEs, the library's dependence on nine driver functions and
# no driver library, no build-tree paths), builds and runs a small server with find_package
# and one with pkg-config against it, and one more that adds the source tree with
# add_subdirectory. Each server runs a node on the simulated bus.
#   tests/install/check-install.sh BUILD-DIR
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD-DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
work=$(mktemp -d /tmp/korvel-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install check: $*" >&2; exit 1; }

echo "-- cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" > "$work/install.log"
lib=$(dirname "$(find "$prefix" -name 'libkorvel.so.0' | head -1)")
[ -d "$lib" ] || fail "libkorvel.so.0 not installed"

echo "-- installed files"
for f in "$lib/libkorvel.so" "$lib/libkorvel-vexil.so.0" "$lib/libntcan.so.0" "$lib/libkorvel-canopen.so.0" \
         "$lib/libkorvel-canopen-sim.so.0" "$lib/libkorvel-canbus.so.0" \
         "$lib/cmake/korvel/korvelConfig.cmake" "$lib/cmake/korvel/korvelConfigVersion.cmake" \
         "$lib/pkgconfig/korvel.pc" "$lib/pkgconfig/korvel-vexil.pc" "$lib/pkgconfig/korvel-ntcan.pc" \
         "$lib/pkgconfig/korvel-canopen.pc" \
         "$prefix/include/korvel/D_korvel.h" "$prefix/include/korvel/ntcan.h" "$prefix/include/korvel/vexil/vexil_host.h" \
         "$prefix/include/korvel/ntcan/sim_bus.h" "$prefix/include/korvel/simdev/canopen_device.h" \
         "$prefix/include/korvel/canopen/cob_id.h" "$prefix/include/korvel/canopen/endian.h" \
         "$prefix/include/korvel/canopen/frame.h" "$prefix/include/korvel/canopen/nmt.h" \
         "$prefix/include/korvel/canopen/objects.h" "$prefix/include/korvel/canopen/sdo.h" \
         "$prefix/include/korvel/canopen/sdo_abort.h" \
         "$prefix/bin/korvel_demo" "$prefix/bin/korvel_gateway_sim" "$prefix/bin/korvel_canopen_devsim" \
         "$prefix/bin/korvel_canopen_eds" \
         "$prefix/share/doc/korvel/README.md"; do
  [ -e "$f" ] || fail "${f#"$prefix"/} is not installed"
done
for l in korvel korvel-vexil korvel-canopen ntcan korvel-canbus korvel-canopen-sim; do
  soname=$(readelf -d "$lib/lib$l.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$l.so.0" ] || fail "lib$l.so has SONAME '$soname', not lib$l.so.0"
done

echo "-- libkorvel records no driver: nine NTCAN functions undefined, no libntcan needed"
readelf -d "$lib/libkorvel.so" | grep NEEDED | grep -q ntcan && fail "libkorvel.so needs libntcan"
undefined=$(nm -D --undefined-only "$lib/libkorvel.so" | awk '{print $2}' | grep -E '^can[A-Z]' | sort | tr '\n' ' ')
expected="canClose canIdAdd canIdDelete canOpen canRead canSend canSetBaudrate canStatus canTake "
[ "$undefined" = "$expected" ] || fail "libkorvel.so leaves '$undefined' undefined, expected '$expected'"

echo "-- no build-tree path in installed files"
while IFS= read -r -d '' f; do
  if readelf -h "$f" > /dev/null 2>&1; then
    paths=$(readelf -d "$f" 2>/dev/null | grep -E 'RUNPATH|RPATH' || true)
    case "$paths" in *"$build"* | *"$src"*) fail "${f#"$prefix"/} has a build-tree run path: $paths" ;; esac
  elif grep -q -e "$build" -e "$src" "$f"; then
    fail "${f#"$prefix"/} names the build or source tree"
  fi
done < <(find "$prefix" -type f -print0)
"$prefix/bin/korvel_demo" --version > /dev/null || fail "the installed demo server does not run"

version=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --modversion korvel)
echo "-- a server with find_package(korvel $version)"
cmake -S "$here" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" -DKORVEL_VERSION="$version" \
  > "$work/cmake-consumer.log" || { cat "$work/cmake-consumer.log"; fail "find_package consumer: configure"; }
cmake --build "$work/cmake-consumer" > "$work/cmake-build.log" 2>&1 || { cat "$work/cmake-build.log"; fail "find_package consumer: build"; }
"$work/cmake-consumer/consumer" "$work" || fail "the find_package consumer failed"

echo "-- a server with pkg-config korvel korvel-canopen korvel-ntcan"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -o "$work/pc-consumer" "$here/consumer.cc" \
  $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs korvel korvel-canopen korvel-ntcan) -Wl,-rpath,"$lib" \
  || fail "pkg-config consumer: build"
"$work/pc-consumer" "$work" || fail "the pkg-config consumer failed"

echo "-- a server that adds the source tree with add_subdirectory"
cmake -S "$here/host" -B "$work/host" -DKORVEL_SOURCE_DIR="$src" -DKORVEL_TOOLS=ON -DCMAKE_BUILD_TYPE=Release \
  > "$work/host.log" || { cat "$work/host.log"; fail "add_subdirectory host: configure"; }
cmake --build "$work/host" -j "$(nproc)" > "$work/host-build.log" 2>&1 || { tail -30 "$work/host-build.log"; fail "add_subdirectory host: build"; }
"$work/host/consumer" "$work" || fail "the add_subdirectory consumer failed"
for t in korvel_demo korvel_gateway_sim korvel_canopen_devsim korvel_canopen_eds; do
  [ -e "$work/host/$t" ] && fail "$t was built into the host's top build folder"
  [ -n "$(find "$work/host/korvel" -name "$t" -type f)" ] || fail "$t was not built under the host's korvel folder"
done

echo "install check: passed"
