#!/bin/sh
# Installs the build into a temporary prefix, checks that the jar and the
# JNI library are there, then compiles and runs a program against them
# outside the build tree, with the commands docs/java.md gives, against the
# simulator (run in a private network namespace, where the simulator takes
# the daemon's name).
#   check_install.sh BUILD_DIR SIMULATOR PROGRAM.java JAVAC JAVA
set -eu
build=$1
simd=$2
source=$3
javac=$4
java=$5
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
jar=$prefix/share/java/kiv-ipod.jar
test -f "$jar" || { echo "not installed: $jar" >&2; exit 1; }
jni=$(find "$prefix" -name libkiv-ipod-2-jni.so | head -n 1)
test -n "$jni" || { echo "not installed: libkiv-ipod-2-jni.so" >&2; exit 1; }
libdir=$(dirname "$jni")
test -f "$libdir/libkiv-ipod-2.so" || { echo "libkiv-ipod-2-jni.so is not beside libkiv-ipod-2.so" >&2; exit 1; }

# The program and its classes live outside the build and the prefix.
mkdir "$tmp/app"
cp "$source" "$tmp/app/"
cd "$tmp/app"
program=$(basename "$source" .java)
"$javac" -cp "$jar" -d classes "$program.java"
out=$("$here/../../../tests/run_example.sh" "$simd" \
    "$java" -cp "$jar:classes" -Djava.library.path="$libdir" "$program")
echo "$out"
case $out in
    *"device: "*) ;;
    *) echo "$program printed no device" >&2; exit 1 ;;
esac
