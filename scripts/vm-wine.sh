#!/usr/bin/env bash
# vm-wine.sh - runs a command inside a small Debian 12 virtual machine that
# has Wine 8.0 (32-bit) and Xvfb, with the host's /work mounted at /work.
# It is for machines whose kernel has IA-32 emulation switched off (dmesg:
# "32-bit emulation disabled"; `wine --version` fails with "Exec format
# error"): no 32-bit program runs on such a host, so neither does Wine's
# 32-bit side, and the Windows-side tests (ctest's wine.* and e2e.*) can
# only run for real in the VM, whose Debian kernel runs 32-bit programs.
# qemu emulates the CPU in software (TCG), so no /dev/kvm is needed, and
# everything in the VM runs many times slower than natively.
#
#   bash scripts/vm-wine.sh 'COMMAND'
#
# boots the VM (15-20 s), runs COMMAND with bash as root in the same
# directory as here ($PWD must be under /work), streams its stdout and
# stderr to this script's, powers the VM off and exits with COMMAND's exit
# status (125 when the VM could not run it). The environment is not passed
# on, except the variables named in QMK_VM_ENV (e.g. QMK_VM_ENV='CI FOO').
# What COMMAND writes under /work lands in the host's /work (9p, as root);
# all else it writes (/tmp, /root, the system) is dropped at power-off.
# The first Wine program of a prefix starts Wine's services (about 30 s
# here); `wineserver -p` at the start of COMMAND keeps them up for the
# programs after it (a few seconds each then). Example:
#   bash scripts/vm-wine.sh 'wineserver -p; ctest --test-dir build/win32 -R "^wine\." --output-on-failure'
#
# The VM is made by scripts/vm-wine-image.sh (as root, once). Settings:
#   QMK_VM_DIR      where the image is (/work/vm)
#   QMK_VM_SMP      virtual CPUs (1: with 2, Wine ran 5x slower here while
#                   the host was busy, its processes spinning on each other)
#   QMK_VM_MEM      memory (8G)
#   QMK_VM_TIMEOUT  seconds after which the VM is stopped (none)
#   QMK_VM_9P_CACHE the /work mount's cache mode (loose: the VM may miss
#                   changes made on the host while it runs; mmap and none
#                   make Wine load some .exe sections as zeros)
#   QMK_VM_VERBOSE=1  the VM's console (kernel messages) on stderr too
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
if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "vm-wine: qemu-system-x86_64 is missing: apt-get install qemu-system-x86 seabios" >&2
  exit 125
fi

# The run folder, under /work so that the VM sees it: the command, the
# directory, the environment, and the exit status written back.
mkdir -p "$VM/runs"
run="$(mktemp -d "$VM/runs/run.XXXXXX")"
# The VM's output reaches this script's stdout and stderr through FIFOs read
# by cat, which writes to the file descriptions it inherits (so that a
# redirection to a file, a pipe or a terminal behave as for any program).
fifos="$(mktemp -d)"
trap 'rm -rf "$run" "$fifos"' EXIT
printf '%s\n' "$cmd" >"$run/cmd"
printf '%s\n' "$PWD" >"$run/cwd"
: >"$run/env"
for v in ${QMK_VM_ENV:-}; do
  if [ -n "${!v+set}" ]; then
    printf 'export %s=%q\n' "$v" "${!v}" >>"$run/env"
  fi
done

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
if [ -n "${QMK_VM_TIMEOUT:-}" ]; then
  timeout=(timeout --kill-after=10 "$QMK_VM_TIMEOUT")
fi

# tsc=reliable: the guest's clock reads cost a system call otherwise (HPET).
# smap=off: with SMAP, TCG faults on IRET in 32-bit user code, which kills
# every 32-bit Wine process (qemu 7.2).
kcmd="root=/dev/vda rw rootfstype=ext4 console=ttyS0 quiet loglevel=3 panic=-1"
kcmd+=" mitigations=off tsc=reliable fsck.mode=skip init=/sbin/vmrun-init"
kcmd+=" vmrun=$run vmrun_cache=${QMK_VM_9P_CACHE:-loose}"
set +e
"${timeout[@]}" qemu-system-x86_64 \
  -accel tcg,thread=multi -cpu max,smap=off -machine pc \
  -smp "${QMK_VM_SMP:-1}" -m "${QMK_VM_MEM:-8G}" \
  -nodefaults -no-user-config -display none -no-reboot \
  -kernel "$VM/vmlinuz" -initrd "$VM/initrd.img" -append "$kcmd" \
  -drive "file=$VM/root.img,format=raw,if=virtio,snapshot=on" \
  -virtfs local,path=/work,mount_tag=work,security_model=passthrough,id=work \
  -chardev "$console" -serial chardev:con \
  -device virtio-serial-pci \
  -chardev "file,id=out,path=$fifos/out" -device virtserialport,chardev=out,name=out \
  -chardev "file,id=err,path=$fifos/err" -device virtserialport,chardev=err,name=err \
  </dev/null
qrc=$?
set -e
# Should qemu have ended before opening a FIFO, its cat still waits for a
# writer: open and close each once, so that every cat sees its end.
for f in "$fifos"/*; do : <>"$f"; done
wait

if [ -f "$run/status" ]; then
  exit "$(cat "$run/status")"
fi
echo "vm-wine: the VM stopped (qemu's exit status $qrc) before the command ended; its console:" >&2
tail -n 40 "$run/console.log" >&2 2>/dev/null || true
exit 125
