# Cross build for Debian armhf (ARMv7 with hardware floating point: Raspberry Pi 2 v1.1 and later
# with a 32-bit system) on a Debian 12 amd64 machine, against scripts/sysroot armhf.
set(OSTREL_DEB_ARCH armhf)
set(OSTREL_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
