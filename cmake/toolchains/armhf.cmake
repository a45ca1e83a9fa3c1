# 32-bit ARM, hard float (Debian armhf): make cross ARCH=armhf
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KIV_CROSS_TRIPLET arm-linux-gnueabihf)
set(KIV_CROSS_MULTIARCH arm-linux-gnueabihf)
set(KIV_CROSS_QEMU qemu-arm)
set(KIV_CROSS_32BIT ON)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
