#!/bin/bash
# run_bench.sh - the compression benchmark: qmkpack create against gzip, xz
# and zstd, decode speed against zlib and libdeflate, peak memory; writes
# BENCHMARKS.md at the repository root. See bench/README.md.
#
#   bench/run_bench.sh            all three sets (pe, text, mixed); writes BENCHMARKS.md
#   bench/run_bench.sh --quick    mixed only, one run each (smoke test); writes
#                                 build/bench/BENCHMARKS-quick.md, not BENCHMARKS.md
#
# Options: --corpus DIR   corpus folder (default build/corpus, or $QMK_CORPUS)
#          --runs N       runs per compressor (default 3; --quick: 1)
#          --slow-runs N  runs of the slow compressors (ours -9, xz -6, zstd -19,
#                         zstd -19 wlog=20) on the 64 MiB pe set (default: as
#                         --runs; a full run takes about 10 minutes on 2 cores)
#          --fast-runs N  runs of the methods the speed targets compare (ours -1
#                         and -5, gzip -1 and -6; default 7; --quick: as --runs)
#          --out FILE     where to write the Markdown (default as above)
#
# The machine is shared, so each number that matters is a ratio to a peer
# measured in the same run, on the same input; the runs go round-robin over
# the methods so that load from other processes falls on all of them alike.
# The absolute MB/s are printed for reference, not as targets.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

QUICK=0
RUNS=
SLOW_RUNS=
FAST_RUNS=
CORPUS=${QMK_CORPUS:-build/corpus}
OUTFILE=
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --corpus) CORPUS=${2:?}; shift ;;
    --runs) RUNS=${2:?}; shift ;;
    --slow-runs) SLOW_RUNS=${2:?}; shift ;;
    --fast-runs) FAST_RUNS=${2:?}; shift ;;
    --out) OUTFILE=${2:?}; shift ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run_bench: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
if [ "$QUICK" = 1 ]; then
  SETS=(mixed)
  RUNS=${RUNS:-1}
  SLOW_RUNS=1
  FAST_RUNS=${FAST_RUNS:-$RUNS}
  DECODE_RUNS=1
  OUTFILE=${OUTFILE:-build/bench/BENCHMARKS-quick.md}
else
  SETS=(pe text mixed)
  RUNS=${RUNS:-3}
  SLOW_RUNS=${SLOW_RUNS:-$RUNS}
  # The speed targets compare methods that take a second or less, where one
  # disturbed run moves a median of three: they run more often.
  FAST_RUNS=${FAST_RUNS:-7}
  DECODE_RUNS=5
  OUTFILE=${OUTFILE:-BENCHMARKS.md}
fi

