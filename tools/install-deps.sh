#!/usr/bin/env bash
# Installs the Debian packages one use of the tree needs, when they are missing.
#   tools/install-deps.sh demo   the demo server: compiler and build tools only
#   tools/install-deps.sh test   the whole tree and its tests: GoogleTest/GoogleMock, Google
#                                Benchmark, wget (the gateway reset runs the real one) and
#                                python3-can (a socketcand client we did not write)
#   tools/install-deps.sh ci     what .ci/run needs besides: pkg-config for the install check,
#                                clang-format for the formatting check
# Further arguments name more packages. As root it installs them with apt-get; otherwise it
# names them and fails.
set -euo pipefail

group=${1:-test}
shift || true
case "$group" in
  demo) wanted=(cmake make g++) ;;
  test) wanted=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev wget python3-can) ;;
  ci) wanted=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev wget python3-can pkg-config clang-format) ;;
  *)
    echo "usage: $0 demo|test|ci [PACKAGE...] (not '$group')" >&2
    exit 2
    ;;
esac

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in "${wanted[@]}" "$@"; do
  have_pkg "$p" || need+=("$p")
done

[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
else
  echo "missing Debian packages: ${need[*]} (install them with: sudo apt-get install ${need[*]})" >&2
  exit 1
fi
