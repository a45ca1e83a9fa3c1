#!/bin/sh
# Runs a JVM command (started with -Xcheck:jni) and fails when it fails or
# when the JVM reported any misuse of JNI, which -Xcheck:jni only prints:
# a call with an exception pending, a local reference overflow, a bad
# reference.
#   run_checked.sh COMMAND [ARGS...]
set -u
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" >"$log" 2>&1
status=$?
cat "$log"
if grep -q -E 'WARNING in native method|FATAL ERROR in native method|WARNING: JNI local refs' "$log"; then
    echo "run_checked.sh: the JVM reported a JNI misuse" >&2
    exit 1
fi
exit $status
