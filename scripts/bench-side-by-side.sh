#!/bin/sh
# Runs builds of one benchmark executable in turn, ROUNDS times over, and
# prints the median CPU time of every benchmark for each build, with the
# fastest run beside it: builds measured in the same minutes share the
# machine's load, which on a shared machine moves single runs by 10-30%.
#
#   scripts/bench-side-by-side.sh ROUNDS FILTER NAME=EXECUTABLE...
#
# e.g. the codec rows of the build in build/bench against a copy of an
# earlier one:
#   scripts/bench-side-by-side.sh 10 'Kiv|Msgpack' \
#       before=/tmp/anchor_bench.before after=build/bench/bench/anchor_bench
set -eu
rounds=$1
filter=$2
shift 2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
round=1
while [ "$round" -le "$rounds" ]; do
    for pair in "$@"; do
        name=${pair%%=*}
        "${pair#*=}" --benchmark_filter="$filter" --benchmark_min_time=0.1 --benchmark_format=json \
            >"$out/$name.$round.json" 2>/dev/null
    done
    round=$((round + 1))
done
names=""
for pair in "$@"; do names="$names ${pair%%=*}"; done
python3 - "$out" $names <<'EOF'
import collections
import glob
import json
import statistics
import sys

directory, names = sys.argv[1], sys.argv[2:]
times = collections.defaultdict(lambda: collections.defaultdict(list))
for name in names:
    for path in glob.glob(f"{directory}/{name}.*.json"):
        with open(path) as f:
            for b in json.load(f)["benchmarks"]:
                times[b["name"]][name].append(b["cpu_time"])
print(f"{'benchmark (CPU time, median / fastest)':44}" + "".join(f"{n:>22}" for n in names))
for bench in sorted(times):
    cells = []
    for name in names:
        t = times[bench][name]
        cells.append(f"{statistics.median(t):>12.4g} /{min(t):>8.4g}" if t else f"{'-':>22}")
    print(f"{bench:44}" + "".join(cells))
EOF
