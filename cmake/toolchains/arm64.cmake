# 64-bit ARM (Debian arm64): make cross ARCH=arm64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KIV_CROSS_TRIPLET aarch64-linux-gnu)
set(KIV_CROSS_MULTIARCH aarch64-linux-gnu)
set(KIV_CROSS_QEMU qemu-aarch64)
set(KIV_CROSS_32BIT OFF)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
