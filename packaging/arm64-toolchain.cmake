# Cross build for the device (aarch64, Debian 12) with Debian's cross
# compiler, against a sysroot unpacked from Debian's arm64 packages
# (scripts/build-arm64 makes it). Programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(TAVITTY_ARM64_SYSROOT "" CACHE PATH "The arm64 sysroot")
if(NOT IS_DIRECTORY "${TAVITTY_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "TAVITTY_ARM64_SYSROOT must name an unpacked arm64 sysroot")
endif()
set(CMAKE_SYSROOT "${TAVITTY_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${TAVITTY_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must answer for the sysroot: scripts/build-arm64 exports
# PKG_CONFIG_LIBDIR and PKG_CONFIG_SYSROOT_DIR for it.

# Programs run under qemu-user through the sysroot's own loader and
# libraries. (qemu's -L would also map "/" to the sysroot, which umockdev's
# path redirection can't see through.) iconv finds its converters by
# GCONV_PATH.
set(arm64_libs "${TAVITTY_ARM64_SYSROOT}/lib/aarch64-linux-gnu")
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64-static -E "GCONV_PATH=${TAVITTY_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/gconv"
    "${arm64_libs}/ld-linux-aarch64.so.1"
    --library-path "${arm64_libs}:${TAVITTY_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu")
