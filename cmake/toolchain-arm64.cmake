# Cross build for 64-bit ARMv8 (Debian's arm64), the newer controllers.
# Usage: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake [-DCMAKE_SYSROOT=DIR] ...
# (scripts/cross.sh arm64 makes a sysroot and runs the whole suite under qemu-user).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELMER_TARGET_TRIPLET aarch64-linux-gnu)
set(VELMER_TARGET_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
