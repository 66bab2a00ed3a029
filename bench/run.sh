#!/usr/bin/env bash
# Measures geos-unwrap side by side with cp in one run and prints every
# figure beside its goal, as a Markdown table. Writes a seeded corpus into a
# fresh directory under DIR (default /dev/shm, a tmpfs; name a directory on
# disk to measure there) and removes it afterwards.
#
#   bench/run.sh [DIR]
#
# Environment:
#   GEOS_UNWRAP=PATH  the binary to measure (default: build/bench/geos-unwrap,
#                     built here with the bench preset)
#   BENCH_FILES=N     files in the batch (10000)
#   BENCH_PAIRS=N     alternating pairs per comparison (21)
#   BENCH_BIG_MIB=N   size of the large inputs in MiB (1024)
#   BENCH_ONLY=LIST   only these parts, of: fresh existing inplace scale
#                     calls memory unaligned aligned sparse (on disk, in
#                     place takes most of the time: two flushes per file)
#   KEEP=1            keep the work directory and the raw timings
#
# A quick check of the script itself (seconds, figures meaningless):
#   BENCH_FILES=300 BENCH_PAIRS=3 BENCH_BIG_MIB=16 bash bench/run.sh
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

files=${BENCH_FILES:-10000}
pairs=${BENCH_PAIRS:-21}
big_size=$((${BENCH_BIG_MIB:-1024} << 20))
cores=$(nproc)

bash .ci/install-deps time valgrind strace libbenchmark-dev

scan_bench=""
if [ -n "${GEOS_UNWRAP:-}" ]; then
  bin=$(realpath "$GEOS_UNWRAP")
  [ -x "$bin" ] || { echo "not an executable: $GEOS_UNWRAP" >&2; exit 1; }
else
  nice cmake --workflow --preset bench >/dev/null
  bin=$root/build/bench/geos-unwrap
  scan_bench=$root/build/bench/bench/scan_bench
