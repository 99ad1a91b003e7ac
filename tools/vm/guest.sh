# guest.sh - sourced by the scripts that run programs in a virtual machine whose kernel has
# CAN: Debian's linux-image-amd64 kernel under qemu (software emulation, one CPU, no network),
# with an initramfs built here from busybox-static, the modules can, can-raw, can-dev and vcan,
# and the programs the calling script adds.
#
#   vm_setup WORK                  installs what is missing, finds the kernel, and lays out an
#                                  empty guest root in WORK/root (vm_root)
#   vm_add_program PROGRAM [NAME] [LIBDIR]
#                                  copies PROGRAM to /bin/NAME of the guest (default: its own
#                                  name), the system libraries it uses at their paths, and the
#                                  build's own libraries into LIBDIR (default /lib/korvel)
#   vm_write_init VCANS            writes /init: mounts, modules, vcan0..vcan<VCANS-1> up, then
#                                  the shell commands read from standard input (with the
#                                  applets listed in vm_applets), then power-off
#   vm_boot LOG                    packs the initramfs and boots it, the console in LOG (and on
#                                  standard output); sets vm_qemu_rc
#   vm_finish                      removes the guest root unless VM_KEEP=1
#
# The calling script reads its results from the console log (marker lines of its own).
# Environment: VM_TIMEOUT (seconds for the whole guest run; the caller's default),
# VM_MEMORY (MiB, default 1024), VM_KEEP=1 keeps the guest root.

vm_applets=(sh mount insmod ip sleep poweroff echo cat mkdir grep sed wc rm timeout)

vm_setup() {  # vm_setup WORK
  vm_work=$1
  local need=() p
  for p in qemu-system-x86 linux-image-amd64 busybox-static cpio xz-utils kmod; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "vm: missing Debian packages: ${need[*]} (sudo apt-get install ${need[*]})" >&2
      return 1
    fi
    echo "vm: installing ${need[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
  fi

  # The kernel of the installed linux-image-amd64 package, never the one this machine runs.
  local kver vmlinuz moddir
  kver=$(dpkg-query -W -f='${Depends}' linux-image-amd64 | sed -n 's/^linux-image-\([^ ,]*\).*/\1/p')
  vmlinuz=/boot/vmlinuz-$kver
  moddir=/lib/modules/$kver
  if [ -z "$kver" ] || [ ! -r "$vmlinuz" ] || [ ! -d "$moddir" ]; then
    echo "vm: kernel of linux-image-amd64 not found (version '$kver')" >&2
    return 1
  fi

  vm_root=$vm_work/root
  rm -rf "$vm_root"
  mkdir -p "$vm_root"

  # Decompressing the kernel once here spares the emulated guest several seconds per boot: the
  # plain ELF image boots through its PVH entry point. Falls back to the compressed image.
  vm_kernel=$vmlinuz
  local elf=$vm_work/vmlinux-$kver off
  if [ ! -s "$elf" ]; then
    off=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1 || true)
    if [ -n "$off" ]; then
      tail -c +$((off + 1)) "$vmlinuz" | xz -dc 2>/dev/null > "$elf.tmp" || true
      if [ "$(head -c 4 "$elf.tmp" | od -An -c | tr -d ' ')" = '177ELF' ]; then mv "$elf.tmp" "$elf"; else rm -f "$elf.tmp"; fi
    fi
  fi
  [ -s "$elf" ] && vm_kernel=$elf

  mkdir -p "$vm_root"/{bin,dev,proc,sys,tmp,modules}
  local m ko
  for m in can can-raw can-dev vcan; do
    ko=$(find "$moddir/kernel" -name "$m.ko" -o -name "$m.ko.xz" -o -name "$m.ko.zst" | head -1)
    if [ -z "$ko" ]; then
      echo "vm: module $m not in $moddir" >&2
      return 1
    fi
    case "$ko" in
      *.xz) xz -dc "$ko" > "$vm_root/modules/$m.ko" ;;
      *.zst) zstd -qdc "$ko" > "$vm_root/modules/$m.ko" ;;
      *) cp "$ko" "$vm_root/modules/$m.ko" ;;
    esac
  done

  cp /bin/busybox "$vm_root/bin/busybox"
  local applet
  for applet in "${vm_applets[@]}"; do
    ln -s busybox "$vm_root/bin/$applet"
  done
}

vm_add_program() {  # vm_add_program PROGRAM [NAME] [LIBDIR]
  local program=$1 name=${2:-$(basename "$1")} libdir=${3:-/lib/korvel}
  cp "$program" "$vm_root/bin/$name"
  # System libraries and the loader at the paths the program expects; the build's own
  # libraries in LIBDIR (LD_LIBRARY_PATH), since their build path may lie under /tmp, which the
  # guest mounts a tmpfs over, and two builds' libraries of the same name must not meet.
  local lib dest
  ldd "$program" | grep -o '/[^ ]*' | while read -r lib; do
    case "$lib" in
      /lib/* | /lib64/* | /usr/*) dest=$vm_root$lib ;;
      *) dest=$vm_root$libdir/$(basename "$lib") ;;
    esac
    [ -e "$dest" ] && continue
    mkdir -p "$(dirname "$dest")"
    cp -L "$lib" "$dest"
  done
}

vm_write_init() {  # vm_write_init VCANS < BODY
  local vcans=$1
  {
    cat <<INIT
#!/bin/sh
# Blank lines first: the console may lose the first bytes after boot.
echo; echo
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for m in can can-raw can-dev vcan; do insmod /modules/\$m.ko || echo "vm: insmod \$m failed"; done
i=0
while [ \$i -lt $vcans ]; do
  ip link add dev vcan\$i type vcan && ip link set vcan\$i up || echo "vm: vcan\$i could not be set up"
  i=\$((i + 1))
done
export PATH=/bin
INIT
    cat
    cat <<'INIT'
echo
sleep 1
poweroff -f
INIT
  } > "$vm_root/init"
  chmod +x "$vm_root/init"
}

vm_boot() {  # vm_boot LOG
  local log=$1 initramfs=$vm_work/initramfs.cpio start
  (cd "$vm_root" && find . | cpio -o -H newc --quiet) > "$initramfs"
  echo "vm: booting $(basename "$vm_kernel") with $(du -h "$initramfs" | cut -f1) initramfs"
  start=$(date +%s)
  set +e
  timeout --foreground -k 10 "${VM_TIMEOUT:-900}" qemu-system-x86_64 \
    -machine pc -cpu max -m "${VM_MEMORY:-1024}" -smp 1 \
    -display none -no-reboot -nic none -monitor none -serial stdio \
    -kernel "$vm_kernel" -initrd "$initramfs" \
    -append "console=ttyS0 panic=-1 oops=panic quiet loglevel=3 rdinit=/init" < /dev/null | tee "$log"
  vm_qemu_rc=${PIPESTATUS[0]}
  set -e
  echo "vm: guest ran $(( $(date +%s) - start )) s (qemu exit $vm_qemu_rc)"
}

vm_finish() {
  [ "${VM_KEEP:-0}" = 1 ] || rm -rf "$vm_root"
}
