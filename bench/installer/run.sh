#!/bin/bash
# run.sh - our installer against NSIS on the same payloads, in one run,
# under one Wine: installer and stub size, silent install time, peak memory
# and, for the GUI, the time to the first window. Writes its section of
# BENCHMARKS.md (between the "installer benchmark" markers).
#
#   bench/installer/run.sh [--runs N] [--gui-runs N] [--corpus DIR] [--out FILE]
#                          [--build-only | --no-build]
#
# --build-only makes the installers and stops; --no-build runs the rest on
# those (for machines that cannot run 32-bit programs: build on the host,
# then bash scripts/vm-wine.sh 'bench/installer/run.sh --no-build').
#
# Payloads: the demo product, and the corpus sets mixed (~10 MiB) and pe
# (~64 MiB) of shared/bench/make_corpus.sh. Installers: ours at level 9,
# NSIS with SetCompressor /SOLID zlib and /SOLID lzma (quellmark.nsi does
# the same job: files, Start-menu folder, four shortcuts, uninstall key).
# Each install starts from a clean state (directory, Start-menu folder and
# key removed) in a Wine prefix prepared beforehand; the installers run
# round-robin so load from elsewhere falls on all of them alike. Times are
# medians; every verdict is a ratio to NSIS measured in the same run.
set -euo pipefail
export LC_ALL=C
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
RUNS=5
GUI_RUNS=3
CORPUS=${QMK_CORPUS:-build/corpus}
OUTFILE=BENCHMARKS.md
STAGE=
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=${2:?}; shift ;;
    --gui-runs) GUI_RUNS=${2:?}; shift ;;
    --corpus) CORPUS=${2:?}; shift ;;
    --out) OUTFILE=${2:?}; shift ;;
    --build-only | --no-build) STAGE=$1 ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "installer bench: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
say() { echo "installer bench: $*" >&2; }
die() { say "$*"; exit 1; }
START=$(date +%s)
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- tools and corpus -----------------------------------------------------------
if [ "$STAGE" != --no-build ]; then
bash scripts/install-deps.sh >&2
if ! command -v makensis >/dev/null || [ ! -x /usr/bin/time ]; then
  [ "$(id -u)" = 0 ] || die "missing nsis or time (apt-get install them as root)"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nsis time >/dev/null
fi
SHARED="${QMK_SHARED:-$(cd "$ROOT/.." && pwd)/shared}"
if [ ! -d "$CORPUS/pe" ] || ! (cd "$CORPUS" && sha256sum -c --quiet SHA256SUMS >/dev/null 2>&1); then
  say "building the corpus in $CORPUS"
  bash "$SHARED/bench/make_corpus.sh" "$CORPUS" >&2
fi
fi

CORPUS=$(cd "$CORPUS" && pwd)
W=$ROOT/build/bench-installer
PAYLOADS=(demo mixed pe)
declare -A DIR=([demo]="$W/build/demo-payload" [mixed]="$CORPUS/mixed" [pe]="$CORPUS/pe")

# ---- build ----------------------------------------------------------------------
KINDS=(ours zlib lzma)
declare -A LABEL=([ours]="ours -9" [zlib]="NSIS zlib solid" [lzma]="NSIS lzma solid")
declare -A TITLE=([ours]="^Installing Quellmark 3$" [zlib]="^Quellmark Setup" [lzma]="^Quellmark Setup")
if [ "$STAGE" = --no-build ]; then
  source "$W/built.sh"
else
mkdir -p "$W/out"
cmake --preset native >/dev/null
cmake --build --preset native --target qmkpack >/dev/null
QMKPACK=$ROOT/build/native/qmkpack/qmkpack
cmake -S . -B "$W/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DQMK_BUILD_TESTS=OFF -DQMK_HOST_QMKPACK="$QMKPACK" >/dev/null
cmake --build "$W/build" --target demo_payload QuellmarkStub >/dev/null
STUB_SIZE=$(stat -c %s "$W/build/QuellmarkStub.exe")
NSIS_VERSION=$(makensis -VERSION)
NSIS_STUB=$(stat -c %s /usr/share/nsis/Stubs/zlib_solid-x86-unicode)
NSIS_STUB_LZMA=$(stat -c %s /usr/share/nsis/Stubs/lzma_solid-x86-unicode)