say() { echo "run_bench: $*" >&2; }
die() { say "$*"; exit 1; }
START=$(date +%s)
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- tools -------------------------------------------------------------------
need=()
command -v gzip >/dev/null || need+=(gzip)
command -v xz >/dev/null || need+=(xz-utils)
command -v zstd >/dev/null || need+=(zstd)
[ -x /usr/bin/time ] || need+=(time)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -f /usr/include/libdeflate.h ] || need+=(libdeflate-dev)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
if [ ${#need[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || die "missing packages: ${need[*]} (apt-get install them as root)"
  say "installing ${need[*]}"
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}" >/dev/null
fi

# ---- build -------------------------------------------------------------------
cmake --preset native >/dev/null  # again each time: picks up libraries installed since
cmake --build --preset native --target qmkpack decode_speed >/dev/null ||
  die "build failed (cmake --build --preset native --target qmkpack decode_speed)"
# The whole run uses copies, so a rebuild by someone else meanwhile cannot
# mix two versions into one set of numbers.
mkdir -p build/bench/bin
cp build/native/qmkpack/qmkpack build/native/bench/decode_speed build/bench/bin/
QMKPACK=$ROOT/build/bench/bin/qmkpack
DECODE=$ROOT/build/bench/bin/decode_speed
BUILT_FROM="commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
[ -z "$(git status --porcelain -- qmkpack archive decoder 2>/dev/null)" ] ||
  BUILT_FROM="$BUILT_FROM plus uncommitted changes in qmkpack/, archive/ or decoder/"
HAVE_OURS=0
if "$QMKPACK" --help 2>&1 | grep -q '^ *create'; then HAVE_OURS=1; else
  say "qmkpack has no 'create' command yet: the ours-columns stay empty in this run"
fi

# ---- corpus: reuse it when its hashes match, else build it --------------------
# shared/ sits beside the repository (on a developer's machine and in CI).
SHARED="${QMK_SHARED:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/shared}"
MAKE_CORPUS="$SHARED/bench/make_corpus.sh"
REF_SUMS="$SHARED/bench/corpus-lists/SHA256SUMS"
corpus_ok() {
  [ -f "$CORPUS/SHA256SUMS" ] || return 1
  ( cd "$CORPUS" && sha256sum -c --quiet SHA256SUMS >/dev/null 2>&1 ) || return 1
  local s
  for s in pe text mixed; do
    [ -f "$CORPUS/lists/$s.txt" ] || return 1
    # every file of the tree, hash and path, as the list records them
    cmp -s <(cut -d' ' -f2- "$CORPUS/lists/$s.txt") \
           <(cd "$CORPUS" && find "$s" -type f | sort | xargs -d '\n' sha256sum | sed 's/  / /') || return 1
  done
}
if corpus_ok; then
  say "corpus in $CORPUS matches its SHA256SUMS; reusing it"
else
  say "building the corpus in $CORPUS (make_corpus.sh)"
  bash "$MAKE_CORPUS" "$CORPUS" >&2
  corpus_ok || die "the corpus in $CORPUS does not match its own hashes after building it"
fi
CORPUS_NOTE="matches the recorded corpus-lists/SHA256SUMS"
if [ -f "$REF_SUMS" ] && ! cmp -s "$REF_SUMS" "$CORPUS/SHA256SUMS"; then
  CORPUS_NOTE="DIFFERS from the recorded corpus-lists/SHA256SUMS (package versions?)"
  say "warning: corpus $CORPUS_NOTE"
fi

# ---- methods -----------------------------------------------------------------
METHODS=(ours1 ours5 ours9 gzip1 gzip6 gzip9 xz6 zstd3 zstd19 zstd19w20)
declare -A LABEL=(
  [ours1]="ours -1" [ours5]="ours -5" [ours9]="ours -9"
  [gzip1]="gzip -1" [gzip6]="gzip -6" [gzip9]="gzip -9" [xz6]="xz -6"
  [zstd3]="zstd -3" [zstd19]="zstd -19" [zstd19w20]="zstd -19 --zstd=wlog=20")
SLOW=" ours9 xz6 zstd19 zstd19w20 "
FAST=" ours1 ours5 gzip1 gzip6 "
MAX_RUNS=$(( FAST_RUNS > RUNS ? FAST_RUNS : RUNS ))

WORK=build/bench/work
mkdir -p "$WORK"

# run_one METHOD SET OUT: compresses the set, writes OUT.
run_one() {
  local m=$1 s=$2 out=$3 cat=$CORPUS/$2.cat
  case "$m" in
    ours*)   "$QMKPACK" create "-${m#ours}" -q "$out" "$CORPUS/$s" ;;
    gzip*)   gzip "-${m#gzip}" -c < "$cat" > "$out" ;;
    xz6)     xz -6 -c < "$cat" > "$out" ;;
    zstd3)   zstd -3 -q -c < "$cat" > "$out" ;;
    zstd19)  zstd -19 -q -c < "$cat" > "$out" ;;
    zstd19w20) zstd -19 --zstd=wlog=20 -q -c < "$cat" > "$out" ;;
  esac
}
export -f run_one
export CORPUS QMKPACK

# median of the numbers given as arguments
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END{ if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2 }'; }
# arithmetic: calc EXPR
calc() { awk "BEGIN{ printf \"%.6f\", $1 }"; }

declare -A SIZE WALLS CPUS RSS NRUNS DAMAGED
declare -A CAT_BYTES DIR_BYTES FILES TAR_BYTES HDR_BYTES
declare -A D_OURS D_ZC D_ZW D_LD D_SAME D_Z9 D_LD12 DEC_RSS
ZLIB_VERSION= LIBDEFLATE_VERSION=