fi
work=$(mktemp -d "${1:-/dev/shm}/geos-unwrap-bench.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"
mkdir results
touch results/figures
note() { echo "[${SECONDS}s] $*" >&2; }
only() { [ -z "${BENCH_ONLY:-}" ] || [[ " $BENCH_ONLY " == *" $1 "* ]]; }
figure() { echo "$1 $2" >>results/figures; }

note "corpus of $files files in $work"
corpus() { python3 "$root/bench/make_corpus.py" "$@"; }
corpus corpus --files "$files"
corpus pristine --files "$files" --suffix .rng
corpus small.snd --size 1024
# The batches name their files as `geos-unwrap *.snd` does, from inside
# their directory: a name with a directory part costs one more call, the
# check that the part still leads to the directory in use.
snd=(corpus/*.snd)
names=("${snd[@]#corpus/}")
pristine=(pristine/*.rng)
pristine_names=("${pristine[@]#pristine/}")

# Runs the preparation NAME_prep and then, timed, NAME with its report
# thrown away; leaves the microseconds it took in $elapsed. The preparation
# ends by flushing the file system, so that writeback of the previous run
# does not fall into this one where DIR is on disk.
run_one() {
  "$1_prep"
  sync -f .
  local start=$EPOCHREALTIME
  "$1" >/dev/null
  local end=$EPOCHREALTIME
  elapsed=$((${end/./} - ${start/./}))
}

# Times PREFIX_tool against PREFIX_cp in alternating pairs, the tool first
# in even pairs and cp first in odd ones, so that a drift of the machine
# falls on both; one untimed round of each comes first. Writes
# "tool_us cp_us" per pair to results/NAME.pairs.
#   compare NAME PREFIX
compare() {
  local name=$1 prefix=$2 i tool_us cp_us
  only "$name" || return 0
  note "$name: $pairs pairs"
  run_one "${prefix}_tool"
  run_one "${prefix}_cp"
  for ((i = 0; i < pairs; i++)); do
    if ((i % 2)); then
      run_one "${prefix}_cp"
      cp_us=$elapsed
      run_one "${prefix}_tool"
      tool_us=$elapsed
    else
      run_one "${prefix}_tool"
      tool_us=$elapsed
      run_one "${prefix}_cp"
      cp_us=$elapsed
    fi
    echo "$tool_us $cp_us" >>"results/$name.pairs"
  done
}

# Fresh outputs: the tool writes beside its inputs, cp into an empty
# directory.
fresh_tool_prep() { rm -f corpus/*.rng; }
fresh_tool() { (cd corpus && "$bin" "${names[@]}"); }
fresh_cp_prep() { rm -rf out && mkdir out; }
fresh_cp() { (cd corpus && cp "${names[@]}" ../out/); }

# Outputs already exist: the tool replaces the outputs of its previous run,
# cp truncates and rewrites its previous copies.
existing_tool_prep() { :; }
existing_tool() { fresh_tool; }
existing_cp_prep() { mkdir -p out; }
existing_cp() { fresh_cp; }

# In place: the tool replaces each input with its stripped content. cp
# cannot copy a file onto itself; its nearest equivalent is copying over
# existing copies of the same files: it too reads every byte and leaves
# every name holding new content, the old content gone, but without the
# atomic rename and the flushes, which are what the ratio shows. Both sides
# get their targets freshly restored before each run, so the page cache is
# in the same state for both.
inplace_tool_prep() { rm -rf inplace && cp -r pristine inplace; }
inplace_tool() { (cd inplace && "$bin" "${pristine_names[@]}"); }
inplace_cp_prep() { rm -rf copies && cp -r pristine copies; }
inplace_cp() { (cd pristine && cp "${pristine_names[@]}" ../copies/); }

# One large input, whichever big.snd holds at the time.
big_tool_prep() { rm -f big.rng; }
big_tool() { "$bin" big.snd; }
big_cp_prep() { rm -f big.copy; }
big_cp() { cp big.snd big.copy; }

# Scaling out: the recipe of the README against one process over the same
# files, both to fresh outputs. "tool" is the parallel run here.
scale_tool_prep() { fresh_tool_prep; }
scale_tool() { find corpus -name '*.snd' -print0 | xargs -0 -n 1000 -P "$cores" "$bin"; }
scale_cp_prep() { fresh_tool_prep; }
scale_cp() { fresh_tool; }

# The tool reports failures on stdout and exits 0: check once that it
# makes every output, so that a broken binary cannot pass for a fast one.
fresh_tool_prep
fresh_tool >/dev/null
made=$(find corpus -name '*.rng' | wc -l)
if ((made != files)); then
  echo "$bin made $made outputs of $files" >&2
  exit 1
fi

compare fresh fresh
compare existing existing
compare inplace inplace
compare scale scale

# System calls per file for each batch scenario, from the state its
# preparation leaves: all calls of the run over the number of files.
# Process start-up, some tens of calls, adds less than 0.01 per file at
# 10,000 files; the goals are checked at the precision printed.
#   calls NAME PREPARE DIRECTORY COMMAND...
calls() {
  local name=$1 prepare=$2 directory=$3
  shift 3
  "$prepare"
  (cd "$directory" && strace -f -c -o "$work/results/strace.txt" "$@" >/dev/null)
  figure "$name" "$(awk '$NF == "total" {print $4}' results/strace.txt)"
}
if only calls; then
  note "system calls"
  calls fresh_calls_tool fresh_tool_prep corpus "$bin" "${names[@]}"
  calls fresh_calls_cp fresh_cp_prep corpus cp "${names[@]}" ../out/
  calls existing_calls_tool existing_tool_prep corpus "$bin" "${names[@]}"
  calls existing_calls_cp existing_cp_prep corpus cp "${names[@]}" ../out/
  calls inplace_calls_tool inplace_tool_prep inplace "$bin" "${pristine_names[@]}"
  calls inplace_calls_cp inplace_cp_prep pristine cp "${pristine_names[@]}" ../copies/
fi

allocs() {
  rm -f corpus/*.rng
  (cd corpus && valgrind "$bin" "${names[@]:0:$1}") 2>&1 >/dev/null |
    sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' | tr -d ,
}
if only memory; then
  note "heap allocations"
  many=$((files < 1000 ? files : 1000))
  figure allocs_few "$(allocs 10)"
  figure allocs_many "$(allocs "$many")"
  figure allocs_many_files "$many"
fi
rm -rf corpus/*.rng out inplace copies

rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
if only unaligned || only memory; then
  note "large input of $big_size bytes, marker unaligned"
  corpus big.snd --size "$big_size"
  compare unaligned big
  if only memory; then
    figure rss_big "$(rss "$bin" big.snd)"
    figure rss_small "$(rss "$bin" small.snd)"
  fi
fi
if only aligned; then
  corpus big.snd --size "$big_size" --marker-at 4096
  compare aligned big
fi
# Hook for hole-preserving copies: an input that is one hole after its
# header; what the outputs occupy tells whether the holes were kept.
if only sparse; then
  corpus big.snd --size "$big_size" --sparse
  compare sparse big
  figure sparse_kib_tool "$(du -k big.rng | cut -f 1)"
  figure sparse_kib_cp "$(du -k big.copy | cut -f 1)"
fi
rm -f big.*

if [ -n "$scan_bench" ]; then
  "$scan_bench" --benchmark_min_time=0.2 2>/dev/null | tail -n 4
fi

echo
echo "$(date -u +%F), $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
  "$cores cores, $(free -g | awk '/^Mem:/ {print $2}') GB, Linux $(uname -r)," \
  "$(stat -f -c %T .) at ${1:-/dev/shm}; $files files, $pairs pairs, large inputs of" \
  "$((big_size >> 20)) MiB; $bin"
python3 - results "$files" "$cores" <<'PY'
import pathlib, statistics, sys

results, files, cores = pathlib.Path(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
figures = dict(line.split() for line in (results / "figures").read_text().splitlines())
number = lambda key: float(figures[key])


def pairs(name):
    lines = (results / f"{name}.pairs").read_text().splitlines()
    rows = [[int(x) for x in line.split()] for line in lines]
    ratios = sorted(tool / cp for tool, cp in rows)
    quartiles = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
    return (statistics.median(r[0] for r in rows) / 1000, statistics.median(r[1] for r in rows) / 1000,
            statistics.median(ratios), quartiles[0], quartiles[2])


def timing(name, goal):
    tool, cp, ratio, low, high = pairs(name)
    return (f"{tool:.0f} ms vs {cp:.0f} ms, ratio {ratio:.2f} (middle half {low:.2f}–{high:.2f})",
            f"≤ {goal:.2f}× cp", "met" if ratio <= goal else "MISSED")


def calls(name, goal):
    tool, cp = number(f"{name}_calls_tool") / files, number(f"{name}_calls_cp") / files
    return f"{tool:.1f} vs {cp:.1f} for cp", f"≤ {goal}", "met" if round(tool, 1) <= goal else "MISSED"


def sparse():
    tool, cp, ratio, _, _ = pairs("sparse")
    return (f"{tool:.0f} ms vs {cp:.0f} ms, ratio {ratio:.2f}; "
            f"{number('sparse_kib_tool'):.0f} KiB vs {number('sparse_kib_cp'):.0f} KiB", "—", "info")


def rss():
    big, small = number("rss_big"), number("rss_small")
    return f"{big:.0f} KiB vs {small:.0f} KiB", "within 1 MiB", "met" if abs(big - small) <= 1024 else "MISSED"


def allocations():
    few, many = number("allocs_few"), number("allocs_many")
    return f"{few:.0f} vs {many:.0f}", "equal", "met" if few == many else "MISSED"


def scale():
    # "tool" is the parallel run, "cp" the single process.
    parallel, single, ratio, _, _ = pairs("scale")
    return f"{parallel:.0f} ms vs {single:.0f} ms, {1 / ratio:.2f}× faster", "—", "info"


rows = [
    ("fresh outputs, time vs `cp` into an empty directory", lambda: timing("fresh", 1.0)),
    ("fresh outputs, system calls per file", lambda: calls("fresh", 10)),
    ("outputs already exist, time vs `cp` over its copies", lambda: timing("existing", 1.40)),
    ("outputs already exist, system calls per file", lambda: calls("existing", 13)),
    ("in place, time vs `cp` over existing copies", lambda: timing("inplace", 1.40)),
    ("in place, system calls per file", lambda: calls("inplace", 15)),
    ("large input, marker unaligned, time vs `cp`", lambda: timing("unaligned", 1.10)),
    ("large input, marker at 4096, time vs `cp`", lambda: timing("aligned", 1.10)),
    ("large sparse input, time vs `cp`; space of the output", sparse),
    ("peak RSS, large vs 1 KB input", rss),
    (f"heap allocations, 10 vs {min(files, 1000)} files", allocations),
    (f"`xargs -0 -n 1000 -P {cores}` vs one process, fresh outputs", scale),
]
print("| figure | measured | goal | |")
print("|---|---|---|---|")
for name, measure in rows:
    try:
        print("| " + " | ".join((name, *measure())) + " |")
    except (KeyError, FileNotFoundError):
        pass
PY
