# Cross build for Debian arm64 (Raspberry Pi) on a Debian 12 amd64 machine with multiarch
# (scripts/install-cross-deps arm64). Tests run under qemu-user; there is no binfmt_misc here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)

# Debian 12 has no cross pkg-config wrapper: point pkg-config at the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# GNUInstallDirs picks plain "lib" when cross-compiling.
set(CMAKE_INSTALL_LIBDIR lib/aarch64-linux-gnu CACHE PATH "")
set(OSTREL_DEB_ARCH arm64 CACHE STRING "")
