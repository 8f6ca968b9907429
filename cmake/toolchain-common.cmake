# Shared part of cmake/toolchain-arm64.cmake and toolchain-armhf.cmake, which set
# OSTREL_DEB_ARCH, OSTREL_TRIPLET and CMAKE_SYSTEM_PROCESSOR first.
#
# The compilers are Debian's cross compilers (crossbuild-essential-<arch>, amd64 packages); they
# bring their own C and C++ runtime. Every other library, header and pkg-config file comes from
# the sysroot that scripts/sysroot <arch> makes from the target's own Debian packages, never from
# the host (whose dpkg may or may not know the architecture). Tests run under qemu-user through
# the sysroot's bin/qemu, which gives qemu the sysroot as the prefix for the loader and libraries:
# there is no binfmt_misc here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${OSTREL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREL_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${OSTREL_TRIPLET})

# Where scripts/sysroot put it, fixed at the first configure (a later one in a shell without
# OSTREL_SYSROOT_CACHE keeps it); try_compile projects get it too.
if(NOT OSTREL_SYSROOT_DIR)
  if(DEFINED ENV{OSTREL_SYSROOT_CACHE} AND NOT "$ENV{OSTREL_SYSROOT_CACHE}" STREQUAL "")
    set(_ostrel_cache "$ENV{OSTREL_SYSROOT_CACHE}")
  else()
    set(_ostrel_cache /var/cache/ostrel-sysroot)
  endif()
  set(OSTREL_SYSROOT_DIR "${_ostrel_cache}/${OSTREL_DEB_ARCH}" CACHE PATH
    "scripts/sysroot's directory for this architecture")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OSTREL_SYSROOT_DIR)
if(NOT EXISTS "${OSTREL_SYSROOT_DIR}/stamp")
  message(FATAL_ERROR "No ${OSTREL_DEB_ARCH} sysroot in ${OSTREL_SYSROOT_DIR}: run "
    "scripts/sysroot ${OSTREL_DEB_ARCH} (scripts/package does)")
endif()

set(CMAKE_SYSROOT "${OSTREL_SYSROOT_DIR}/root")
set(CMAKE_FIND_ROOT_PATH "${CMAKE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${OSTREL_SYSROOT_DIR}/bin/qemu")

# Debian 12 has no cross pkg-config wrapper: the host's pkg-config reads only the sysroot's .pc
# files and puts the sysroot in front of the paths they name.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${CMAKE_SYSROOT}/usr/lib/${OSTREL_TRIPLET}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# GNUInstallDirs picks plain "lib" when cross-compiling.
set(CMAKE_INSTALL_LIBDIR lib/${OSTREL_TRIPLET} CACHE PATH "")
set(OSTREL_DEB_ARCH ${OSTREL_DEB_ARCH} CACHE STRING "")

# The package is stripped and the emulated lanes read no debug information: without -g the cross
# builds spend a sixth less time compiling.
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO_INIT "-O2 -DNDEBUG")
set(CMAKE_C_FLAGS_RELWITHDEBINFO_INIT "-O2 -DNDEBUG")