declare -A MAKE
for p in "${PAYLOADS[@]}"; do
  say "building the installers for $p"
  # The release engineer's one command on each side, timed: ours packs the
  # folder at level 9 and adds it to the stub.
  t0=$(date +%s.%N)
  SOURCE_DATE_EPOCH=1700000000 "$QMKPACK" setup -q -f --stub "$W/build/QuellmarkStub.exe" "$W/out/ours-$p.exe" "${DIR[$p]}"
  MAKE[ours.$p]=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}')
  for c in zlib lzma; do
    t0=$(date +%s.%N)
    makensis -V1 -DPAYLOAD="${DIR[$p]}" -DOUT="$W/out/$c-$p.exe" -DCOMPRESSOR=$c bench/installer/quellmark.nsi >&2
    MAKE[$c.$p]=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}')
  done
done
declare -p MAKE STUB_SIZE NSIS_VERSION NSIS_STUB NSIS_STUB_LZMA >"$W/built.sh"
fi
[ "$STAGE" != --build-only ] || { say "installers made in $W/out"; exit 0; }

# ---- Wine and a display --------------------------------------------------------------
# winemenubuilder (Wine's own mirror of shortcuts into the desktop's menus)
# is switched off: it would start a process per shortcut for either side.
# QMK_BENCH_PREFIX: the prefix elsewhere (in the VM, on its own disk rather than on /work).
export WINEPREFIX=${QMK_BENCH_PREFIX:-$W/prefix} WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "preparing the Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
fi
wineserver -w
for n in $(seq 140 170); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB=$!
export DISPLAY=":$n"
wineserver -p  # one server for the whole run, so no install pays for its start
cleanup() { wineserver -k 2>/dev/null || true; kill "$XVFB" 2>/dev/null || true; }
trap cleanup EXIT
sleep 1

TARGET='C:\qmkbench\QMK'
DRIVE_C=$WINEPREFIX/drive_c
reset_machine() {
  rm -rf "$DRIVE_C/qmkbench" "$DRIVE_C"/users/*/AppData/Roaming/Microsoft/Windows/"Start Menu"/Programs/Quellmark \
    "$DRIVE_C"/users/*/"Start Menu"/Programs/Quellmark "$DRIVE_C"/ProgramData/Microsoft/Windows/"Start Menu"/Programs/Quellmark
  wine reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QMK' /f >/dev/null 2>&1 || true
}
installed_ok() {  # the files arrived: the payload's file count below the target
  local want have
  want=$(find "$1" -type f | wc -l)
  have=$(find "$DRIVE_C/qmkbench/QMK" -type f ! -name uninstall.list 2>/dev/null | wc -l)
  [ "$want" = "$have" ]
}

# peak_private PID: the largest anonymous (private) resident set, in KiB, of
# the installer that PID (GNU time) runs, sampled every 10 ms until it ends.
# Unlike the whole resident set it leaves out file pages: the program's own
# image, which for ours holds the payload as a resource.
peak_private() {
  local timer=$1 pid="" peak=0 v
  while kill -0 "$timer" 2>/dev/null; do
    [ -n "$pid" ] || pid=$(pgrep -P "$timer" | head -1)
    if [ -n "$pid" ] && v=$(awk '/^RssAnon:/ {print $2}' "/proc/$pid/status" 2>/dev/null) && [ -n "$v" ]; then
      [ "$v" -le "$peak" ] || peak=$v
    fi
    sleep 0.01
  done
  echo "$peak"
}

RES=$W/results.txt
: >"$RES"
# Warm-up: one silent run each, so the page cache holds every installer.
for p in "${PAYLOADS[@]}"; do for k in "${KINDS[@]}"; do
  reset_machine
  wine "$W/out/$k-$p.exe" /S "/D=$TARGET" >/dev/null 2>&1 || true
