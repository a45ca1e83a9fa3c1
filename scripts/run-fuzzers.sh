#!/bin/sh
# Runs every fuzzer of a build directory for a bounded time, starting from
# the committed seeds (fuzz/seeds/<name>) plus the committed regression
# inputs (fuzz/corpus/<name>), with the dictionary fuzz/<name>.dict when there is
# one, and fails on any finding: a crash, a leak, a timeout, an
# out-of-memory, or a fuzzer that exits non-zero. Each fuzzer's running
# time is printed (on a finding: the time it took to find it).
set -eu
dir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
status=0
for f in "$dir"/fuzz/*_fuzz; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    work=$(mktemp -d)
    [ -d "$root/fuzz/seeds/$name" ] && cp -r "$root/fuzz/seeds/$name"/. "$work"/
    [ -d "$root/fuzz/corpus/$name" ] && cp -r "$root/fuzz/corpus/$name"/. "$work"/
    dict=
    [ -f "$root/fuzz/$name.dict" ] && dict="-dict=$root/fuzz/$name.dict"
    rm -f "$dir/$name-"*
    echo "== $name (${seconds}s)"
    log="$dir/$name.log"
    rc=0
    start=$(date +%s)
    (cd "$work" && "$f" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 -timeout=25 $dict \
        -artifact_prefix="$dir/$name-" . >"$log" 2>&1) || rc=$?
    echo "$name: ran $(($(date +%s) - start))s"
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY' "$log" || true
    if [ "$rc" -ne 0 ] || ls "$dir/$name-"* >/dev/null 2>&1; then
        echo "$name: FAILED (exit $rc); log $log; findings: $(ls "$dir/$name-"* 2>/dev/null | tr '\n' ' ')"
        status=1
    fi
    rm -rf "$work"
done
exit $status
