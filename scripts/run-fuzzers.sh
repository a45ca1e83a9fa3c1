#!/bin/sh
# Runs every fuzzer of a build directory for a bounded time, starting from
# its seed corpus (fuzz/corpus/<name>), and fails on the first finding.
set -eu
dir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for f in "$dir"/fuzz/*_fuzz; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    seeds="$root/fuzz/corpus/$name"
    work=$(mktemp -d)
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
    echo "== $name (${seconds}s)"
    if ! (cd "$work" && "$f" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
            -artifact_prefix="$root/$dir/$name-" . 2>&1 | grep -E 'stat::number_of_executed_units|stat::peak_rss|ERROR|SUMMARY|crash-|leak-|timeout-'); then
        :
    fi
    if ls "$root/$dir/$name-"* >/dev/null 2>&1; then
        echo "$name: finding saved as $(ls "$root/$dir/$name-"*)"
        status=1
    fi
    rm -rf "$work"
done
exit $status
