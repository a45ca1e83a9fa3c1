#!/bin/sh
# Installs the build into a temporary prefix and builds a consumer against
# it twice: with pkg-config and with find_package(KivIpod2).
# A cross build passes its compilers, pkg-config, objdump and toolchain
# file (KIV_CONSUMER_*); its programs run under KIV_IPOD_EMULATOR.
set -eu
build=$1
cc=${KIV_CONSUMER_CC:-cc}
cxx=${KIV_CONSUMER_CXX:-c++}
pkgconfig=${KIV_CONSUMER_PKG_CONFIG:-pkg-config}
objdump=${KIV_CONSUMER_OBJDUMP:-objdump}
toolchain=${KIV_CONSUMER_TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE=$KIV_CONSUMER_TOOLCHAIN}
emu=${KIV_IPOD_EMULATOR:-}
here=$(cd "$(dirname "$0")" && pwd)
extra=${KIV_CONSUMER_FLAGS:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir=$(dirname "$(find "$tmp/prefix" -name 'libkiv-ipod-2.so' | head -n 1)")
test -f "$tmp/prefix/include/kiv_ipod.h"
# Every header by topic that the umbrella header includes is installed.
for topic in $(sed -n 's/^#include "\(kiv_ipod\/[a-z_]*\.h\)"$/\1/p' "$tmp/prefix/include/kiv_ipod.h"); do
    test -f "$tmp/prefix/include/$topic" || { echo "not installed: $topic"; exit 1; }
done
[ -n "$(ls "$tmp/prefix/include/kiv_ipod/"*.h)" ]
test -f "$tmp/prefix/include/kiv/ipod.hpp"
test -f "$tmp/prefix/include/kiv/value.hpp"
test -x "$tmp/prefix/bin/kiv-ipod-simd"
test -x "$tmp/prefix/bin/kiv-ipod"
$emu "$tmp/prefix/bin/kiv-ipod" --help >/dev/null
soname=$($objdump -p "$libdir/libkiv-ipod-2.so" | awk '/SONAME/ {print $2}')
[ "$soname" = "libkiv-ipod-2.so" ] || { echo "unexpected SONAME: $soname"; exit 1; }

PKG_CONFIG_PATH="$libdir/pkgconfig" "$pkgconfig" --exists kiv-ipod-2
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Werror $extra "$here/consumer.c" -o "$tmp/consumer-pc" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" "$pkgconfig" --cflags --libs kiv-ipod-2) -Wl,-rpath,"$libdir"
$emu "$tmp/consumer-pc"
# shellcheck disable=SC2046
"$cxx" -std=c++17 -Wall -Werror -fno-exceptions -fno-rtti $extra "$here/consumer.cpp" -o "$tmp/consumer-cpp-pc" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" "$pkgconfig" --cflags --libs kiv-ipod-2) -Wl,-rpath,"$libdir"
$emu "$tmp/consumer-cpp-pc"

CFLAGS="$extra" CXXFLAGS="$extra" LDFLAGS="$extra" cmake -S "$here" -B "$tmp/cmake-build" $toolchain -DCMAKE_PREFIX_PATH="$tmp/prefix" \
    -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
$emu "$tmp/cmake-build/consumer"
$emu "$tmp/cmake-build/consumer_cpp"