done; done
for r in $(seq "$RUNS"); do
  for p in "${PAYLOADS[@]}"; do
    for k in "${KINDS[@]}"; do
      reset_machine
      /usr/bin/time -o "$W/time.txt" -f '%e %M' wine "$W/out/$k-$p.exe" /S "/D=$TARGET" >/dev/null 2>&1 &
      anon=$(peak_private $!)
      wait $! || true
      t="$(tail -1 "$W/time.txt") $anon"
      installed_ok "${DIR[$p]}" || die "$k-$p.exe did not install every file"
      echo "silent $p $k $t" >>"$RES"
    done
  done
  say "silent round $r of $RUNS done"
done
# Time to the first window: started with the display, stopped once it shows.
for r in $(seq "$GUI_RUNS"); do
  for p in "${PAYLOADS[@]}"; do
    for k in "${KINDS[@]}"; do
      reset_machine
      t0=$(date +%s%N)
      wine "$W/out/$k-$p.exe" >/dev/null 2>&1 &
      pid=$!
      seen=""
      for _ in $(seq 3000); do
        if xdotool search --onlyvisible --name "${TITLE[$k]}" >/dev/null 2>&1; then seen=1; break; fi
        sleep 0.005
      done
      t1=$(date +%s%N)
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      [ -n "$seen" ] || die "$k-$p.exe showed no window"
      echo "window $p $k $(( (t1 - t0) / 1000000 ))" >>"$RES"
    done
  done
done
reset_machine

