#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# As root it installs them with apt-get; otherwise it names them and fails.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# Build: cmake, make, g++, GoogleTest/GoogleMock, Google Benchmark. Gateway tests: wget (the
# gateway reset runs the real one) and python3-can (a socketcand client we did not write).
for p in cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev wget python3-can "$@"; do
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
