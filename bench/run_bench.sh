#!/usr/bin/env bash
# bench/run_bench.sh - the benchmarks of `./run bench`.
#
#   run_bench.sh [--reps N] [--regen] [md5] [verify] [extract] [open] [repair] [repair-http]
#                [repair-pass]
#
# Sections (all of them when none is named):
#   md5      the multi-buffer MD5 engine alone (bench_md5), per kernel, on
#            1 MiB and 32 KiB pieces in memory, against `md5sum` and
#            `openssl dgst -md5` of the same 256 MiB in a file.
#   verify   `qov verify` of a 1 GiB archive (1 MiB pieces) against `md5sum`
#            of the same file: --jobs 1, --jobs 2, --deep --jobs 2, and
#            --jobs 1 with the scalar MD5 kernel; the library's piece pass
#            and file pass timed apart; the same comparison on the mixed
#            archive (also --deep), and a small archive of uncompressed
#            files (--deep).
#   extract  extracting every file of an archive of about 1 GiB of mixed
#            files (4 KiB zlib sectors, the form `qov add` uses by default)
#            with `qov extract --jobs 1`, with the default jobs, and with
#            `unzip` of a `zip -6` of the same files; each run writes into a
#            fresh folder on the same file system.
#   open     opening an archive of 1,000,000 files with its list file in a
#            fresh process: wall time of the open and peak memory.
#   repair   a repair through the whole plug-in path under Wine (MORLHost.exe,
#            Brevik.dll, the archive-backed morl.dll, no throttle) of a
#            256 MiB game archive whose data pieces are all damaged, against
#            copying the same pieces with a plain read and write loop
#            (bench_repair.py); with nginx and curl also the same repair with
#            the mirror served by nginx over loopback HTTP, against the file
#            and against curl fetching the same ranges.  Needs the windows
#            build of ./run demo (build/windows, or BREVIK_WINDOWS_BUILD);
#            skipped without it.
#   repair-http
#            `qov repair` of 256 MiB of damaged 1 MiB pieces over loopback
#            HTTP from nginx, against `curl -Z` fetching the same byte ranges
#            with as many connections into files, in the same run; the same
#            repair from the mirror archive on disk; and the time from the
#            start to the first piece written when the plan holds 10,000
#            damaged 32 KiB pieces (bench_repair_http.py).
#   repair-pass
#            the repair tool's check pass (bench_repair_pass.exe under Wine)
#            over a copy of the 1 GiB verify archive, with the scalar MD5
#            kernel (the hashing before the multi-buffer engine) and with
#            the automatic choice.  Needs the windows build; skipped without.
#
# Every figure is measured in this run, on these files, with the files in
# the page cache (each is read once before timing).  Wall and CPU times come
# from bench_time (wait4).  Runs of the tools being compared alternate, so
# that a change in the machine's load hits both alike.  Medians decide the
# goals; the best runs are shown too.  Goals are printed, never enforced:
# the script fails only when a tool fails or produces wrong output.
#
# Data lives in $BREVIK_BUILD_DIR/data and is made once: each data set has a
# stamp file with its parameters and is remade only when they change (or
# with --regen).  Extraction folders are removed after each run.
#
# Environment (set by ./run): BREVIK_ROOT, BREVIK_BUILD_DIR, BREVIK_BIN_DIR.

set -euo pipefail

ROOT=${BREVIK_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
BUILD_DIR=${BREVIK_BUILD_DIR:-$ROOT/build/bench}
BIN=${BREVIK_BIN_DIR:-$BUILD_DIR/bin}
DATA=$BUILD_DIR/data
QOV=$BIN/qov
TIMER=$BIN/bench_time

# Data-set parameters.  Changing one remakes that data set.
VERIFY_SEED=7
VERIFY_FILES=16
VERIFY_FILE_SIZE=$((64 * 1024 * 1024))   # 16 x 64 MiB of random bytes = 1 GiB
MIXED_SEED=1
MIXED_TOTAL=$((1024 * 1024 * 1024))      # about 1 GiB of mixed files
PLAIN_SEED=11
PLAIN_SIZE=$((16 * 1024 * 1024))         # one 16 MiB file, stored uncompressed
MANY_COUNT=1000000
PIECE_SIZE=1M

# Goals.
GOAL_VERIFY_ONE_CORE=3    # md5sum wall / qov verify --jobs 1 wall, at least
GOAL_VERIFY_TWO_CORES=5   # md5sum wall / qov verify --jobs 2 wall, at least
GOAL_VERIFY_DEEP=1.5      # md5sum wall / qov verify --deep --jobs 2 wall, at least
GOAL_EXTRACT_RATIO=1.00   # unzip wall / qov extract --jobs 1 wall, at least
GOAL_OPEN_SECONDS=1.5     # open of the 1,000,000-file archive, under
GOAL_OPEN_MB=350          # its peak memory in MB (10^6 bytes), under
GOAL_REPAIR_RATIO=0.5     # repair throughput / plain copy throughput, at least
GOAL_REPAIR_HTTP_RATIO=0.9   # qov repair download throughput / curl's, at least

REPS=""
REGEN=0
SECTIONS=()

usage() {
    sed -n '2,5p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 2
}

while (( $# > 0 )); do
    case "$1" in
        --reps) [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || usage; REPS=$2; shift 2 ;;
        --regen) REGEN=1; shift ;;
        md5|verify|extract|open|repair|repair-http|repair-pass) SECTIONS+=("$1"); shift ;;
        -h|--help) usage ;;
        *) echo "run_bench.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
