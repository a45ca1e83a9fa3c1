# 32-bit x86 (Debian i386): make cross ARCH=i386. An x86_64 kernel runs
# its programs without an emulator.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KIV_CROSS_TRIPLET i686-linux-gnu)
set(KIV_CROSS_MULTIARCH i386-linux-gnu)
set(KIV_CROSS_QEMU "")
set(KIV_CROSS_32BIT ON)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