# ---- report ---------------------------------------------------------------------------
median() { sort -n | awk '{a[NR]=$1} END {if (NR % 2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
value() {  # value KIND(silent|window) PAYLOAD INSTALLER FIELD
  awk -v w="$1" -v p="$2" -v k="$3" -v f="$4" '$1==w && $2==p && $3==k {print $f}' "$RES" | median
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
ELAPSED=$(($(date +%s) - START))
{
  echo "<!-- installer benchmark: made by bench/installer/run.sh; do not edit by hand -->"
  echo "## Installer against NSIS"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M') UTC; script run time $((ELAPSED / 60)) min $((ELAPSED % 60)) s;" \
    "load average at the start $LOAD_START, at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- ours: commit $(git rev-parse --short HEAD), payload at level 9; NSIS $NSIS_VERSION (makensis, Unicode," \
    "SetCompressor /SOLID zlib and /SOLID lzma, bench/installer/quellmark.nsi); $(wine --version)"
  if grep -qi qemu /proc/cpuinfo; then
    echo "- Wine ran under qemu's software CPU emulation (scripts/vm-wine.sh): every time is many times"
    echo "  a native one, and only the ratios within this run mean anything"
  fi
  [ "$STAGE" != --no-build ] || echo "- the installers and their \"made in\" times come from an earlier --build-only run on the host"
  echo "- made in: the one command that makes the installer from the folder, timed once: ours \`qmkpack setup\` at"
  echo "  level 9 (packing, the seal check and the stub), NSIS \`makensis\`; the ratio is ours to makensis zlib"
  echo "- silent installs (/S, /D=$TARGET) into a prefix prepared beforehand, every one from a clean state," \
    "round-robin; median of $RUNS; first window: median of $GUI_RUNS GUI starts"
  echo "- peak memory: the largest resident set of the installer process (GNU time %M), Wine's own part included;"
  echo "  private: the largest anonymous resident set (RssAnon, sampled every 10 ms), which leaves out file pages"
  echo "  such as the program's own image (ours holds its payload there as a resource, NSIS reads it from the file)"
  echo
  echo "Stub (the installer without its payload): ours $STUB_SIZE bytes; NSIS zlib $NSIS_STUB, lzma $NSIS_STUB_LZMA bytes."
  echo
  echo "| payload | installer | made in (s) | size (bytes) | size vs NSIS zlib | size vs NSIS lzma | install (s) | time vs NSIS zlib | time vs NSIS lzma | peak memory (MiB) | memory vs NSIS zlib | memory vs NSIS lzma | private (MiB) | private vs NSIS zlib | private vs NSIS lzma | first window (ms) |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  for p in "${PAYLOADS[@]}"; do
    zs=$(stat -c %s "$W/out/zlib-$p.exe"); ls=$(stat -c %s "$W/out/lzma-$p.exe")
    zt=$(value silent "$p" zlib 4); lt=$(value silent "$p" lzma 4)
    zm=$(value silent "$p" zlib 5); lm=$(value silent "$p" lzma 5)
    za=$(value silent "$p" zlib 6); la=$(value silent "$p" lzma 6)
    for k in "${KINDS[@]}"; do
      s=$(stat -c %s "$W/out/$k-$p.exe"); t=$(value silent "$p" "$k" 4); m=$(value silent "$p" "$k" 5)
      a=$(value silent "$p" "$k" 6)
      win=$(value window "$p" "$k" 4)
      if [ "$k" = ours ]; then
        echo "| $p ($(du -sh --apparent-size "${DIR[$p]}" | cut -f1)) | **${LABEL[$k]}** | ${MAKE[$k.$p]} (**$(ratio "${MAKE[ours.$p]}" "${MAKE[zlib.$p]}")** makensis zlib) | $s | **$(ratio "$s" "$zs")** | **$(ratio "$s" "$ls")** | $t | **$(ratio "$t" "$zt")** | **$(ratio "$t" "$lt")** | $(mib "$m") | **$(ratio "$m" "$zm")** | **$(ratio "$m" "$lm")** | $(mib "$a") | **$(ratio "$a" "$za")** | **$(ratio "$a" "$la")** | $win |"
      else
        echo "| | ${LABEL[$k]} | ${MAKE[$k.$p]} | $s | | | $t | | | $(mib "$m") | | | $(mib "$a") | | | $win |"
      fi
    done
  done
  echo
  echo "| target | payload | measured | verdict |"
  echo "|---|---|---:|---|"
  met() { awk "BEGIN{ exit !($1) }" && echo met || echo "**missed**"; }
  row() { echo "| $1 | $2 | $3 | $(met "$4") |"; }
  row "stub at most 48 KiB" all "$STUB_SIZE bytes" "$STUB_SIZE <= 49152"
  for p in mixed pe; do
    case "$p" in mixed) lim=0.90 ;; pe) lim=0.75 ;; esac
    s=$(stat -c %s "$W/out/ours-$p.exe"); zs=$(stat -c %s "$W/out/zlib-$p.exe"); ls=$(stat -c %s "$W/out/lzma-$p.exe")
    row "size at most ${lim}x NSIS zlib solid" "$p" "$(ratio "$s" "$zs")" "$s / $zs <= $lim"
    row "size within 1.25x NSIS lzma solid" "$p" "$(ratio "$s" "$ls")" "$s / $ls <= 1.25"
  done
  for p in "${PAYLOADS[@]}"; do
    t=$(value silent "$p" ours 4); m=$(value silent "$p" ours 5)
    zt=$(value silent "$p" zlib 4); lt=$(value silent "$p" lzma 4)
    zm=$(value silent "$p" zlib 5); lm=$(value silent "$p" lzma 5)
    row "install no slower than NSIS zlib" "$p" "$(ratio "$t" "$zt")" "$t <= $zt"
    row "install faster than NSIS lzma" "$p" "$(ratio "$t" "$lt")" "$t < $lt"
    row "peak memory at most NSIS's" "$p" "$(ratio "$m" "$zm") / $(ratio "$m" "$lm")" "$m <= $zm && $m <= $lm"
  done
  echo "<!-- end of installer benchmark -->"
} >"$W/section.md"
cat "$W/section.md"
# Replace the section in OUTFILE, or add it at the end.
if [ -f "$OUTFILE" ] && grep -q '^<!-- installer benchmark' "$OUTFILE"; then
  awk -v sec="$W/section.md" '
    /^<!-- installer benchmark/ {while ((getline l < sec) > 0) print l; skip=1; next}
    /^<!-- end of installer benchmark -->/ {skip=0; next}
    !skip {print}' "$OUTFILE" >"$W/out.md"
  cp "$W/out.md" "$OUTFILE"
else
  { [ -f "$OUTFILE" ] && cat "$OUTFILE" && echo; cat "$W/section.md"; } >"$W/out.md"
  cp "$W/out.md" "$OUTFILE"
fi
say "wrote $OUTFILE ($((ELAPSED / 60)) min $((ELAPSED % 60)) s)"