for s in "${SETS[@]}"; do
  CAT_BYTES[$s]=$(stat -c %s "$CORPUS/$s.cat")
  FILES[$s]=$(wc -l < "$CORPUS/lists/$s.txt")
  DIR_BYTES[$s]=$(awk '{ n += $1 } END { print n }' "$CORPUS/lists/$s.txt")
  TAR_BYTES[$s]=$(stat -c %s "$CORPUS/$s.tar")
  # warm the page cache so the first timed run reads no disk
  cat "$CORPUS/$s.cat" > /dev/null
  find "$CORPUS/$s" -type f -exec cat {} + > /dev/null

  active=()
  for m in "${METHODS[@]}"; do
    case "$m" in ours*) [ "$HAVE_OURS" = 1 ] || continue ;; esac
    n=$RUNS
    [[ "$FAST" == *" $m "* ]] && n=$FAST_RUNS
    if [ "$s" = pe ] && [[ "$SLOW" == *" $m "* ]] && [ "$SLOW_RUNS" -lt "$RUNS" ]; then n=$SLOW_RUNS; fi
    NRUNS[$s.$m]=$n
    active+=("$m")
  done

  for ((r = 1; r <= MAX_RUNS; r++)); do
    for m in "${active[@]}"; do
      [ "$r" -le "${NRUNS[$s.$m]}" ] || continue
      out=$WORK/$s.$m.out
      rm -f "$out"
      say "$s: ${LABEL[$m]} (run $r of ${NRUNS[$s.$m]})"
      t0=$(date +%s%N)
      # bash's `times` gives the compressor's user and system time in ms
      /usr/bin/time -v -o "$WORK/time.txt" \
        bash -c 'run_one "$@" && times > "$0.times"' "$WORK/cpu" "$m" "$s" "$out" ||
        die "$s: ${LABEL[$m]} failed"
      t1=$(date +%s%N)
      size=$(stat -c %s "$out")
      if [ -n "${SIZE[$s.$m]:-}" ] && [ "${SIZE[$s.$m]}" != "$size" ]; then
        die "$s: ${LABEL[$m]} gave $size bytes, earlier ${SIZE[$s.$m]}"
      fi
      SIZE[$s.$m]=$size
      WALLS[$s.$m]="${WALLS[$s.$m]:-} $(calc "($t1 - $t0) / 1e9")"
      cpu=$(awk 'NR==2 { for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } print t }' "$WORK/cpu.times")
      CPUS[$s.$m]="${CPUS[$s.$m]:-} $cpu"
      rss=$(awk -F': ' '/Maximum resident set size/{print $2}' "$WORK/time.txt")
      [ "${RSS[$s.$m]:-0}" -ge "$rss" ] || RSS[$s.$m]=$rss
    done
  done

  # every archive of ours must test intact; the level-9 one is then timed
  if [ "$HAVE_OURS" = 1 ]; then
    for m in ours1 ours5 ours9; do
      if ! "$QMKPACK" test -q "$WORK/$s.$m.out" > /dev/null 2> "$WORK/test.err"; then
        DAMAGED[$s.$m]=1
        say "$s: qmkpack test FAILS on the ${LABEL[$m]} archive: $(tail -1 "$WORK/test.err")"
      fi
    done
  fi
  if [ "$HAVE_OURS" = 1 ] && [ -z "${DAMAGED[$s.ours9]:-}" ]; then
    packed=$("$QMKPACK" list "$WORK/$s.ours9.out" | tail -1 | awk '{print $2}')
    HDR_BYTES[$s]=$(( SIZE[$s.ours9] - packed ))
    /usr/bin/time -v -o "$WORK/time.txt" "$QMKPACK" test -q "$WORK/$s.ours9.out" >/dev/null
    DEC_RSS[$s]=$(awk -F': ' '/Maximum resident set size/{print $2}' "$WORK/time.txt")
    say "$s: decode speed"
    "$DECODE" --runs "$DECODE_RUNS" "$WORK/$s.ours9.out" "$CORPUS/$s.cat" > "$WORK/decode.txt" ||
      die "$s: decode_speed failed"
    kv() { awk -F= -v k="$1" '$1==k{print $2}' "$WORK/decode.txt"; }
    D_OURS[$s]=$(kv ours_mbps); D_ZC[$s]=$(kv zlib_chunked_mbps); D_ZW[$s]=$(kv zlib_whole_mbps)
    D_LD[$s]=$(kv libdeflate_mbps); D_SAME[$s]=$(kv ours_same_stream)
    D_Z9[$s]=$(kv zlib9_bytes); D_LD12[$s]=$(kv libdeflate12_bytes)
    ZLIB_VERSION=$(kv zlib_version); LIBDEFLATE_VERSION=$(kv libdeflate_version)
  fi
  rm -f "$WORK"/"$s".*.out
