# Cross build for Debian arm64 (Raspberry Pi 3, 4, 5, Zero 2 W with a 64-bit system) on a
# Debian 12 amd64 machine, against scripts/sysroot arm64.
set(OSTREL_DEB_ARCH arm64)
set(OSTREL_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
