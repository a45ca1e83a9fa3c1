#!/bin/sh
# Runs one example program against the simulator. Meant to run inside a
# private network namespace (the simulator takes the daemon's usual name).
#   run_example.sh SIMULATOR EXAMPLE [ARGS...]
# KIV_IPOD_EMULATOR, when set, runs both (a cross build's programs).
set -eu
emu=${KIV_IPOD_EMULATOR:-}
simd=$1
example=$2
shift 2
$emu "$simd" --quiet --ping-interval 1 &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true' EXIT
tries=0
until grep -q '@com.kiv.ipod.IPodDaemon' /proc/net/unix 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "simulator did not start" >&2; exit 1; }
    sleep 0.05
done
$emu "$example" "$@"