done
ELAPSED=$(( $(date +%s) - START ))

# ---- report ------------------------------------------------------------------
fmt() { awk -v v="$1" -v f="$2" 'BEGIN{ printf f, v }'; }
mbps() { calc "${CAT_BYTES[$1]} / $2 / 1e6"; }
mib() { calc "$1 / 1024"; }
declare -A SPEED CPUSPEED
for s in "${SETS[@]}"; do
  for m in "${METHODS[@]}"; do
    [ -n "${SIZE[$s.$m]:-}" ] || continue
    # shellcheck disable=SC2086
    SPEED[$s.$m]=$(mbps "$s" "$(median ${WALLS[$s.$m]})")
    # shellcheck disable=SC2086
    CPUSPEED[$s.$m]=$(calc "${CAT_BYTES[$s]} / ($(median ${CPUS[$s.$m]}) + 1e-9) / 1e6")
  done
done

TARGETS=()  # rows: target | set | measured | verdict
target() { TARGETS+=("| $1 | $2 | $3 | $4 |"); }
verdict() { awk "BEGIN{ exit !($1) }" && echo "met" || echo "**missed**"; }
# verdict for a figure of one of our archives: missed whatever the figure
# when that archive does not test intact
vd() {
  if [ -n "${DAMAGED[$s.$1]:-}" ]; then echo "**missed**: the archive fails \`qmkpack test\`"; else verdict "$2"; fi
}
NOT_MEASURED="not measured: \`qmkpack create\` missing"
# Speed verdicts use CPU time (user + system): every method here runs on one
# core, and on a shared machine CPU time moves far less with the load than
# wall time does. The wall-time figure is shown beside it.
speed_ratio() {  # SET METHOD PEER
  printf '%s (wall %s)' "$(fmt "$(calc "${CPUSPEED[$1.$2]} / ${CPUSPEED[$1.$3]}")" '%.2f×')" \
    "$(fmt "$(calc "${SPEED[$1.$2]} / ${SPEED[$1.$3]}")" '%.2f×')"
}
for s in "${SETS[@]}"; do
  # The size and decoding targets that name sets: pe and text. The mixed set
  # is 15% already-compressed files, where no peer reaches them either.
  case "$s" in pe) lim=0.70 ;; text) lim=0.75 ;; *) lim= ;; esac
  [ -n "$lim" ] && dec=1.5 || dec=1
  rows=()
  [ -z "$lim" ] || rows+=("level 9 size ≤ ${lim}× gzip -9" "level 5 size ≤ 0.85× gzip -9")
  [ "$s" != text ] || rows+=("level 9 size less its per-file headers ≤ 1.05× zstd -19 --zstd=wlog=20")
  rows+=("level 9 speed ≥ 0.6× zstd -19 --zstd=wlog=20" "level 5 at least as fast as gzip -6"
         "level 1 at least as fast as gzip -1" "level 1 size ≤ gzip -6"
         "decode ≥ ${dec}× zlib inflate (whole buffer)" "level 9 peak memory < 256 MiB")
  if [ "$HAVE_OURS" != 1 ]; then
    for t in "${rows[@]}"; do target "$t" "$s" "—" "$NOT_MEASURED"; done
    continue
  fi
  g9=${SIZE[$s.gzip9]}; z19=${SIZE[$s.zstd19w20]}; g6=${SIZE[$s.gzip6]}
  if [ -n "$lim" ]; then
    x=$(calc "${SIZE[$s.ours9]} / $g9")
    target "level 9 size ≤ ${lim}× gzip -9" "$s" "$(fmt "$x" '%.3f×')" "$(vd ours9 "$x <= $lim")"
    x=$(calc "${SIZE[$s.ours5]} / $g9")
    target "level 5 size ≤ 0.85× gzip -9" "$s" "$(fmt "$x" '%.3f×')" "$(vd ours5 "$x <= 0.85")"
  fi
  if [ "$s" = text ]; then
    # The peer compresses a bare stream; ours also names every file.
    x=$(calc "(${SIZE[$s.ours9]} - ${HDR_BYTES[$s]}) / $z19")
    target "level 9 size less its per-file headers ≤ 1.05× zstd -19 --zstd=wlog=20" "$s" \
      "$(fmt "$x" '%.3f×') ($(fmt "$(calc "${SIZE[$s.ours9]} / $z19")" '%.3f×') with them)" "$(vd ours9 "$x <= 1.05")"
  fi
  x=$(calc "${CPUSPEED[$s.ours9]} / ${CPUSPEED[$s.zstd19w20]}")
  target "level 9 speed ≥ 0.6× zstd -19 --zstd=wlog=20" "$s" "$(speed_ratio "$s" ours9 zstd19w20)" "$(vd ours9 "$x >= 0.6")"
  x=$(calc "${CPUSPEED[$s.ours5]} / ${CPUSPEED[$s.gzip6]}")
  target "level 5 at least as fast as gzip -6" "$s" "$(speed_ratio "$s" ours5 gzip6)" "$(vd ours5 "$x >= 1")"
  x=$(calc "${CPUSPEED[$s.ours1]} / ${CPUSPEED[$s.gzip1]}")
  target "level 1 at least as fast as gzip -1" "$s" "$(speed_ratio "$s" ours1 gzip1)" "$(vd ours1 "$x >= 1")"
  x=$(calc "${SIZE[$s.ours1]} / $g6")
  target "level 1 size ≤ gzip -6" "$s" "$(fmt "$x" '%.3f×')" "$(vd ours1 "$x <= 1")"
  if [ -n "${D_OURS[$s]:-}" ]; then
    x=$(calc "${D_OURS[$s]} / ${D_ZW[$s]}")
    target "decode ≥ ${dec}× zlib inflate (whole buffer)" "$s" "$(fmt "$x" '%.2f×')" "$(verdict "$x >= $dec")"
  else
    target "decode ≥ ${dec}× zlib inflate (whole buffer)" "$s" "—" "**missed**: the level-9 archive fails \`qmkpack test\`"
  fi
  x=$(mib "${RSS[$s.ours9]}")
  target "level 9 peak memory < 256 MiB" "$s" "$(fmt "$x" '%.1f MiB')" "$(vd ours9 "$x < 256")"
