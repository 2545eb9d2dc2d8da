# Cross-builds for the box's 32-bit ARM (arm-linux-gnueabihf) against the sysroot that
# scripts/armhf-sysroot makes, and runs what is built (gtest discovery, ctest) under qemu-arm user mode.
# Sysroot: -DTBOX_ARMHF_SYSROOT=..., else $TBOX_ARMHF_SYSROOT, else .cache/armhf/sysroot in the work tree.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT TBOX_ARMHF_SYSROOT)
  if(DEFINED ENV{TBOX_ARMHF_SYSROOT})
    set(TBOX_ARMHF_SYSROOT "$ENV{TBOX_ARMHF_SYSROOT}")
  else()
    get_filename_component(TBOX_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../.cache/armhf/sysroot" ABSOLUTE)
  endif()
endif()
set(TBOX_ARMHF_SYSROOT "${TBOX_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot (made by scripts/armhf-sysroot)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TBOX_ARMHF_SYSROOT)
if(NOT EXISTS "${TBOX_ARMHF_SYSROOT}/lib/ld-linux-armhf.so.3")
  message(FATAL_ERROR "no armhf sysroot at ${TBOX_ARMHF_SYSROOT}: run scripts/armhf-sysroot first")
endif()
set(CMAKE_SYSROOT "${TBOX_ARMHF_SYSROOT}")

# Libraries, headers and packages from the sysroot only; programs (gdbus-codegen, nm, clang) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config reads the sysroot's .pc files only, and prefixes their -I/-L with the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Test programs run under qemu-arm with the sysroot as their /usr and /lib. Programs they start
# (dbus-daemon, bsdiff, openssl, nm) are host programs: qemu-user hands execve to the host kernel.
find_program(TBOX_QEMU_ARM NAMES qemu-arm qemu-arm-static NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${TBOX_QEMU_ARM};-L;${CMAKE_SYSROOT}")
