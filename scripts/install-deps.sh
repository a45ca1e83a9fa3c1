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
#   cross-armhf, cross-arm64, cross-i386
#             a cross build and its tests (make cross ARCH=...): the
#             architecture (dpkg --add-architecture), Debian's cross
#             compiler, qemu-user, the target's libraries as :arch
#             packages, and the machine's own tools the tests run
#
# With no argument: release. Any other word is taken as a package name. As
# root it runs apt-get for whatever is missing; otherwise it prints the
# command to run.
set -eu
RELEASE="cmake make g++ android-liblog-dev android-libcutils-dev"
TOOLS="$RELEASE nlohmann-json3-dev libcli11-dev libcpp-httplib-dev pkg-config"
TEST="$TOOLS pkg-config libgtest-dev libgmock-dev util-linux libglib2.0-dev python3 clang-format git default-jdk-headless junit4 tshark chromium chromium-driver python3-selenium iproute2"
# The target's packages for a cross build: cross_packages ARCH TRIPLET.
cross_packages() {
    echo "$TOOLS util-linux python3 clang-format git tshark iproute2 binutils-$2 g++-$2"
    [ "$1" = i386 ] || echo qemu-user
    for p in android-liblog-dev android-libcutils-dev libgtest-dev libgmock-dev libcpp-httplib-dev \
        libglib2.0-dev libstdc++6 pkg-config; do
        echo "$p:$1"
    done
}
CROSS_ARCH=""
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
        cross-armhf) CROSS_ARCH=armhf; PACKAGES="$PACKAGES $(cross_packages armhf arm-linux-gnueabihf)" ;;
        cross-arm64) CROSS_ARCH=arm64; PACKAGES="$PACKAGES $(cross_packages arm64 aarch64-linux-gnu)" ;;
        cross-i386) CROSS_ARCH=i386; PACKAGES="$PACKAGES $(cross_packages i386 i686-linux-gnu)" ;;
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
# A mirror in the middle of a sync fails an index now and then: try again,
# then install from the indexes that did come (a package that is not there
# still fails the install).
update_indexes() {
    for pause in 5 20 0; do
        apt-get update >/dev/null && return 0
        [ "$pause" -eq 0 ] || sleep "$pause"
    done
    echo "apt-get update failed three times; installing from the indexes it has" >&2
    INDEXES_INCOMPLETE=1
}
INDEXES_INCOMPLETE=0
# An install that fails on incomplete indexes exits 75 (a temporary failure
# of the package mirror, not of the project).
install_missing() {
    apt-get install -y --no-install-recommends $missing && return 0
    [ "$INDEXES_INCOMPLETE" -eq 0 ] || { echo "the package indexes are incomplete (mirror mid-sync?)" >&2; exit 75; }
    exit 100
}
if [ "$(id -u)" -eq 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    if [ -n "$CROSS_ARCH" ] && ! dpkg --print-foreign-architectures | grep -qx "$CROSS_ARCH"; then
        dpkg --add-architecture "$CROSS_ARCH"
        update_indexes
    fi
    apt-get install -y --no-install-recommends $missing >/dev/null 2>&1 || {
        update_indexes
        install_missing
    }
else
    [ -z "$CROSS_ARCH" ] || echo "first: sudo dpkg --add-architecture $CROSS_ARCH && sudo apt-get update" >&2
    echo "missing packages; run: sudo apt-get install -y$missing" >&2
    exit 1
fi
