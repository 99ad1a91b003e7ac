#!/usr/bin/env bash
# Runs the SocketCAN tests in a virtual machine whose kernel has CAN: Debian's linux-image-amd64
# kernel under qemu (software emulation, no network), with an initramfs built here from
# busybox-static, the modules can, can-raw, can-dev and vcan, and the test programs of a build.
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

# ---------------------------------------------------------------- packages
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in qemu-system-x86 linux-image-amd64 busybox-static cpio xz-utils kmod; do
  have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "vm: missing Debian packages: ${need[*]} (sudo apt-get install ${need[*]})" >&2
    exit 1
  fi
  echo "vm: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# ---------------------------------------------------------------- kernel and modules
# The kernel of the installed linux-image-amd64 package, never the one this machine runs.
kver=$(dpkg-query -W -f='${Depends}' linux-image-amd64 | sed -n 's/^linux-image-\([^ ,]*\).*/\1/p')
vmlinuz=/boot/vmlinuz-$kver
moddir=/lib/modules/$kver
[ -n "$kver" ] && [ -r "$vmlinuz" ] && [ -d "$moddir" ] || {
  echo "vm: kernel of linux-image-amd64 not found (version '$kver')" >&2
  exit 1
}

work=$build/vm-socketcan
rm -rf "$work/root"
mkdir -p "$work/root"
root=$work/root

# Decompressing the kernel once here spares the emulated guest several seconds per boot: the
# plain ELF image boots through its PVH entry point. Falls back to the compressed image.
kernel=$vmlinuz
elf=$work/vmlinux-$kver
if [ ! -s "$elf" ]; then
  off=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1 || true)
  if [ -n "$off" ]; then
    tail -c +$((off + 1)) "$vmlinuz" | xz -dc 2>/dev/null > "$elf.tmp" || true
    if [ "$(head -c 4 "$elf.tmp" | od -An -c | tr -d ' ')" = '177ELF' ]; then mv "$elf.tmp" "$elf"; else rm -f "$elf.tmp"; fi
  fi
fi
[ -s "$elf" ] && kernel=$elf

mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
for m in can can-raw can-dev vcan; do
  ko=$(find "$moddir/kernel" -name "$m.ko" -o -name "$m.ko.xz" -o -name "$m.ko.zst" | head -1)
  [ -n "$ko" ] || { echo "vm: module $m not in $moddir" >&2; exit 1; }
  case "$ko" in
    *.xz) xz -dc "$ko" > "$root/modules/$m.ko" ;;
    *.zst) zstd -qdc "$ko" > "$root/modules/$m.ko" ;;
    *) cp "$ko" "$root/modules/$m.ko" ;;
  esac
done

# ---------------------------------------------------------------- programs
cp /bin/busybox "$root/bin/busybox"
for applet in sh mount insmod ip sleep poweroff echo cat mkdir grep sed wc rm; do
  ln -s busybox "$root/bin/$applet"
done
copy_with_libs() {
  cp "$1" "$root/bin/"
  # System libraries and the loader at the paths the program expects; the build's own
  # libraries in /lib/korvel (LD_LIBRARY_PATH), since their build path may lie under /tmp,
  # which the guest mounts a tmpfs over.
  ldd "$1" | grep -o '/[^ ]*' | while read -r lib; do
    case "$lib" in
      /lib/* | /lib64/* | /usr/*) dest=$root$lib ;;
      *) dest=$root/lib/korvel/$(basename "$lib") ;;
    esac
    [ -e "$dest" ] && continue
    mkdir -p "$(dirname "$dest")"
    cp -L "$lib" "$dest"
  done
}
copy_with_libs "$test_bin"
copy_with_libs "$devsim_bin"

cat > "$root/init" <<'INIT'
#!/bin/sh
# Blank lines first: the console may lose the first bytes after boot.
echo; echo
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for m in can can-raw can-dev vcan; do insmod /modules/$m.ko || echo "vm: insmod $m failed"; done
ip link add dev vcan0 type vcan && ip link set vcan0 up || echo "vm: vcan0 could not be set up"
export KORVEL_DEVSIM=/bin/korvel_canopen_devsim PATH=/bin LD_LIBRARY_PATH=/lib/korvel
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
echo
sleep 1
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) > "$work/initramfs.cpio"

# ---------------------------------------------------------------- boot
log=$work/console.log
echo "vm: booting $(basename "$kernel") with $(du -h "$work/initramfs.cpio" | cut -f1) initramfs"
start=$(date +%s)
set +e
timeout --foreground -k 10 "${VM_TIMEOUT:-900}" qemu-system-x86_64 \
  -machine pc -cpu max -m "${VM_MEMORY:-1024}" -smp 1 \
  -display none -no-reboot -nic none -monitor none -serial stdio \
  -kernel "$kernel" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 oops=panic quiet loglevel=3 rdinit=/init" < /dev/null | tee "$log"
qemu_rc=${PIPESTATUS[0]}
set -e
echo "vm: guest ran $(( $(date +%s) - start )) s (qemu exit $qemu_rc)"

[ "${VM_KEEP:-0}" = 1 ] || rm -rf "$root"
marker=$(tr -d '\r' < "$log" | grep -a '^SOCKETCAN-VM-RESULT rc=' | tail -1 || true)
case "$marker" in
  "SOCKETCAN-VM-RESULT rc=0") echo "vm: socketcan tests passed"; exit 0 ;;
  "") echo "vm: the guest never reported a result (panic, hang or time-out)" >&2; exit 1 ;;
  *) echo "vm: socketcan tests failed" >&2; exit 1 ;;
esac
