#!/bin/sh
# Installs the Debian packages that the build, the tests and the tools need.
# As root it runs apt-get for whatever is missing; otherwise it prints the
# command to run.
set -eu
PACKAGES="cmake make g++ clang pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
android-liblog-dev android-libcutils-dev nlohmann-json3-dev libmsgpack-dev valgrind util-linux libglib2.0-dev libcli11-dev python3 doxygen clang-format git libclang-rt-14-dev tshark"
[ $# -gt 0 ] && PACKAGES="$PACKAGES $*"
missing=""
for p in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y --no-install-recommends $missing >/dev/null 2>&1 || {
        apt-get update >/dev/null && apt-get install -y --no-install-recommends $missing
    }
else
    echo "missing packages; run: sudo apt-get install -y$missing" >&2
    exit 1
fi