(( ${#SECTIONS[@]} > 0 )) || SECTIONS=(md5 verify extract open repair repair-http repair-pass)
VERIFY_REPS=${REPS:-5}
EXTRACT_REPS=${REPS:-3}
OPEN_REPS=${REPS:-5}

for program in "$QOV" "$TIMER" "$BIN/bench_gen" "$BIN/bench_many_files" "$BIN/bench_verify_split" \
               "$BIN/bench_md5"; do
    [[ -x "$program" ]] || { echo "run_bench.sh: $program is missing: build $BUILD_DIR first" >&2; exit 1; }
done
for tool in md5sum zip unzip git diff; do
    command -v "$tool" >/dev/null || { echo "run_bench.sh: '$tool' is not installed (./run setup)" >&2; exit 1; }
done

mkdir -p "$DATA"
SCRATCH=$(mktemp -d "$DATA/tmp.XXXXXX")
cleanup() { rm -rf "$SCRATCH"; }
trap cleanup EXIT

FAILURES=()
fail() {
    echo "  FAILED: $*"
    FAILURES+=("$*")
}

#-----------------------------------------------------------------------------
# Helpers

say() { printf '%s\n' "$*"; }
heading() { printf '\n=== %s\n' "$*"; }

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

# Float arithmetic and formatting through awk.
calc() { awk "BEGIN { printf \"%.6f\", $* }"; }
fmt() { awk -v v="$1" -v d="${2:-2}" 'BEGIN { printf "%.*f", d, v }'; }
ge() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }
lt() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
worst() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# timed OUT -- COMMAND...: runs COMMAND under bench_time with its standard
# output in OUT (standard error in OUT.err) and sets T_WALL, T_USER, T_SYS,
# T_CPU, T_RSS_KB and T_STATUS.
timed() {
    local out=$1 line kv
    shift
    [[ "$1" == "--" ]] && shift
    line=$("$TIMER" -o "$out" -- "$@" 2>"$out.err") || true
    T_WALL=""; T_USER=""; T_SYS=""; T_CPU=""; T_RSS_KB=""; T_STATUS=127
    for kv in $line; do
        case "$kv" in
            wall=*) T_WALL=${kv#wall=} ;;
            user=*) T_USER=${kv#user=} ;;
            sys=*) T_SYS=${kv#sys=} ;;
            cpu=*) T_CPU=${kv#cpu=} ;;
            maxrss_kb=*) T_RSS_KB=${kv#maxrss_kb=} ;;
            status=*) T_STATUS=${kv#status=} ;;
        esac
    done
    [[ -n "$T_WALL" ]] || { T_WALL=0; T_USER=0; T_SYS=0; T_CPU=0; T_RSS_KB=0; }
}

# Prints one run: LABEL and the T_* figures.
run_line() {
    printf '  run %-2s %-28s wall %7s s   cpu %7s s (user %s, sys %s)   peak rss %s MB\n' \
        "$1" "$2" "$(fmt "$T_WALL" 3)" "$(fmt "$T_CPU" 3)" "$(fmt "$T_USER" 2)" \
        "$(fmt "$T_SYS" 2)" "$(fmt "$(calc "$T_RSS_KB * 1024 / 1e6")" 1)"
}

# Whether the data set at PATH was made with PARAMS (its stamp file).
stamp_matches() {
    local path=$1 params=$2
    (( REGEN == 0 )) && [[ -e "$path" && -f "$path.stamp" && "$(cat "$path.stamp")" == "$params" ]]
}
write_stamp() { printf '%s' "$2" >"$1.stamp"; }

# Whether ARCHIVE opens with this build's qov (an archive from an older,
# incompatible library is remade).
archive_opens() { "$QOV" info "$1" >/dev/null 2>&1; }

warm() { cat "$@" >/dev/null; }

file_size() { stat -c %s "$1"; }
mib() { fmt "$(calc "$1 / 1048576")" 1; }

#-----------------------------------------------------------------------------
# Machine and revision

heading "Benchmarks of $(basename "$ROOT") - $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
REVISION=$(git -C "$ROOT" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
DIRTY=$(git -C "$ROOT" status --porcelain -- nqov tools bench 2>/dev/null | wc -l)
CPU_MODEL=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
CORES=$(nproc)
MEMORY=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
BUILD_TYPE=$(awk -F= '/^CMAKE_BUILD_TYPE:/ { print $2 }' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
COMPILER=$(awk -F= '/^CMAKE_CXX_COMPILER:/ { print $2 }' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
LOAD_START=$(load_average)
say "revision   $REVISION$( (( DIRTY > 0 )) && echo " (plus $DIRTY uncommitted changes under nqov/, tools/, bench/)")"
say "build      $BUILD_DIR (${BUILD_TYPE:-?}, $("${COMPILER:-c++}" --version 2>/dev/null | head -n 1))"
say "machine    $CORES cores ($(nproc --all) present), $CPU_MODEL, $MEMORY, Linux $(uname -r)"
say "data       $DATA ($(df -T "$DATA" | awk 'NR == 2 { print $2 }') file system)"
say "tools      $(md5sum --version | head -n 1); $(zip -v | sed -n 2p | sed 's/^This is //; s/,* by Info-ZIP.*//'); $(unzip -v | head -n 1 | sed 's/ of .*//; s/ by Info-ZIP.*//')"
say "load       $LOAD_START (1, 5, 15 min averages) at the start"
if ! lt "${LOAD_START%% *}" 0.5; then
    say "WARNING    the machine is busy (load ${LOAD_START%% *} on $CORES cores): wall times are"
    say "           inflated and noisy; judge the goals on a quiet machine (load < 0.5)."
fi
say "runs       verify $VERIFY_REPS, extract $EXTRACT_REPS, open $OPEN_REPS repetitions (--reps N to change)"

SUMMARY=()   # "figure|measured|goal|met"
add_summary() { SUMMARY+=("$1|$2|$3|$4"); }

#-----------------------------------------------------------------------------
# Data sets

GEN_VERSION=$("$BIN/bench_gen" version)

VERIFY_ARCHIVE=$DATA/verify-1g.qov
VERIFY_PARAMS="random files: seed $VERIFY_SEED, $VERIFY_FILES x $VERIFY_FILE_SIZE bytes, generator $GEN_VERSION; qov add default form, piece $PIECE_SIZE"
MIXED_SOURCE=$DATA/mixed
MIXED_PARAMS="mixed files: seed $MIXED_SEED, $MIXED_TOTAL bytes, generator $GEN_VERSION"
MIXED_ARCHIVE=$DATA/mixed.qov
MIXED_ARCHIVE_PARAMS="$MIXED_PARAMS; qov add default form, piece $PIECE_SIZE"
MIXED_ZIP=$DATA/mixed.zip
MIXED_ZIP_PARAMS="$MIXED_PARAMS; zip -6 -r"
PLAIN_ARCHIVE=$DATA/plain-16m.qov
PLAIN_PARAMS="random file: seed $PLAIN_SEED, $PLAIN_SIZE bytes, generator $GEN_VERSION; qov add --no-compress, piece $PIECE_SIZE"
MANY_ARCHIVE=$DATA/many-files.qov
MANY_PARAMS="bench_many_files create, $MANY_COUNT files, capacity +20%"

# make_qov ARCHIVE SOURCE [qov add options...]: a new archive of SOURCE.
make_qov() {
    local archive=$1 source=$2
    shift 2
    rm -f "$archive" "$archive.stamp"
    "$QOV" create --piece-size "$PIECE_SIZE" "$archive" >/dev/null
    timed "$SCRATCH/add.out" -- "$QOV" add "$@" "$archive" "$source"
    [[ "$T_STATUS" == 0 ]] || { cat "$SCRATCH/add.out.err" >&2; echo "qov add failed" >&2; exit 1; }
    say "  qov add: $(fmt "$T_WALL" 1) s -> $(basename "$archive"), $(mib "$(file_size "$archive")") MiB"
}

prepare_verify() {
    if stamp_matches "$VERIFY_ARCHIVE" "$VERIFY_PARAMS" && archive_opens "$VERIFY_ARCHIVE"; then
        say "  reusing $(basename "$VERIFY_ARCHIVE") ($VERIFY_PARAMS)"
    else
        say "  making $(basename "$VERIFY_ARCHIVE") ($VERIFY_PARAMS)"
        local source=$SCRATCH/verify-source
        "$BIN/bench_gen" random "$source" "$VERIFY_SEED" "$VERIFY_FILES" "$VERIFY_FILE_SIZE" | sed 's/^/  /'
        make_qov "$VERIFY_ARCHIVE" "$source"
        rm -rf "$source"
        write_stamp "$VERIFY_ARCHIVE" "$VERIFY_PARAMS"
    fi
    if stamp_matches "$PLAIN_ARCHIVE" "$PLAIN_PARAMS" && archive_opens "$PLAIN_ARCHIVE"; then
        say "  reusing $(basename "$PLAIN_ARCHIVE") ($PLAIN_PARAMS)"
    else
        say "  making $(basename "$PLAIN_ARCHIVE") ($PLAIN_PARAMS)"
        local source=$SCRATCH/plain-source
        "$BIN/bench_gen" random "$source" "$PLAIN_SEED" 1 "$PLAIN_SIZE" | sed 's/^/  /'
        make_qov "$PLAIN_ARCHIVE" "$source" --no-compress
        rm -rf "$source"
        write_stamp "$PLAIN_ARCHIVE" "$PLAIN_PARAMS"
    fi
}

prepare_mixed() {
    if stamp_matches "$MIXED_SOURCE" "$MIXED_PARAMS"; then
        say "  reusing $(basename "$MIXED_SOURCE")/ ($MIXED_PARAMS)"
    else
        say "  making $(basename "$MIXED_SOURCE")/ ($MIXED_PARAMS)"
        rm -rf "$MIXED_SOURCE" "$MIXED_SOURCE.stamp"
        "$BIN/bench_gen" mixed "$MIXED_SOURCE" "$MIXED_SEED" "$MIXED_TOTAL" | sed 's/^/  /'
        write_stamp "$MIXED_SOURCE" "$MIXED_PARAMS"
    fi
    if stamp_matches "$MIXED_ARCHIVE" "$MIXED_ARCHIVE_PARAMS" && archive_opens "$MIXED_ARCHIVE"; then
        say "  reusing $(basename "$MIXED_ARCHIVE")"
    else
        say "  making $(basename "$MIXED_ARCHIVE") ($MIXED_ARCHIVE_PARAMS)"
        make_qov "$MIXED_ARCHIVE" "$MIXED_SOURCE"
        write_stamp "$MIXED_ARCHIVE" "$MIXED_ARCHIVE_PARAMS"
    fi
    if stamp_matches "$MIXED_ZIP" "$MIXED_ZIP_PARAMS" && unzip -l "$MIXED_ZIP" >/dev/null 2>&1; then
        say "  reusing $(basename "$MIXED_ZIP")"
    else
        say "  making $(basename "$MIXED_ZIP") ($MIXED_ZIP_PARAMS)"
        rm -f "$MIXED_ZIP" "$MIXED_ZIP.stamp"
        timed "$SCRATCH/zip.out" -- bash -c 'cd "$1" && exec zip -q -6 -r "$2" .' zip "$MIXED_SOURCE" "$MIXED_ZIP"
        [[ "$T_STATUS" == 0 ]] || { cat "$SCRATCH/zip.out.err" >&2; echo "zip failed" >&2; exit 1; }
        say "  zip -6: $(fmt "$T_WALL" 1) s -> $(basename "$MIXED_ZIP"), $(mib "$(file_size "$MIXED_ZIP")") MiB"
        write_stamp "$MIXED_ZIP" "$MIXED_ZIP_PARAMS"
    fi
}

prepare_many() {
    if stamp_matches "$MANY_ARCHIVE" "$MANY_PARAMS" && archive_opens "$MANY_ARCHIVE"; then
        say "  reusing $(basename "$MANY_ARCHIVE") ($MANY_PARAMS)"
    else
        say "  making $(basename "$MANY_ARCHIVE") ($MANY_PARAMS)"
        rm -f "$MANY_ARCHIVE" "$MANY_ARCHIVE.stamp"
        "$BIN/bench_many_files" create "$MANY_ARCHIVE" "$MANY_COUNT" 2>/dev/null | sed 's/^/  /'
        write_stamp "$MANY_ARCHIVE" "$MANY_PARAMS"
    fi
}

#-----------------------------------------------------------------------------
# The multi-buffer MD5 engine against md5sum and openssl

MD5_MIB=256

# md5_tool_runs LABEL REPS FILE COMMAND...: times COMMAND FILE REPS times,
# checks that its output holds the digest MD5_WHOLE, prints the runs and
# sets MD5_TOOL_GBPS (median wall) and MD5_TOOL_CPU_GBPS.
md5_tool_runs() {
    local label=$1 reps=$2 file=$3 i walls=() cpus=() size
    shift 3
    size=$(file_size "$file")
    for ((i = 1; i <= reps; i++)); do
        timed "$SCRATCH/md5tool.out" -- "$@" "$file"
        run_line "$i" "$label"
        if [[ "$T_STATUS" != 0 ]] || ! grep -q "$MD5_WHOLE" "$SCRATCH/md5tool.out"; then
            fail "$label: exit $T_STATUS, $(head -c 200 "$SCRATCH/md5tool.out") (expected $MD5_WHOLE)"
        fi
        walls+=("$T_WALL"); cpus+=("$T_CPU")
    done
    MD5_TOOL_GBPS=$(calc "$size / 1e9 / $(median "${walls[@]}")")
    MD5_TOOL_CPU_GBPS=$(calc "$size / 1e9 / $(median "${cpus[@]}")")
}

section_md5() {
    heading "MD5: the multi-buffer engine against md5sum and openssl (load $(load_average))"
    say "  bench_md5: pieces in memory hashed with QOVMD5Many, one thread, each kernel forced;"
    say "  md5sum and openssl dgst -md5: the same $MD5_MIB MiB as one file, hot cache (one stream each)."
    local out
    if ! out=$("$BIN/bench_md5" engine --mib "$MD5_MIB" --reps "${REPS:-3}" 2>&1); then
        printf '%s\n' "$out"
        fail "bench_md5: the kernels disagree or the engine failed"
        return 0
    fi
    printf '%s\n' "$out" | grep -v '^RESULT \|^WHOLE '
    MD5_WHOLE=$(printf '%s\n' "$out" | sed -n 's/^WHOLE //p')

    local file=$SCRATCH/md5-bytes.bin
    "$BIN/bench_md5" write "$file" --mib "$MD5_MIB" || { fail "bench_md5 write"; return 0; }
    warm "$file"
    local reps=${REPS:-3} md5sum_gbps openssl_gbps=""
    md5_tool_runs "md5sum" "$reps" "$file" md5sum
    md5sum_gbps=$MD5_TOOL_GBPS
    say "  md5sum:           $(fmt "$md5sum_gbps" 2) GB/s (median wall), $(fmt "$MD5_TOOL_CPU_GBPS" 2) GB/s per CPU second"
    if command -v openssl >/dev/null; then
        md5_tool_runs "openssl dgst -md5" "$reps" "$file" openssl dgst -md5
        openssl_gbps=$MD5_TOOL_GBPS
        say "  openssl dgst -md5: $(fmt "$openssl_gbps" 2) GB/s (median wall), $(fmt "$MD5_TOOL_CPU_GBPS" 2) GB/s per CPU second"
    else
        say "  openssl: not installed (./run setup installs it), skipped"
    fi
    rm -f "$file"

    local line kernel piece gbps
    while IFS= read -r line; do
        kernel=$(sed -n 's/.*kernel=\([a-z0-9]*\).*/\1/p' <<<"$line")
        piece=$(sed -n 's/.* piece=\([0-9]*\).*/\1/p' <<<"$line")
        gbps=$(sed -n 's/.*median_gbps=\([0-9.]*\).*/\1/p' <<<"$line")
        [[ "$piece" == 0 ]] && continue
        add_summary "md5 engine $kernel, $((piece / 1024)) KiB pieces: GB/s / md5sum's" \
            "$(fmt "$gbps" 2) GB/s, $(fmt "$(calc "$gbps / $md5sum_gbps")" 1)x md5sum" "-" "-"
    done < <(printf '%s\n' "$out" | grep '^RESULT ')
    add_summary "md5sum / openssl dgst -md5 of the same bytes" \
        "$(fmt "$md5sum_gbps" 2) / $([[ -n "$openssl_gbps" ]] && fmt "$openssl_gbps" 2 || echo -) GB/s" "-" "-"
    say "  load at the end: $(load_average)"
}

#-----------------------------------------------------------------------------
# 1. qov verify against md5sum

# compare_verify LABEL ARCHIVE REPS [OPTION...]: alternating runs of
# `qov verify OPTION... --json` and md5sum on ARCHIVE; sets V_QOV_MEDIAN,
# V_MD5_MEDIAN, V_QOV_BEST, V_MD5_BEST (walls), V_CPU_RATIO and V_QOV_CPU
# and prints the runs.
compare_verify() {
    local label=$1 archive=$2 reps=$3 i size qov_walls=() qov_cpus=() md5_walls=() md5_cpus=()
    shift 3
    local options=("$@") name="qov verify${*:+ $*}"
    size=$(file_size "$archive")
    warm "$archive"
    for ((i = 1; i <= reps; i++)); do
        timed "$SCRATCH/verify.json" -- "$QOV" verify "${options[@]}" --json "$archive"
        run_line "$i" "$name"
        if [[ "$T_STATUS" != 0 ]] || ! grep -q '"bad_pieces": \[\], "bad_files": \[\]' "$SCRATCH/verify.json"; then
            fail "$name of $label: exit $T_STATUS, $(head -c 300 "$SCRATCH/verify.json") $(head -c 300 "$SCRATCH/verify.json.err")"
        fi
        qov_walls+=("$T_WALL"); qov_cpus+=("$T_CPU")
        timed "$SCRATCH/md5.out" -- md5sum "$archive"
        run_line "$i" "md5sum"
        [[ "$T_STATUS" == 0 ]] || fail "md5sum of $label: exit $T_STATUS"
        md5_walls+=("$T_WALL"); md5_cpus+=("$T_CPU")
    done
    V_QOV_MEDIAN=$(median "${qov_walls[@]}"); V_QOV_BEST=$(best "${qov_walls[@]}")
    V_CPU_RATIO=$(calc "$(median "${md5_cpus[@]}") / $(median "${qov_cpus[@]}")")
    V_MD5_MEDIAN=$(median "${md5_walls[@]}"); V_MD5_BEST=$(best "${md5_walls[@]}")
    local md5_cpu
    V_QOV_CPU=$(median "${qov_cpus[@]}"); md5_cpu=$(median "${md5_cpus[@]}")
    say ""
    printf '  %-34s %12s %12s %12s %14s\n' "$label" "median wall" "best wall" "median cpu" "MB/s (median)"
    printf '  %-34s %10s s %10s s %10s s %14s\n' "$name" "$(fmt "$V_QOV_MEDIAN" 3)" \
        "$(fmt "$V_QOV_BEST" 3)" "$(fmt "$V_QOV_CPU" 3)" "$(fmt "$(calc "$size / 1e6 / $V_QOV_MEDIAN")" 0)"
    printf '  %-34s %10s s %10s s %10s s %14s\n' "md5sum" "$(fmt "$V_MD5_MEDIAN" 3)" \
        "$(fmt "$V_MD5_BEST" 3)" "$(fmt "$md5_cpu" 3)" "$(fmt "$(calc "$size / 1e6 / $V_MD5_MEDIAN")" 0)"
    say "  throughput ratio md5sum wall / qov wall: $(fmt "$(calc "$V_MD5_MEDIAN / $V_QOV_MEDIAN")" 3) (medians), $(fmt "$(calc "$V_MD5_BEST / $V_QOV_BEST")" 3) (best runs); CPU ratio $(fmt "$V_CPU_RATIO" 3)"
}

# verify_goal FIGURE GOAL: a summary row for the last compare_verify
# against GOAL (md5sum wall / qov wall, at least).
verify_goal() {
    local ratio best_ratio
    ratio=$(calc "$V_MD5_MEDIAN / $V_QOV_MEDIAN"); best_ratio=$(calc "$V_MD5_BEST / $V_QOV_BEST")
    add_summary "$1" "$(fmt "$ratio" 2)x (best $(fmt "$best_ratio" 2)x, cpu $(fmt "$V_CPU_RATIO" 2)x)" \
        ">= $2x" "$(ge "$ratio" "$2" && echo yes || echo NO)"
}

# Runs bench_verify_split REPS times on ARCHIVE (files pass on one thread,
# and on every core) and prints the medians of each pass.
verify_split() {
    local archive=$1 reps=$2 i kv jobs line
    local pieces=() pieces_cpu=() files=() files_cpu=() pfiles=() pfiles_cpu=()
    for ((i = 1; i <= reps; i++)); do
        for jobs in 1 "$CORES"; do
            (( jobs == 1 || CORES > 1 )) || continue
            line=$("$BIN/bench_verify_split" --jobs "$jobs" "$archive" 2>/dev/null) ||
                fail "bench_verify_split --jobs $jobs $(basename "$archive"): $line"
            for kv in $line; do
                case "$jobs:$kv" in
                    1:pieces_s=*) pieces+=("${kv#*=}") ;;
                    1:pieces_cpu_s=*) pieces_cpu+=("${kv#*=}") ;;
                    1:files_s=*) files+=("${kv#*=}") ;;
                    1:files_cpu_s=*) files_cpu+=("${kv#*=}") ;;
                    *:files_s=*) (( jobs > 1 )) && pfiles+=("${kv#*=}") ;;
                    *:files_cpu_s=*) (( jobs > 1 )) && pfiles_cpu+=("${kv#*=}") ;;
                esac
            done
        done
    done
    (( ${#pieces[@]} > 0 && ${#files[@]} > 0 )) || return 0
    say "  the two passes of qov verify timed apart (bench_verify_split, median of $reps):"
    say "    pieces (SFileVerifyAll, hashed on up to $(( CORES < 8 ? CORES : 8 )) threads):  wall $(fmt "$(median "${pieces[@]}")" 3) s, cpu $(fmt "$(median "${pieces_cpu[@]}")" 3) s"
    say "    files  (VerifyFile on each file, one thread, as qov does): wall $(fmt "$(median "${files[@]}")" 3) s, cpu $(fmt "$(median "${files_cpu[@]}")" 3) s"
    if (( ${#pfiles[@]} > 0 )); then
        say "    files  on $CORES threads (own handle each; not what qov does): wall $(fmt "$(median "${pfiles[@]}")" 3) s, cpu $(fmt "$(median "${pfiles_cpu[@]}")" 3) s"
    fi
}

section_verify() {
    heading "1. qov verify against md5sum (load $(load_average))"
    prepare_verify
    say "  archive: $(basename "$VERIFY_ARCHIVE"), $(file_size "$VERIFY_ARCHIVE") bytes, $VERIFY_FILES files of random bytes,"
    say "  1 MiB pieces; qov verify checks every piece against its MD5 (the engine hashes up to 16"
    say "  pieces at once, each worker thread with its own); --deep also reads every file and checks"
    say "  its content MD5; md5sum reads the file once.  Hot cache.  MD5 kernel: the automatic choice"
    say "  ($("$BIN/bench_md5" kernel 2>/dev/null || echo '?'))."
    compare_verify "1 GiB archive" "$VERIFY_ARCHIVE" "$VERIFY_REPS" --jobs 1
    verify_goal "verify 1 GiB --jobs 1: md5sum wall / qov wall" "$GOAL_VERIFY_ONE_CORE"
    compare_verify "1 GiB archive" "$VERIFY_ARCHIVE" "$VERIFY_REPS" --jobs 2
    verify_goal "verify 1 GiB --jobs 2: md5sum wall / qov wall" "$GOAL_VERIFY_TWO_CORES"
    compare_verify "1 GiB archive" "$VERIFY_ARCHIVE" "$VERIFY_REPS" --deep --jobs 2
    verify_goal "verify 1 GiB --deep --jobs 2: md5sum wall / qov wall" "$GOAL_VERIFY_DEEP"
    compare_verify "1 GiB archive, scalar MD5" "$VERIFY_ARCHIVE" "${REPS:-3}" --jobs 1 --md5 scalar
    add_summary "verify 1 GiB --jobs 1 --md5 scalar (info)" \
        "$(fmt "$(calc "$V_MD5_MEDIAN / $V_QOV_MEDIAN")" 2)x (cpu $(fmt "$V_CPU_RATIO" 2)x)" "-" "-"
    verify_split "$VERIFY_ARCHIVE" "${REPS:-3}"

    prepare_mixed
    say ""
    say "  the same comparison on the mixed archive of section 2 ($(mib "$(file_size "$MIXED_ARCHIVE")") MiB, files"
    say "  inflated while verified with --deep):"
    compare_verify "mixed archive" "$MIXED_ARCHIVE" "${REPS:-3}"
    add_summary "verify mixed archive: md5sum / qov wall (info)" \
        "$(fmt "$(calc "$V_MD5_MEDIAN / $V_QOV_MEDIAN")" 2)x" "-" "-"
    compare_verify "mixed archive" "$MIXED_ARCHIVE" "${REPS:-3}" --deep
    add_summary "verify mixed archive --deep: md5sum / qov wall (info)" \
        "$(fmt "$(calc "$V_MD5_MEDIAN / $V_QOV_MEDIAN")" 2)x" "-" "-"

    say ""
    say "  an archive holding one 16 MiB file stored uncompressed (qov add --no-compress):"
    say "  reading such a file checks the pieces it lies in, so --deep shows what that costs."
    compare_verify "uncompressed 16 MiB" "$PLAIN_ARCHIVE" 1 --deep
    add_summary "verify 16 MiB uncompressed --deep: md5sum / qov wall (info)" \
        "$(fmt "$(calc "$V_MD5_MEDIAN / $V_QOV_MEDIAN")" 2)x" "-" "-"
    say "  load at the end: $(load_average)"
}

#-----------------------------------------------------------------------------
# 2. qov extract against unzip

section_extract() {
    heading "2. extracting every file: qov extract against unzip (load $(load_average))"
    prepare_mixed
    local count bytes
    count=$(find "$MIXED_SOURCE" -type f | wc -l)
    bytes=$(du -sb "$MIXED_SOURCE" | cut -f1)
    say "  $count files, $bytes bytes of content ($(mib "$bytes") MiB: text, binaries, gzip files,"
    say "  random bytes; empty to $(mib "$(find "$MIXED_SOURCE" -type f -printf '%s\n' | sort -n | tail -n 1)") MiB);"
    say "  $(basename "$MIXED_ARCHIVE") $(mib "$(file_size "$MIXED_ARCHIVE")") MiB (4 KiB zlib sectors), $(basename "$MIXED_ZIP") $(mib "$(file_size "$MIXED_ZIP")") MiB (zip -6)."
    say "  Each run writes into a new folder (removed and synced before the next run, untimed)."
    warm "$MIXED_ARCHIVE" "$MIXED_ZIP"
    local out=$SCRATCH/extracted i jobs_default tool
    jobs_default=$(getconf _NPROCESSORS_ONLN)
    local -A walls=() cpus=()
    local tools=("qov-1" "qov-default" "unzip")
    for ((i = 1; i <= EXTRACT_REPS; i++)); do
        for tool in "${tools[@]}"; do
            rm -rf "$out"
            sync
            case "$tool" in
                qov-1) timed "$SCRATCH/extract.out" -- "$QOV" extract --jobs 1 -o "$out" "$MIXED_ARCHIVE"
                       run_line "$i" "qov extract --jobs 1" ;;
                qov-default) timed "$SCRATCH/extract.out" -- "$QOV" extract -o "$out" "$MIXED_ARCHIVE"
                       run_line "$i" "qov extract ($jobs_default jobs)" ;;
                unzip) timed "$SCRATCH/extract.out" -- unzip -q -o -d "$out" "$MIXED_ZIP"
                       run_line "$i" "unzip" ;;
            esac
            [[ "$T_STATUS" == 0 ]] || fail "$tool: exit $T_STATUS: $(head -c 300 "$SCRATCH/extract.out.err")"
            walls[$tool]="${walls[$tool]:-} $T_WALL"
            cpus[$tool]="${cpus[$tool]:-} $T_CPU"
            if (( i == 1 )); then
                # Untimed: the extracted tree must equal the source tree.
                diff -rq "$MIXED_SOURCE" "$out" >"$SCRATCH/diff.out" 2>&1 ||
                    fail "$tool extracted files that differ from the source: $(head -n 3 "$SCRATCH/diff.out")"
            fi
        done
    done
    rm -rf "$out"
    say ""
    printf '  %-26s %12s %12s %12s %14s\n' "" "median wall" "best wall" "median cpu" "MB/s (median)"
    local -A med=() bst=()
    for tool in "${tools[@]}"; do
        # shellcheck disable=SC2086
        med[$tool]=$(median ${walls[$tool]}); bst[$tool]=$(best ${walls[$tool]})
        local name=$tool
        [[ "$tool" == qov-1 ]] && name="qov extract --jobs 1"
        [[ "$tool" == qov-default ]] && name="qov extract ($jobs_default jobs)"
        # shellcheck disable=SC2086
        printf '  %-26s %10s s %10s s %10s s %14s\n' "$name" "$(fmt "${med[$tool]}" 3)" \
            "$(fmt "${bst[$tool]}" 3)" "$(fmt "$(median ${cpus[$tool]})" 3)" \
            "$(fmt "$(calc "$bytes / 1e6 / ${med[$tool]}")" 0)"
    done
    local r1 r1best rd r1cpu
    r1=$(calc "${med[unzip]} / ${med[qov-1]}"); r1best=$(calc "${bst[unzip]} / ${bst[qov-1]}")
    # shellcheck disable=SC2086
    r1cpu=$(calc "$(median ${cpus[unzip]}) / $(median ${cpus[qov-1]})")
    rd=$(calc "${med[unzip]} / ${med[qov-default]}")
    say "  unzip wall / qov wall: --jobs 1 $(fmt "$r1" 3) (best runs $(fmt "$r1best" 3)), $jobs_default jobs $(fmt "$rd" 3)"
    add_summary "extract mixed: unzip wall / qov --jobs 1 wall" \
        "$(fmt "$r1" 3) (best $(fmt "$r1best" 3), cpu $(fmt "$r1cpu" 3))" ">= $GOAL_EXTRACT_RATIO" \
        "$(ge "$r1" "$GOAL_EXTRACT_RATIO" && echo yes || echo NO)"
    add_summary "extract mixed: unzip wall / qov $jobs_default jobs wall (info)" "$(fmt "$rd" 3)" "-" "-"
    say "  load at the end: $(load_average)"
}

#-----------------------------------------------------------------------------
# 3. Opening an archive of 1,000,000 files

section_open() {
    heading "3. opening an archive of $MANY_COUNT files with its list file (load $(load_average))"
    prepare_many
    say "  $(basename "$MANY_ARCHIVE"): $(mib "$(file_size "$MANY_ARCHIVE")") MiB, names like data\\dir042\\sub17\\file0421733.txt."
    say "  Each run is a fresh process (bench_many_files open): SFileOpenArchive read-only, timed"
    say "  alone; peak RSS of the process (getrusage); then 108 names opened and read back."
    warm "$MANY_ARCHIVE"
    local i kv line opens=() cpus=() rss=() lookups=()
    for ((i = 1; i <= OPEN_REPS; i++)); do
        line=$("$BIN/bench_many_files" open "$MANY_ARCHIVE" "$MANY_COUNT" 2>"$SCRATCH/open.err") ||
            fail "bench_many_files open: $line $(head -c 300 "$SCRATCH/open.err")"
        local open_s="" cpu_s="" rss_kb="" before_kb="" lookup_ms="" named=""
        for kv in $line; do
            case "$kv" in
                open_s=*) open_s=${kv#*=} ;;
                open_cpu_s=*) cpu_s=${kv#*=} ;;
                maxrss_kb=*) rss_kb=${kv#*=} ;;
                rss_before_kb=*) before_kb=${kv#*=} ;;
                lookup_ms=*) lookup_ms=${kv#*=} ;;
                named=*) named=${kv#*=} ;;
            esac
        done
        [[ -n "$open_s" ]] || { open_s=0; cpu_s=0; rss_kb=0; before_kb=0; lookup_ms=0; }
        printf '  run %-2s open wall %6s s   open cpu %6s s   peak rss %6s MB (%s MB before the open)   %s named records   %s ms per lookup\n' \
            "$i" "$(fmt "$open_s" 3)" "$(fmt "$cpu_s" 3)" "$(fmt "$(calc "$rss_kb * 1024 / 1e6")" 1)" \
            "$(fmt "$(calc "$before_kb * 1024 / 1e6")" 1)" "${named:-?}" "$(fmt "$lookup_ms" 2)"
        opens+=("$open_s"); cpus+=("$cpu_s"); rss+=("$rss_kb"); lookups+=("$lookup_ms")
    done
    local open_med open_best rss_mb
    open_med=$(median "${opens[@]}"); open_best=$(best "${opens[@]}")
    rss_mb=$(calc "$(worst "${rss[@]}") * 1024 / 1e6")
    say ""
    say "  open: median $(fmt "$open_med" 3) s, best $(fmt "$open_best" 3) s, median cpu $(fmt "$(median "${cpus[@]}")" 3) s;" \
        "peak memory (largest run) $(fmt "$rss_mb" 1) MB"
    say "  one lookup (open a name and read its 24 bytes): median $(fmt "$(median "${lookups[@]}")" 2) ms"
    add_summary "open 1,000,000 files: wall" \
        "$(fmt "$open_med" 3) s (best $(fmt "$open_best" 3), cpu $(fmt "$(median "${cpus[@]}")" 3))" "< $GOAL_OPEN_SECONDS s" \
        "$(lt "$open_med" "$GOAL_OPEN_SECONDS" && echo yes || echo NO)"
    add_summary "open 1,000,000 files: peak memory" "$(fmt "$rss_mb" 1) MB" "< $GOAL_OPEN_MB MB" \
        "$(lt "$rss_mb" "$GOAL_OPEN_MB" && echo yes || echo NO)"
    say "  load at the end: $(load_average)"
}

section_repair() {
    heading "repair: the whole plug-in path against a plain copy of the same pieces"
    local windows=${BREVIK_WINDOWS_BUILD:-$ROOT/build/windows} out result
    if [[ ! -x "$windows/wine-run" || ! -f "$windows/bin/MORLHost.exe" || ! -f "$windows/bin/morl.dll" ]]; then
        say "  skipped: no windows build in $windows (./run demo makes one)"
        return 0
    fi
    say "  load at the start: $(load_average)"
    # Over HTTP as well where nginx and curl are there (./run setup).
    local http=()
    command -v nginx >/dev/null && command -v curl >/dev/null && http=(--http)
    if ! out=$(xvfb-run -a -s "-screen 0 1024x768x24" python3 "$ROOT/bench/bench_repair.py" \
            --windows-build "$windows" --qov "$QOV" --data "$DATA/repair" --reps "${REPS:-3}" "${http[@]}" 2>&1); then
        printf '%s\n' "$out" | tail -n 40
        FAILURES+=("repair: the repair under Wine failed")
        "$windows/wine-run" --wineserver -k >/dev/null 2>&1 || true
        return 0
    fi
    "$windows/wine-run" --wineserver -k >/dev/null 2>&1 || true
    printf '%s\n' "$out" | grep -v '^RESULT '
    result=$(printf '%s\n' "$out" | sed -n 's/^RESULT //p')
    local engine whole checked
    engine=$(sed -n 's/.*engine_ratio=\([0-9.]*\).*/\1/p' <<<"$result")
    whole=$(sed -n 's/.*whole_ratio=\([0-9.]*\).*/\1/p' <<<"$result")
    checked=$(sed -n 's/.*md5_copy_ratio=\([0-9.]*\).*/\1/p' <<<"$result")
    say "  engine download / plain copy: $engine; whole run / plain copy: $whole;" \
        "engine download / copy with MD5: $checked"
    add_summary "repair (engine download) / plain copy" "$engine" ">= $GOAL_REPAIR_RATIO" \
        "$(ge "$engine" "$GOAL_REPAIR_RATIO" && echo yes || echo NO)"
    add_summary "repair (whole run) / plain copy" "$whole" "-" "-"
    add_summary "repair (engine download) / copy with MD5" "$checked" "-" "-"
    if (( ${#http[@]} > 0 )); then
        add_summary "repair through the plug-in over HTTP / from the mirror file (download)" \
            "$(sed -n 's/.*http_vs_file=\([0-9.]*\).*/\1/p' <<<"$result")" "-" "-"
        add_summary "repair through the plug-in over HTTP / curl, same ranges (download)" \
            "$(sed -n 's/.*http_vs_curl=\([0-9.]*\).*/\1/p' <<<"$result")" "-" "-"
    fi
}

section_repair-http() {
    heading "repair-http: qov repair over loopback HTTP (nginx) against curl fetching the same ranges"
    local out result
    for tool in nginx curl; do
        command -v "$tool" >/dev/null || { fail "repair-http: '$tool' is not installed (./run setup)"; return 0; }
    done
    say "  load at the start: $(load_average)"
    if ! out=$(python3 "$ROOT/bench/bench_repair_http.py" --qov "$QOV" --data "$DATA/repair-http" \
            --reps "${REPS:-3}" 2>&1); then
        printf '%s\n' "$out" | tail -n 40
        fail "repair-http: a repair or curl failed"
        return 0
    fi
    printf '%s\n' "$out" | grep -v '^RESULT '
    result=$(printf '%s\n' "$out" | sed -n 's/^RESULT //p')
    local fetch whole local_mibs curl_mibs fetch_mibs first after
    fetch=$(sed -n 's/.*fetch_ratio=\([0-9.]*\).*/\1/p' <<<"$result")
    whole=$(sed -n 's/.*whole_ratio=\([0-9.]*\).*/\1/p' <<<"$result")
    curl_mibs=$(sed -n 's/.*curl_mibs=\([0-9.]*\).*/\1/p' <<<"$result")
    fetch_mibs=$(sed -n 's/.*fetch_mibs=\([0-9.]*\).*/\1/p' <<<"$result")
    local_mibs=$(sed -n 's/.*local_mibs=\([0-9.]*\).*/\1/p' <<<"$result")
    first=$(sed -n 's/.*first_piece_s=\([0-9.]*\).*/\1/p' <<<"$result")
    after=$(sed -n 's/.*first_after_plan_ms=\([0-9.]*\).*/\1/p' <<<"$result")
    add_summary "repair over HTTP (download) / curl, throughput" "$fetch ($fetch_mibs vs $curl_mibs MiB/s)" \
        ">= $GOAL_REPAIR_HTTP_RATIO" "$(ge "$fetch" "$GOAL_REPAIR_HTTP_RATIO" && echo yes || echo NO)"
    add_summary "repair over HTTP (whole run) / curl, throughput" "$whole" "-" "-"
    add_summary "repair over HTTP (download) / curl, cpu" \
        "$(sed -n 's/.*cpu_ratio=\([0-9.]*\).*/\1/p' <<<"$result")" "-" "-"
    add_summary "repair from the mirror file (download)" "$local_mibs MiB/s" "-" "-"
    add_summary "first piece written, 10,000-piece plan" "$first s ($after ms after the plan)" "-" "-"
    say "  load at the end: $(load_average)"
}

section_repair-pass() {
    heading "repair-pass: the repair tool's check pass over 1 GiB of archives under Wine"
    local windows=${BREVIK_WINDOWS_BUILD:-$ROOT/build/windows}
    local program=$windows/bin/bench_repair_pass.exe
    if [[ ! -x "$windows/wine-run" || ! -f "$program" ]]; then
        say "  skipped: no bench_repair_pass.exe in $windows/bin (./run bench builds it)"
        return 0
    fi
    prepare_verify
    local folder=$DATA/repair-pass
    mkdir -p "$folder/MORLDownload"
    if ! cmp -s "$VERIFY_ARCHIVE" "$folder/MORLDownload/game.qov"; then
        cp "$VERIFY_ARCHIVE" "$folder/MORLDownload/game.qov"
    fi
    printf '[FileList]\r\nFileCount=1\r\n[FileItem0]\r\nFileName=game.qov\r\n' >"$folder/MORLFilelist.ini"
    say "  bench_repair_pass.exe (RunRepairPass of MORLRepairTools.exe, no window) over"
    say "  MORLDownload/game.qov, a copy of $(basename "$VERIFY_ARCHIVE") (1 GiB, 1 MiB pieces): SFileVerifyAll"
    say "  on the library's threads.  'scalar' forces libtomcrypt's MD5 one piece at a time, as the"
    say "  pass hashed before the multi-buffer engine; 'auto' is the engine's own choice.  Hot cache;"
    say "  the pass is timed inside the program (Wine's start-up not included).  Load: $(load_average)"
    warm "$folder/MORLDownload/game.qov"
    local winpath="Z:${folder//\//\\}" i kernel line kv
    local -A walls=() cpus=() names=()
    for ((i = 1; i <= ${REPS:-3}; i++)); do
        for kernel in scalar auto; do
            if ! line=$("$windows/wine-run" "$program" "$winpath" "$kernel" 2>"$SCRATCH/pass.err"); then
                fail "bench_repair_pass $kernel: $line $(head -c 300 "$SCRATCH/pass.err")"
                continue
            fi
            local pass="" cpu="" failed="" used=""
            line=${line//$'\r'/}  # a Windows program's line ends in CR LF
            for kv in $line; do
                case "$kv" in
                    pass_s=*) pass=${kv#*=} ;;
                    cpu_s=*) cpu=${kv#*=} ;;
                    failed=*) failed=${kv#*=} ;;
                    kernel=*) used=${kv#*=} ;;
                esac
            done
            [[ "$failed" == 0 ]] || fail "bench_repair_pass $kernel: the pass found damage in an intact archive"
            printf '  run %-2s %-8s (%-6s) pass %7s s   cpu %7s s\n' "$i" "$kernel" "$used" \
                "$(fmt "$pass" 3)" "$(fmt "$cpu" 3)"
            walls[$kernel]="${walls[$kernel]:-} $pass"
            cpus[$kernel]="${cpus[$kernel]:-} $cpu"
            names[$kernel]=$used
        done
    done
    "$windows/wine-run" --wineserver -k >/dev/null 2>&1 || true
    [[ -n "${walls[scalar]:-}" && -n "${walls[auto]:-}" ]] || return 0
    local before after before_cpu after_cpu
    # shellcheck disable=SC2086
    before=$(median ${walls[scalar]}); after=$(median ${walls[auto]})
    # shellcheck disable=SC2086
    before_cpu=$(median ${cpus[scalar]}); after_cpu=$(median ${cpus[auto]})
    say "  median pass: scalar $(fmt "$before" 3) s (cpu $(fmt "$before_cpu" 3) s), ${names[auto]} $(fmt "$after" 3) s" \
        "(cpu $(fmt "$after_cpu" 3) s): $(fmt "$(calc "$before / $after")" 2)x faster, cpu $(fmt "$(calc "$before_cpu / $after_cpu")" 2)x"
    add_summary "repair-tool pass 1 GiB under Wine: scalar / ${names[auto]}" \
        "$(fmt "$before" 2) / $(fmt "$after" 2) s (cpu $(fmt "$before_cpu" 2) / $(fmt "$after_cpu" 2) s)" "-" "-"
    say "  load at the end: $(load_average)"
}

#-----------------------------------------------------------------------------

for section in "${SECTIONS[@]}"; do
    "section_$section"
done

heading "Summary (revision $REVISION, $CORES cores, $CPU_MODEL)"
say "load average at the start: $LOAD_START; at the end: $(load_average)"
printf '%-54s %-36s %-10s %s\n' "figure" "measured (median)" "goal" "met"
printf '%-54s %-36s %-10s %s\n' "------" "-----------------" "----" "---"
for row in "${SUMMARY[@]}"; do
    IFS='|' read -r figure measured goal met <<<"$row"
    printf '%-54s %-36s %-10s %s\n' "$figure" "$measured" "$goal" "$met"
done
say "(goals are judged on the median wall times; \"best\" is the fastest run, \"cpu\" the same"
say " figure from CPU times, which a busy machine disturbs less than wall times)"
if (( ${#FAILURES[@]} > 0 )); then
    say ""
    say "FAILURES (wrong results, not timing):"
    for failure in "${FAILURES[@]}"; do say "  $failure"; done
    exit 1
fi
