#!/bin/sh
# Compares the dynamic symbols that a library defines with a list of names.
# The list is grouped by the header that declares the names, each group
# with its extensions last; comments and blank lines are ignored.
set -eu
lib=$1
expected=$2
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRVi]$/ {print $3}' | sed 's/@.*//' | sort -u >"$actual"
if grep -q '^_Z' "$actual"; then
    echo "mangled C++ symbols exported:"; grep '^_Z' "$actual"; exit 1
fi
if ! diff -u "$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$expected" | sort >"$actual.exp"; echo "$actual.exp")" "$actual"; then
    rm -f "$actual.exp"
    echo "exported names differ from $expected (- missing, + unexpected)"; exit 1
fi
rm -f "$actual.exp"
