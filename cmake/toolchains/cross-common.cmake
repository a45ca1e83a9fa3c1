# Shared part of the cross toolchain files: Debian's cross compiler for
# KIV_CROSS_TRIPLET, the target's multiarch libraries (installed as :arch
# packages, /usr/lib/<multiarch>), the target's pkg-config, and the
# emulator that runs the target's programs (tests, and the programs the
# tests start) on this machine.
#
# The emulator is given -L / so that the target's dynamic loader and libc
# are the multiarch ones under /lib/<multiarch>, the same ones the program
# was linked with; -L /usr/<triplet> would mix the cross toolchain's loader
# with the multiarch libc, which crashes in pthread_create.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KIV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KIV_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KIV_CROSS_MULTIARCH})

# Programs (pkg-config, python, git, clang-format) come from this machine;
# libraries, headers and CMake packages from the target's multiarch tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(PKG_CONFIG_EXECUTABLE /usr/bin/${KIV_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "the target's pkg-config")

if(KIV_CROSS_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_CROSS_QEMU} -L / CACHE STRING "runs the target's programs")
endif()

# 64-bit file offsets on 32-bit targets, as on 64-bit ones. On ARM, GCC
# notes (-Wpsabi) that the C++ standard library's calling convention
# changed in GCC 7.1: nothing here mixes objects from before it.
set(KIV_CROSS_FLAGS "")
if(KIV_CROSS_32BIT)
  string(APPEND KIV_CROSS_FLAGS " -D_FILE_OFFSET_BITS=64")
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|aarch64)")
  string(APPEND KIV_CROSS_FLAGS " -Wno-psabi")
endif()
set(CMAKE_C_FLAGS_INIT "${KIV_CROSS_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KIV_CROSS_FLAGS}")
