#!/bin/sh
# Each C++ header compiles on its own, with every warning an error and
# without exceptions or RTTI, under g++ and clang++ (whichever exist; at
# least one must). So does each C header of the interface (kiv_ipod.h and
# its headers by topic), as C++ here and as strict C99 with cc.
# The C++ example is compiled the same way, so that the member templates
# (handlers, durations) are instantiated too.
#   cpp_header_check.sh INCLUDE_DIR GENERATED_INCLUDE_DIR EXAMPLE.cpp
set -eu
include=$1
generated=$2
example=$3
compilers=0
for cxx in g++ clang++; do
    command -v "$cxx" >/dev/null || continue
    compilers=$((compilers + 1))
    for header in "$include"/kiv/*.hpp "$include"/kiv/ipod/*.hpp; do
        printf '#include "%s"\n#include "%s"\n' "${header#"$include"/}" "${header#"$include"/}" |
            "$cxx" -x c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fno-exceptions -fno-rtti \
                -I"$include" -I"$generated" -fsyntax-only - || {
            echo "$cxx: kiv/$(basename "$header") does not compile on its own" >&2
            exit 1
        }
    done
    for header in "$include"/kiv_ipod.h "$include"/kiv_ipod/*.h; do
        name=${header#"$include"/}
        printf '#include "%s"\n#include "%s"\n' "$name" "$name" |
            "$cxx" -x c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fno-exceptions -fno-rtti \
                -I"$include" -I"$generated" -fsyntax-only - || {
            echo "$cxx: $name does not compile on its own" >&2
            exit 1
        }
    done
    "$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror -fno-exceptions -fno-rtti -I"$include" -I"$generated" \
        -fsyntax-only "$example"
done
for header in "$include"/kiv_ipod/*.h; do
    name=${header#"$include"/}
    printf '#include "%s"\n#include "%s"\ntypedef int header_check_unit;\n' "$name" "$name" |
        cc -x c -std=c99 -Wall -Wextra -pedantic -Werror -I"$include" -I"$generated" -fsyntax-only - || {
        echo "cc: $name does not compile on its own as C99" >&2
        exit 1
    }
done
[ "$compilers" -gt 0 ] || { echo "no C++ compiler found" >&2; exit 1; }
