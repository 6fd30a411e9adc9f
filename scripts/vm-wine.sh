#!/usr/bin/env bash
# vm-wine.sh - runs a command inside a small Debian 12 virtual machine that
# has Wine 8.0 (32-bit) and Xvfb, with the host's /work mounted at /work.
# It is for machines whose kernel has IA-32 emulation switched off (dmesg:
# "32-bit emulation disabled"; `wine --version` fails with "Exec format
# error"): no 32-bit program runs on such a host, so neither does Wine's
# 32-bit side, and the Windows-side tests (ctest's wine.* and e2e.*) can
# only run for real in the VM, whose Debian kernel runs 32-bit programs.
# qemu emulates the CPU in software (TCG, one thread per virtual CPU), so no
# /dev/kvm is needed; everything runs several times slower than natively.
#
#   bash scripts/vm-wine.sh 'COMMAND'
#
# boots the VM (about 10 s), runs COMMAND with bash as root in the same
# directory as here ($PWD must be under /work), streams its stdout and
# stderr to this script's, powers the VM off and exits with COMMAND's exit
# status (125 when the VM could not run it). The environment is not passed
# on, except the variables named in QMK_VM_ENV (e.g. QMK_VM_ENV='CI FOO').
# Files COMMAND writes under /work are the host's own (9p, owned as written,
# as root); everything else it writes (/tmp, /root, the system) is dropped
# at power-off. Example:
#   bash scripts/vm-wine.sh 'ctest --test-dir build/win32 -R "^wine\." --output-on-failure'
#
# Settings: QMK_VM_DIR (default /work/vm: the image made by
# scripts/vm-wine-image.sh), QMK_VM_SMP (2), QMK_VM_MEM (8G),
# QMK_VM_TIMEOUT (seconds, default none), QMK_VM_9P_CACHE (mmap; loose is
# faster but does not see host-side changes made while the VM runs),
# QMK_VM_VERBOSE=1 (the VM's console on stderr too).
set -euo pipefail

VM="${QMK_VM_DIR:-/work/vm}"
if [ $# = 0 ]; then
  echo "usage: bash scripts/vm-wine.sh 'COMMAND'" >&2
  exit 2
fi
cmd="$*"
case "$PWD" in
  /work | /work/*) ;;
  *) echo "vm-wine: run this from under /work (the VM sees only /work)" >&2; exit 2 ;;
esac
for f in vmlinuz initrd.img root.img; do
  if [ ! -f "$VM/$f" ]; then
    echo "vm-wine: $VM/$f is missing: make it with scripts/vm-wine-image.sh (as root)" >&2
    exit 125
  fi
done
command -v qemu-system-x86_64 >/dev/null || {
  echo "vm-wine: qemu-system-x86_64 is missing: apt-get install qemu-system-x86 seabios" >&2
  exit 125
}

mkdir -p "$VM/runs"
run="$(mktemp -d "$VM/runs/run.XXXXXX")"
cleanup() { rm -rf "$run"; }
trap cleanup EXIT
printf '%s\n' "$cmd" >"$run/cmd"
printf '%s\n' "$PWD" >"$run/cwd"
date +%s >"$run/time"
: >"$run/env"
for v in ${QMK_VM_ENV:-}; do
  if [ -n "${!v+set}" ]; then declare -p "$v" | sed 's/^declare -[^ ]* /export /' >>"$run/env"; fi
done

# The VM's output reaches this script's stdout and stderr through FIFOs read
# by cat, which writes to the very file descriptions it inherits (so a
# redirection to a file, a pipe or a terminal all behave as for any program).
fifos="$(mktemp -d)"
cleanup() { rm -rf "$run" "$fifos"; }
mkfifo "$fifos/out" "$fifos/err"
cat "$fifos/out" &
cat "$fifos/err" >&2 &
console="file,id=con,path=$run/console.log"
if [ "${QMK_VM_VERBOSE:-0}" = 1 ]; then
  mkfifo "$fifos/con"
  cat "$fifos/con" >&2 &
  console="file,id=con,path=$fifos/con,logfile=$run/console.log"
fi
timeout=()
[ -n "${QMK_VM_TIMEOUT:-}" ] && timeout=(timeout --kill-after=10 "$QMK_VM_TIMEOUT")

set +e
"${timeout[@]}" qemu-system-x86_64 \
  -accel tcg,thread=multi -cpu "${QMK_VM_CPU:-max,smap=off}" -machine pc \
  -smp "${QMK_VM_SMP:-2}" -m "${QMK_VM_MEM:-8G}" \
  -nodefaults -no-user-config -display none -no-reboot \
  -kernel "$VM/vmlinuz" -initrd "$VM/initrd.img" \
  -append "root=/dev/vda rw rootfstype=ext4 console=ttyS0 ${QMK_VM_KCMD:-quiet loglevel=3} panic=-1 mitigations=off fsck.mode=skip init=/sbin/vmrun-init vmrun=$run vmrun_cache=${QMK_VM_9P_CACHE:-mmap}" \
  -drive "file=$VM/root.img,format=raw,if=virtio,snapshot=on" \
  -virtfs local,path=/work,mount_tag=work,security_model=passthrough,id=work \
  -chardev "$console" -serial chardev:con \
  -device virtio-serial-pci \
  -chardev "file,id=out,path=$fifos/out" -device virtserialport,chardev=out,name=out \
  -chardev "file,id=err,path=$fifos/err" -device virtserialport,chardev=err,name=err \
  </dev/null
qrc=$?
# Should qemu have ended before opening a FIFO, its cat still waits for a
# writer: open and close each once, so that every cat sees its end.
for f in "$fifos"/*; do : <>"$f"; done
wait
set -e

if [ -f "$run/status" ]; then
  exit "$(cat "$run/status")"
fi
echo "vm-wine: the VM ended (qemu exit status $qrc) without running the command to its end; its console:" >&2
tail -n 40 "$run/console.log" >&2 2>/dev/null || true
exit 125
