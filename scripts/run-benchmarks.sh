#!/bin/sh
# Runs every benchmark executable of a build directory, each in a private
# network namespace (the link benchmarks listen on the daemon's name), keeps
# their JSON results in <build>/bench-results and prints one summary table
# (each measure is the fastest of three repetitions).
set -eu
dir=$1
here=$(cd "$(dirname "$0")" && pwd)
out="$dir/bench-results"
rm -rf "$out"
mkdir -p "$out"
if [ "$(id -u)" -eq 0 ]; then ns="unshare -n"; else ns="unshare -rn"; fi
for b in "$dir"/bench/*_bench; do
    [ -x "$b" ] || continue
    name=$(basename "$b")
    echo "== $name"
    $ns "$b" --benchmark_counters_tabular=true --benchmark_min_time=0.3 --benchmark_repetitions=3 \
        --benchmark_out="$out/$name.json" --benchmark_out_format=json
done
echo
echo "== summary (lscpu: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores)"
python3 "$here/bench-summary.py" "$out"
