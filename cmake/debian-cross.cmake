# What the toolchain files share: Debian 12's cross compilers for VELMER_TARGET_TRIPLET
# (crossbuild-essential-ARCH), which bring their own C library and C++ runtime. The target's
# other libraries come from CMAKE_SYSROOT, a tree of the target's Debian packages unpacked
# (scripts/cross.sh), or without one from the host's multiarch directories, where a Debian
# cross build installs the -dev:ARCH packages. Programs built for the target run under
# qemu-user: ctest runs tests through CMAKE_CROSSCOMPILING_EMULATOR, and the end-to-end
# tests start the daemon and the tools through it too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELMER_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELMER_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELMER_TARGET_TRIPLET})

# Tools (sdbus-c++-xml2cpp) run on the build host; libraries, headers and CMake packages
# are the target's only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# By its path: the end-to-end tests start programs without a search.
find_program(VELMER_QEMU ${VELMER_TARGET_QEMU} REQUIRED)
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
  # The sysroot holds the target's own C library, so qemu may load everything from it.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMER_QEMU} -L ${CMAKE_SYSROOT})
else()
  set(CMAKE_FIND_ROOT_PATH /)
  # Not -L /usr/${VELMER_TARGET_TRIPLET}: that loads the cross compiler's dynamic loader
  # beside the host's libc6:ARCH, a different build, and forked children crash.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMER_QEMU})
endif()
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/${VELMER_TARGET_TRIPLET}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
