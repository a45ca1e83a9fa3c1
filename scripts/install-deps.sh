#!/bin/sh
# Installs the Debian packages that a build needs, by purpose:
#
#   scripts/install-deps.sh [GROUP | PACKAGE]...
#
#   release   the library: compiler, CMake and Android's liblog and libcutils
#   tools     release + the simulator and the client (nlohmann-json, CLI11,
#             cpp-httplib and pkg-config for the web panel)
#   test      tools + GoogleTest, GLib (an example), the format check, the
#             JDK and JUnit (the Java binding), Chromium, its driver and
#             Selenium (the web panel's browser test), iproute2
#   valgrind  test + valgrind
#   bench     release + Google Benchmark, msgpack-c, python3
#   fuzz      release + clang and its runtime
#   docs      doxygen
#   format    clang-format
#
# With no argument: release. Any other word is taken as a package name. As
# root it runs apt-get for whatever is missing; otherwise it prints the
# command to run.
set -eu
RELEASE="cmake make g++ android-liblog-dev android-libcutils-dev"
TOOLS="$RELEASE nlohmann-json3-dev libcli11-dev libcpp-httplib-dev pkg-config"
TEST="$TOOLS pkg-config libgtest-dev libgmock-dev util-linux libglib2.0-dev python3 clang-format git default-jdk-headless junit4 tshark chromium chromium-driver python3-selenium iproute2"
[ $# -eq 0 ] && set -- release
PACKAGES=""
for arg in "$@"; do
    case "$arg" in
        release) PACKAGES="$PACKAGES $RELEASE" ;;
        tools) PACKAGES="$PACKAGES $TOOLS" ;;
        test) PACKAGES="$PACKAGES $TEST" ;;
        valgrind) PACKAGES="$PACKAGES $TEST valgrind" ;;
        bench) PACKAGES="$PACKAGES $RELEASE libbenchmark-dev libmsgpack-dev python3 util-linux" ;;
        fuzz) PACKAGES="$PACKAGES $RELEASE clang libclang-rt-14-dev" ;;
        docs) PACKAGES="$PACKAGES doxygen" ;;
        format) PACKAGES="$PACKAGES clang-format git" ;;
        *) PACKAGES="$PACKAGES $arg" ;;
    esac
done
missing=""
for p in $PACKAGES; do
    case " $missing " in *" $p "*) continue ;; esac
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
