#!/bin/sh
# Runs every benchmark executable of a build directory, each in a private
# network namespace (the link benchmarks listen on the daemon's name).
set -eu
dir=$1
if [ "$(id -u)" -eq 0 ]; then ns="unshare -n"; else ns="unshare -rn"; fi
for b in "$dir"/bench/*_bench; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    $ns "$b" --benchmark_counters_tabular=true
done
