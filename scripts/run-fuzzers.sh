#!/bin/sh
# Runs every fuzzer of a build directory for a bounded time, starting from
# generated seeds (fuzz/make_seeds) plus the committed regression inputs
# (fuzz/corpus/<name>), and fails on any finding: a crash, a leak, a
# timeout, an out-of-memory, or a fuzzer that exits non-zero.
set -eu
dir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
status=0
seeds=$(mktemp -d)
"$dir/fuzz/make_seeds" "$seeds"
for f in "$dir"/fuzz/*_fuzz; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    work=$(mktemp -d)
    [ -d "$seeds/$name" ] && cp -r "$seeds/$name"/. "$work"/
    [ -d "$root/fuzz/corpus/$name" ] && cp -r "$root/fuzz/corpus/$name"/. "$work"/
    rm -f "$dir/$name-"*
    echo "== $name (${seconds}s)"
    log="$dir/$name.log"
    rc=0
    (cd "$work" && "$f" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 -timeout=25 \
        -artifact_prefix="$dir/$name-" . >"$log" 2>&1) || rc=$?
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY' "$log" || true
    if [ "$rc" -ne 0 ] || ls "$dir/$name-"* >/dev/null 2>&1; then
        echo "$name: FAILED (exit $rc); log $log; findings: $(ls "$dir/$name-"* 2>/dev/null | tr '\n' ' ')"
        status=1
    fi
    rm -rf "$work"
done
rm -rf "$seeds"
exit $status
