#!/usr/bin/env bash
# Runs the SocketCAN tests in a virtual machine whose kernel has CAN: Debian's linux-image-amd64
# kernel under qemu (software emulation, no network), with an initramfs built here from
# busybox-static, the modules can, can-raw, can-dev and vcan, and the test programs of a build
# (the guest itself is built and booted by guest.sh beside this script).
#
#   tools/vm/run-socketcan-tests.sh BUILD-DIR
#
# BUILD-DIR must hold tests/socketcan/socketcan_vm_test and tools/canopen_devsim/korvel_canopen_devsim.
# Inside the guest vcan0 is created and every test case runs in a process of its own. Exits
# non-zero when a test fails, or the guest panics, hangs or never reports.
# Environment: VM_TIMEOUT (seconds for the whole guest run, default 900), VM_MEMORY (MiB, 1024),
# VM_KEEP=1 keeps the work folder BUILD-DIR/vm-socketcan.
set -euo pipefail

build=${1:?usage: $0 BUILD-DIR}
build=$(cd "$build" && pwd)
test_bin=$build/tests/socketcan/socketcan_vm_test
devsim_bin=$build/tools/canopen_devsim/korvel_canopen_devsim
for f in "$test_bin" "$devsim_bin"; do
  [ -x "$f" ] || { echo "vm: $f is missing: build it first" >&2; exit 1; }
done

# shellcheck source=tools/vm/guest.sh
. "$(dirname "$0")/guest.sh"
work=$build/vm-socketcan
vm_setup "$work"
vm_add_program "$test_bin"
vm_add_program "$devsim_bin"

vm_write_init 1 <<'INIT'
export KORVEL_DEVSIM=/bin/korvel_canopen_devsim LD_LIBRARY_PATH=/lib/korvel
passed=0; failed=0; failures=""
suite=""
/bin/socketcan_vm_test --gtest_list_tests > /tmp/list || failed=1
while IFS= read -r line; do
  case "$line" in
    "  "*) name=$suite${line#  }; name=${name%% *}
       # Here everything a case needs is set up: a case that skips has failed.
       if /bin/socketcan_vm_test --gtest_filter="$name" > /tmp/out 2>&1 && ! grep -q '^\[  SKIPPED \]' /tmp/out; then
         passed=$((passed + 1)); echo "vm: ok $name"
       else
         failed=$((failed + 1)); failures="$failures $name"; cat /tmp/out
       fi ;;
    *.) suite=$line ;;
  esac
done < /tmp/list
echo "vm: $passed passed, $failed failed"
[ -n "$failures" ] && echo "vm: failed:$failures"
rc=0; [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ] || rc=1
echo "SOCKETCAN-VM-RESULT rc=$rc"
INIT

log=$work/console.log
vm_boot "$log"
vm_finish
marker=$(tr -d '\r' < "$log" | grep -a '^SOCKETCAN-VM-RESULT rc=' | tail -1 || true)
case "$marker" in
  "SOCKETCAN-VM-RESULT rc=0") echo "vm: socketcan tests passed"; exit 0 ;;
  "") echo "vm: the guest never reported a result (panic, hang or time-out)" >&2; exit 1 ;;
  *) echo "vm: socketcan tests failed" >&2; exit 1 ;;
esac
