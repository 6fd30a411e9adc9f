#!/usr/bin/env bash
# vm-wine-image.sh - builds the small Debian 12 virtual machine that
# scripts/vm-wine.sh boots to run the Windows-side tests for real on a
# machine whose kernel has IA-32 emulation switched off (dmesg says "32-bit
# emulation disabled"; `wine --version` fails with "Exec format error"), so
# that no 32-bit program, and so no 32-bit Wine, runs on the host itself.
# The VM's kernel is Debian's, which runs 32-bit programs; qemu emulates the
# CPU in software (TCG), so no /dev/kvm is needed.
#
#   bash scripts/vm-wine-image.sh      (as root; about 5 minutes)
#
# Makes, in $QMK_VM_DIR (default /work/vm):
#   root/       the debootstrapped tree (bookworm amd64 + i386): Wine 8.0
#               (wine, wine32: the tests use 32-bit prefixes only), Xvfb,
#               xdotool, ImageMagick, python3, the other tools the tests
#               call, and /sbin/vmrun-init
#   root.img    a raw ext4 image of root/ (vm-wine.sh never writes to it:
#               it boots with snapshot=on)
#   vmlinuz, initrd.img   the VM's kernel and a small initrd
# Needs only Debian's package mirror. Rerun it to remake everything.
set -euo pipefail

VM="${QMK_VM_DIR:-/work/vm}"
MIRROR="${QMK_VM_MIRROR:-http://deb.debian.org/debian}"
SECURITY="${QMK_VM_SECURITY_MIRROR:-http://deb.debian.org/debian-security}"
ROOT="$VM/root"

# What the Windows-side tests (scripts/wine-run.sh, tests/e2e, ctest) call,
# beside Wine itself.
PKGS=(
  linux-image-amd64 kmod procps iproute2 util-linux bash coreutils
  wine wine32:i386 fonts-wine
  xvfb xauth x11-utils xdotool imagemagick
  python3 file liblnk-utils binutils-mingw-w64-i686 cmake git e2fsprogs
  osslsigncode openssl nsis time
)

if [ "$(id -u)" != 0 ]; then
  echo "vm-wine-image: run this as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  qemu-system-x86 seabios debootstrap e2fsprogs >/dev/null

mkdir -p "$VM"
umount_chroot() {
  for m in dev/pts dev proc sys; do
    if mountpoint -q "$ROOT/$m" 2>/dev/null; then umount -l "$ROOT/$m"; fi
  done
}
umount_chroot
rm -rf "$ROOT" "$VM/root.img.new"

debootstrap --arch=amd64 --variant=minbase bookworm "$ROOT" "$MIRROR"

trap umount_chroot EXIT
mount -t proc proc "$ROOT/proc"
mount -t sysfs sys "$ROOT/sys"
mount --bind /dev "$ROOT/dev"
mount --bind /dev/pts "$ROOT/dev/pts"

