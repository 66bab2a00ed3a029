#!/usr/bin/env bash
# Measures geos-unwrap side by side with cp and prints every figure beside
# its target. Builds a Release binary, writes a seeded corpus into a fresh
# directory under DIR (default /dev/shm, a tmpfs) and removes it afterwards.
#
#   bench/run.sh [DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash .ci/install-deps hyperfine time valgrind strace libbenchmark-dev

cmake --workflow --preset bench >/dev/null
bin=$root/build/bench/geos-unwrap
work=$(mktemp -d "${1:-/dev/shm}/geos-unwrap-bench.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"

echo "corpus in $work"
python3 "$root/bench/make_corpus.py" corpus --files 10000
python3 "$root/bench/make_corpus.py" big.snd --size $((1 << 30))
python3 "$root/bench/make_corpus.py" small.snd --size 1024
python3 "$root/bench/make_corpus.py" pristine --files 1000 --suffix .rng --seed 2
python3 "$root/bench/make_corpus.py" fresh --files 1000 --seed 2

# Times two commands side by side: ROUNDS hyperfine runs that alternate
# which command goes first, so that drift of the machine falls on both; the
# medians of all runs of each. Prints "median_tool median_cp".
#   compare ROUNDS RUNS PREPARE_TOOL TOOL PREPARE_CP CP
compare() {
  local rounds=$1 runs=$2 round
  for ((round = 0; round < rounds; round++)); do
    if ((round % 2)); then
      hyperfine --style none --warmup 2 --runs "$runs" --export-json "round$round.json" \
        --prepare "$5" "$6" --prepare "$3" "$4" >/dev/null
    else
      hyperfine --style none --warmup 2 --runs "$runs" --export-json "round$round.json" \
        --prepare "$3" "$4" --prepare "$5" "$6" >/dev/null
    fi
  done
  python3 - "$4" "$6" round*.json <<'PY'
import json, statistics, sys
tool, cp, *files = sys.argv[1:]
times = {tool: [], cp: []}
for name in files:
    for result in json.load(open(name))["results"]:
        times[result["command"]] += result["times"]
print(statistics.median(times[tool]), statistics.median(times[cp]))
PY
  rm -f round*.json
}

read -r batch_tool batch_cp <<<"$(compare 4 10 'rm -f corpus/*.rng' "$bin corpus/*.snd" \
  'rm -rf out && mkdir out' 'cp corpus/*.snd out/')"
read -r big_tool big_cp <<<"$(compare 4 8 'rm -f big.rng' "$bin big.snd" \
  'rm -f big.copy' 'cp big.snd big.copy')"
rm -f big.rng big.copy

rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
rss_big=$(rss "$bin" big.snd)
rss_small=$(rss "$bin" small.snd)
rm -f big.rng

allocs() {
  rm -f corpus/*.rng
  valgrind "$bin" $(ls corpus/*.snd | head -n "$1") 2>&1 >/dev/null |
    sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' | tr -d ,
}
allocs_10=$(allocs 10)
allocs_1000=$(allocs 1000)

calls() { strace -f -c -o calls.txt "$@" >/dev/null 2>&1; awk '$NF == "total" {print $(NF-2)}' calls.txt; }
rm -f corpus/*.rng
calls_tool=$(calls "$bin" corpus/*.snd)
rm -rf out && mkdir out
calls_cp=$(calls cp corpus/*.snd out/)

read -r inplace_total fresh_total <<<"$(compare 2 5 'rm -rf inplace && cp -r pristine inplace' \
  "$bin inplace/*.rng" 'rm -f fresh/*.rng' "$bin fresh/*.snd")"

"$root/build/bench/bench/scan_bench" --benchmark_min_time=0.2 2>/dev/null | tail -n 4

python3 - "$batch_tool" "$batch_cp" "$big_tool" "$big_cp" "$rss_big" "$rss_small" \
  "$allocs_10" "$allocs_1000" "$calls_tool" "$calls_cp" "$inplace_total" "$fresh_total" <<'PY'
import sys
bt, bc, gt, gc, rb, rs, a10, a1000, ct, cc, ip, fr = (float(x) for x in sys.argv[1:])
rows = [
    ("10,000 files, geos-unwrap vs cp (median)", f"{bt*1000:.0f} ms vs {bc*1000:.0f} ms, ratio {bt/bc:.2f}", "ratio <= 1.0", bt / bc <= 1.0),
    ("1 GiB input, geos-unwrap vs cp (median)", f"{gt*1000:.0f} ms vs {gc*1000:.0f} ms, ratio {gt/gc:.2f}", "ratio <= 1.05", gt / gc <= 1.05),
    ("peak RSS, 1 GiB vs 1 KB input", f"{rb:.0f} KiB vs {rs:.0f} KiB", "within 1 MiB", abs(rb - rs) <= 1024),
    ("heap allocations, 10 vs 1,000 files", f"{a10:.0f} vs {a1000:.0f}", "the same", a10 == a1000),
    ("system calls per file, geos-unwrap vs cp", f"{ct/10000:.1f} vs {cc/10000:.1f}", "fewer than cp", ct < cc),
]
print()
print("| figure | measured | target | |")
print("|---|---|---|---|")
for name, measured, target, ok in rows:
    print(f"| {name} | {measured} | {target} | {'met' if ok else 'MISSED'} |")
print(f"\nin place, durable (fsync of file and directory): {ip/1000*1e6:.0f} us per file, "
      f"against {fr/1000*1e6:.0f} us per file for the same 1,000 files to new outputs")
PY
