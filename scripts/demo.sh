#!/bin/sh
# The demo: starts the bundled iPod daemon simulator, runs a short session
# with the kiv-ipod client against it, and stops the simulator.
#
#   scripts/demo.sh [BUILD_DIR]      (default build/release; `make demo` builds it)
#
# KIV_IPOD_EMULATOR, when set, runs the build's programs (a cross build's:
# "qemu-arm -L /", say).
#
# Simulator and client run in a private network namespace of their own, so
# the simulator's socket meets neither a real daemon nor another demo.
set -eu
BUILD=${1:-build/release}
SIMD=$BUILD/tools/kiv-ipod-simd
CLI=$BUILD/tools/kiv-ipod
EMU=${KIV_IPOD_EMULATOR:-}
for exe in "$SIMD" "$CLI"; do
    [ -x "$exe" ] || { echo "demo: $exe is missing; run make demo" >&2; exit 1; }
done

if [ -z "${KIV_DEMO_NETNS:-}" ]; then
    if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
        KIV_DEMO_NETNS=1 exec unshare -n sh "$0" "$@"
    elif unshare -rn true 2>/dev/null; then
        KIV_DEMO_NETNS=1 exec unshare -rn sh "$0" "$@"
    fi
    echo "(no private network namespace here: the simulator takes the daemon's usual socket name)"
fi

# However the script ends (its end, a failed command, a signal, or a reader
# that went away as in `make demo | head`), the simulator stops (it removes
# its artwork directory) and the log goes. A trapped signal exits, which
# runs the EXIT trap.
SIMD_PID=
LOG=
stop_simulator() {
    [ -n "$SIMD_PID" ] || return 0
    kill "$SIMD_PID" 2>/dev/null || true
    wait "$SIMD_PID" 2>/dev/null || true
    SIMD_PID=
}
trap 'stop_simulator; [ -z "$LOG" ] || rm -f "$LOG"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM

LOG=$(mktemp "${TMPDIR:-/tmp}/kiv-demo-simd.XXXXXX")
$EMU "$SIMD" --ping-interval 2 --allow-control 2>"$LOG" &
SIMD_PID=$!

# Wait (up to 5 s) until the simulator answers.
tries=0
until $EMU "$CLI" ping >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ $tries -ge 50 ] || ! kill -0 "$SIMD_PID" 2>/dev/null; then
        echo "demo: the simulator did not start:" >&2
        cat "$LOG" >&2
        exit 1
    fi
    sleep 0.1
done

say() { printf '\n# %s\n' "$*"; }
run() {
    echo "\$ kiv-ipod $*"
    $EMU "$CLI" "$@"
}

say "The daemon knows one iPod (the simulator's demo device):"
run devices
say "Every other command opens a session on device 0 first. What is playing?"
run status
say "Browse the library: artists, then the albums of the first artist."
run tracks --category artist --count 5
run tracks --category album --select artist=0
say "Details of one track, an audiobook with chapters."
run track 266
say "Transport: play, watch the live events for 2.5 seconds, pause, next."
run play
run watch 2.5
run pause
run next
run status
say "Artwork of the current track, RGB565: large images come through a shared file, small ones inline."
run artwork
run artwork --size 48
say "An EAP session: the simulator's accessory app echoes every datagram."
run eap send com.kiv.echo hello from the demo
say "The same status as JSON, for scripts:"
run --json status
say "Hot-plug: the iPod disconnects and comes back; a watcher sees it happen."
( sleep 0.5; $EMU "$SIMD" --control hotplug ) &
run watch 1.5
wait $!

stop_simulator
say "The end of the simulator's log (one connection per command above):"
tail -n 12 "$LOG"
echo
echo "To watch and steer the simulated iPod from a browser: $SIMD --web 8080, then open http://127.0.0.1:8080/ (README, Web panel)."
echo "demo finished"
