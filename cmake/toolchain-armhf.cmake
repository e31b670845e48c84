# Cross build for 32-bit ARMv7 with hard float (Debian's armhf), the controllers in the field.
# Usage: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake [-DCMAKE_SYSROOT=DIR] ...
# (scripts/cross.sh armhf makes a sysroot and runs the whole suite under qemu-user).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VELMER_TARGET_TRIPLET arm-linux-gnueabihf)
set(VELMER_TARGET_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