done
{
  echo "# Compression benchmark"
  echo
  if [ "$QUICK" = 1 ]; then
    echo "**Quick run (\`--quick\`): mixed set only, one run each. Smoke test, not for quoting.**"
    echo
  fi
  echo "Made by \`bench/run_bench.sh\`$([ "$QUICK" = 1 ] && echo " --quick"); do not edit by hand. Every ratio"
  echo "compares methods measured in the same run on the same input; this machine is"
  echo "shared, so the absolute MB/s move from run to run and only the ratios are judged."
  echo
  echo "## Machine"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'); script run time $((ELAPSED / 60)) min $((ELAPSED % 60)) s"
  echo "- CPU: $(awk -F': ' '/model name/{print $2; exit}' /proc/cpuinfo), nproc $(nproc); load average at the start $LOAD_START, at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- memory: $(awk '/MemTotal/{printf "%.1f GiB", $2/1048576}' /proc/meminfo)"
  echo "- kernel: $(uname -sr); compiler: $(c++ --version | head -1)"
  echo "- qmkpack and decode_speed: $BUILT_FROM, build/native (RelWithDebInfo)"
  echo "- peers: $(gzip --version | head -1); $(xz --version | head -1); $(zstd --version | sed -E 's/^[*]+ //; s/, by .*//')${ZLIB_VERSION:+; zlib $ZLIB_VERSION}${LIBDEFLATE_VERSION:+; libdeflate $LIBDEFLATE_VERSION}"
  echo "- runs: median of $RUNS per method, of $FAST_RUNS for ours -1 and -5, gzip -1 and -6 (the speed targets)$([ "$QUICK" = 0 ] && [ "$SLOW_RUNS" -lt "$RUNS" ] && echo "; on the pe set ours -9, xz -6, zstd -19 and zstd -19 --zstd=wlog=20 run $SLOW_RUNS time(s) each, to save time"); decode: median of $DECODE_RUNS"
  echo
  echo "Corpus (\`shared/bench/make_corpus.sh $CORPUS\`), $CORPUS_NOTE:"
  echo
  echo '```'
  cat "$CORPUS/SHA256SUMS"
  echo '```'
  echo
  echo "## Compression"
  echo
  echo "The peers compress the set's \`.cat\` stream (its files' contents concatenated in"
  echo "path order: no names, no metadata). Ours packs the set's directory with"
  echo "\`qmkpack create -N -q out.ace DIR\`: the same bytes in the same order go into one"
  echo "solid stream, and the archive adds a header per file (name, sizes, time, CRC),"
  echo "counted in its size. Sizes are % of the .cat. Speeds are MB/s, 10^6 bytes of"
  echo "input per second, once of wall time (reading the input and writing the output"
  echo "included) and once of CPU time (user + system); the ratios to gzip give the CPU"
  echo "figure first, the wall figure in brackets. The speed targets are judged on CPU"
  echo "time, which moves much less than wall time with the load of a shared machine."
  for s in "${SETS[@]}"; do
    echo
    echo "### $s"
    echo
    echo "Input: ours the directory, ${FILES[$s]} files of ${DIR_BYTES[$s]} bytes in all; the peers the .cat, ${CAT_BYTES[$s]} bytes (as .tar ${TAR_BYTES[$s]} bytes)."
    if [ "$HAVE_OURS" = 1 ]; then
      echo "Our level-9 archive holds $(( HDR_BYTES[$s] )) bytes of headers (names, sizes, CRCs) besides the packed data."
    fi
    echo
    echo "| method | runs | size (bytes) | % of input | × gzip -9 | × zstd -19 wlog=20 | MB/s wall | MB/s CPU | × gzip -6 CPU (wall) | × gzip -1 CPU (wall) | peak RSS (MiB) |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for m in "${METHODS[@]}"; do
      if [ -z "${SIZE[$s.$m]:-}" ]; then
        echo "| ${LABEL[$m]} | — | ($NOT_MEASURED) | | | | | | | | |"
        continue
      fi
      sz=${SIZE[$s.$m]}
      note=; [ -z "${DAMAGED[$s.$m]:-}" ] || note=" (**fails qmkpack test**)"
      printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "${LABEL[$m]}$note" "${NRUNS[$s.$m]}" "$sz" \
        "$(fmt "$(calc "100 * $sz / ${CAT_BYTES[$s]}")" '%.2f%%')" \
        "$(fmt "$(calc "$sz / ${SIZE[$s.gzip9]}")" '%.3f')" \
        "$(fmt "$(calc "$sz / ${SIZE[$s.zstd19w20]}")" '%.3f')" \
        "$(fmt "${SPEED[$s.$m]}" '%.2f')" "$(fmt "${CPUSPEED[$s.$m]}" '%.2f')" \
        "$(fmt "$(calc "${CPUSPEED[$s.$m]} / ${CPUSPEED[$s.gzip6]}")" '%.2f') ($(fmt "$(calc "${SPEED[$s.$m]} / ${SPEED[$s.gzip6]}")" '%.2f'))" \
        "$(fmt "$(calc "${CPUSPEED[$s.$m]} / ${CPUSPEED[$s.gzip1]}")" '%.2f') ($(fmt "$(calc "${SPEED[$s.$m]} / ${SPEED[$s.gzip1]}")" '%.2f'))" \
        "$(fmt "$(mib "${RSS[$s.$m]}")" '%.1f')"
    done
  done
  echo
  echo "## Decoding"
  echo
  echo "\`build/native/bench/decode_speed\`, in memory, no file writes: ours decodes the"
  echo "level-9 archive as the installer does (one work-buffer phase, every entry read in"
  echo "2,048-byte chunks, every entry intact by size and CRC); zlib inflates the .cat"
  echo "compressed by zlib at level 9, once in 2,048-byte chunks and once in one call into"
  echo "a full-size buffer; libdeflate decompresses the .cat compressed at its level 12 in"
  echo "one call. Each output was compared with the .cat once before timing. MB/s are of"
  echo "uncompressed output. Peak RSS is that of \`qmkpack test\` on the level-9 archive"
  echo "(it holds the whole archive file in memory, plus the decoder's work buffers)."
  echo
  if [ "$HAVE_OURS" = 1 ]; then
    echo "| set | ours MB/s | zlib chunked MB/s | zlib whole MB/s | libdeflate MB/s | ours / zlib chunked | ours / zlib whole | ours / libdeflate | archive = .cat stream | zlib -9 size | libdeflate -12 size | decode peak RSS (MiB) |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|"
    for s in "${SETS[@]}"; do
      if [ -z "${D_OURS[$s]:-}" ]; then
        echo "| $s | (not measured: the level-9 archive fails \`qmkpack test\`) | | | | | | | | | | |"
        continue
      fi
      printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$s" \
        "$(fmt "${D_OURS[$s]}" '%.1f')" "$(fmt "${D_ZC[$s]}" '%.1f')" "$(fmt "${D_ZW[$s]}" '%.1f')" \
        "$(fmt "${D_LD[$s]}" '%.1f')" \
        "$(fmt "$(calc "${D_OURS[$s]} / ${D_ZC[$s]}")" '%.2f')" \
        "$(fmt "$(calc "${D_OURS[$s]} / ${D_ZW[$s]}")" '%.2f')" \
        "$(fmt "$(calc "${D_OURS[$s]} / ${D_LD[$s]}")" '%.2f')" \
        "${D_SAME[$s]}" "${D_Z9[$s]}" "${D_LD12[$s]}" "$(fmt "$(mib "${DEC_RSS[$s]}")" '%.1f')"
    done
  else
    echo "($NOT_MEASURED: there is no archive of the corpus to decode yet.)"
  fi
  echo
  echo "## Targets"
  echo
  echo "The size targets and the 1.5× decoding target name the pe and text sets (the"
  echo "level-9 one against zstd the text set, less our per-file headers, as the peer"
  echo "packs a bare stream); the other targets name no set and are judged on every set"
  echo "measured. Speed is judged against a peer in the same run, never in MB/s."
  if [ -n "${SIZE[mixed.xz6]:-}" ]; then
    echo "$(awk '$3 ~ /\.(png|jar|pdf|gz)$/ { c += $1 } { t += $1 } END { printf "%.0f%%", 100 * c / t }' "$CORPUS/lists/mixed.txt")" \
      "of the mixed set's bytes are files that are already compressed (PNG icons, a"
    echo ".jar, a .pdf, a .gz); the best peer there, xz -6, reaches" \
      "$(fmt "$(calc "${SIZE[mixed.xz6]} / ${SIZE[mixed.gzip9]}")" '%.3f')× gzip -9."
  fi
  echo
  echo "| target | set | measured | verdict |"
  echo "|---|---|---:|---|"
  printf '%s\n' "${TARGETS[@]}"
} > "$WORK/report.md"

mkdir -p "$(dirname "$OUTFILE")"
# The installer benchmark's section (bench/installer/run.sh) stays as it is.
if [ -f "$OUTFILE" ] && grep -q '^<!-- installer benchmark' "$OUTFILE"; then
  { echo; sed -n '/^<!-- installer benchmark/,/^<!-- end of installer benchmark -->/p' "$OUTFILE"; } >>"$WORK/report.md"
fi
cp "$WORK/report.md" "$OUTFILE"
cat "$WORK/report.md"
say "wrote $OUTFILE ($((ELAPSED / 60)) min $((ELAPSED % 60)) s)"
