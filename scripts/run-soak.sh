#!/bin/sh
# Soak run (make soak): the soak client starts the simulator itself; both
# run in a private network namespace when one can be had, so that the
# daemon's socket name collides with nothing on the machine.
# KIV_IPOD_EMULATOR, when set, runs a cross build's programs (the soak
# client passes it on to the simulator it starts).
set -eu
dir=$1
packets=$2
if unshare -n true 2>/dev/null; then
    exec unshare -n ${KIV_IPOD_EMULATOR:-} "$dir/tests/kiv-soak" "$dir/tools/kiv-ipod-simd" "$packets"
elif unshare -rn true 2>/dev/null; then
    exec unshare -rn ${KIV_IPOD_EMULATOR:-} "$dir/tests/kiv-soak" "$dir/tools/kiv-ipod-simd" "$packets"
fi
exec ${KIV_IPOD_EMULATOR:-} "$dir/tests/kiv-soak" "$dir/tools/kiv-ipod-simd" "$packets"