cat >"$ROOT/etc/apt/sources.list" <<EOF
deb $MIRROR bookworm main
deb $MIRROR bookworm-updates main
deb $SECURITY bookworm-security main
EOF
cat >"$ROOT/etc/apt/apt.conf.d/90vm" <<'EOF'
APT::Install-Recommends "false";
APT::Install-Suggests "false";
EOF
# No documentation, manual pages or translations: a smaller image.
cat >"$ROOT/etc/dpkg/dpkg.cfg.d/90vm-nodoc" <<'EOF'
path-exclude /usr/share/doc/*
path-include /usr/share/doc/*/copyright
path-exclude /usr/share/man/*
path-exclude /usr/share/info/*
path-exclude /usr/share/locale/*
path-include /usr/share/locale/locale.alias
EOF
# A small initrd: only what finds and mounts the root disk.
mkdir -p "$ROOT/etc/initramfs-tools/conf.d"
echo 'MODULES=list' >"$ROOT/etc/initramfs-tools/conf.d/vm.conf"
printf '%s\n' virtio_pci virtio_blk ext4 crc32c_generic >"$ROOT/etc/initramfs-tools/modules"
echo vm-wine >"$ROOT/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tvm-wine\n' >"$ROOT/etc/hosts"

chroot "$ROOT" dpkg --add-architecture i386
chroot "$ROOT" apt-get update -qq
# A few i386 maintainer scripts run 32-bit programs (glib's caches), which
# fail with "Exec format error" on such a host; they only warn, and Wine
# needs none of those caches.
chroot "$ROOT" apt-get install -y -q "${PKGS[@]}"
if [ -n "$(chroot "$ROOT" dpkg --audit)" ]; then
  chroot "$ROOT" dpkg --audit >&2
  echo "vm-wine-image: some packages are not fully installed" >&2
  exit 1
fi
chroot "$ROOT" apt-get clean
rm -rf "$ROOT"/var/lib/apt/lists/*
# Kernel modules for hardware the VM does not have.
kver="$(basename "$(ls -d "$ROOT"/lib/modules/*)")"
for d in sound drivers/gpu drivers/media drivers/net/wireless drivers/net/ethernet \
  drivers/infiniband drivers/staging drivers/bluetooth drivers/isdn drivers/iio \
  net/wireless net/mac80211 net/bluetooth; do
  rm -rf "$ROOT/lib/modules/$kver/kernel/$d"
done
chroot "$ROOT" depmod -a "$kver"

install -m 0755 /dev/stdin "$ROOT/sbin/vmrun-init" <<'INIT'
#!/bin/bash
# /sbin/vmrun-init - PID 1 of the VM that scripts/vm-wine.sh boots (made by
# scripts/vm-wine-image.sh). Mounts the host's /work at /work over 9p, runs
# the command that vm-wine.sh left in the run folder named on the kernel's
# command line (vmrun=DIR: DIR/cmd, DIR/cwd), sends its output to the
# virtio ports "out" and "err" (the host's stdout and stderr), writes its
# exit status to DIR/status and powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 TERM=dumb
mount -t proc proc /proc 2>/dev/null
mount -t sysfs sys /sys 2>/dev/null
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /run/lock /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix
ln -sfn /proc/self/fd /dev/fd
hostname vm-wine
ip link set lo up 2>/dev/null
modprobe -q virtio_console
modprobe -q 9pnet_virtio
modprobe -q 9p
die() { echo "vmrun-init: $*" >&2; sync; echo o >/proc/sysrq-trigger; sleep 5; echo b >/proc/sysrq-trigger; }
# vmrun=DIR, vmrun_cache=MODE, vmrun_msize=BYTES: the kernel's command line.
vmrun= vmrun_cache= vmrun_msize=
for a in $(cat /proc/cmdline); do
  case "$a" in
    vmrun=*) vmrun=${a#vmrun=} ;;
    vmrun_cache=*) vmrun_cache=${a#vmrun_cache=} ;;
    vmrun_msize=*) vmrun_msize=${a#vmrun_msize=} ;;
  esac
done
# cache=loose: with mmap or none, Wine 8 maps some sections of a .exe on
# /work as zeros (the program then crashes at once).
mkdir -p /work
mount -t 9p -o trans=virtio,version=9p2000.L,msize=${vmrun_msize:-512000},cache=${vmrun_cache:-loose},access=client work /work ||
  die "cannot mount the host's /work"
dir="$vmrun"
[ -n "$dir" ] && [ -f "$dir/cmd" ] || die "no run folder (vmrun=$dir)"
# The host's stdout and stderr: virtio ports named out and err.
out=/dev/console err=/dev/console
for p in /sys/class/virtio-ports/*; do
  case "$(cat "$p/name" 2>/dev/null)" in
    out) out=/dev/${p##*/} ;;
    err) err=/dev/${p##*/} ;;
  esac
done
cwd="$(cat "$dir/cwd" 2>/dev/null || echo /work)"
(
  cd "$cwd" || exit 125
  [ -f "$dir/env" ] && . "$dir/env"
  exec setsid bash -c "$(cat "$dir/cmd")"
) </dev/null >"$out" 2>"$err" &
wait $!
rc=$?
echo "$rc" >"$dir/status.new" && mv "$dir/status.new" "$dir/status"
# Stop what the command left running (wineserver, Xvfb) before unmounting.
kill -TERM -1 2>/dev/null; sleep 0.5; kill -KILL -1 2>/dev/null
sync
umount /work 2>/dev/null
echo o >/proc/sysrq-trigger
sleep 5
echo b >/proc/sysrq-trigger
INIT

cp "$ROOT/boot/vmlinuz-$kver" "$VM/vmlinuz"
cp "$ROOT/boot/initrd.img-$kver" "$VM/initrd.img"
umount_chroot
trap - EXIT

mkimg() {
  local size_mb
  size_mb=$(( $(du -sm "$ROOT" | cut -f1) * 5 / 4 + 512 ))
  rm -f "$VM/root.img.new"
  mkfs.ext4 -q -F -L vmroot -d "$ROOT" "$VM/root.img.new" "${size_mb}M"
  mv "$VM/root.img.new" "$VM/root.img"
}
mkimg
echo "vm-wine-image: made $VM/root.img ($(du -sh --apparent-size "$VM/root.img" | cut -f1)), $VM/vmlinuz, $VM/initrd.img"
