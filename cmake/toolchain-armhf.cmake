# Cross build for Debian armhf (Raspberry Pi) on a Debian 12 amd64 machine with multiarch
# (scripts/install-cross-deps armhf). Tests run under qemu-user; there is no binfmt_misc here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)

# Debian 12 has no cross pkg-config wrapper: point pkg-config at the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# GNUInstallDirs picks plain "lib" when cross-compiling.
set(CMAKE_INSTALL_LIBDIR lib/arm-linux-gnueabihf CACHE PATH "")
set(OSTREL_DEB_ARCH armhf CACHE STRING "")
