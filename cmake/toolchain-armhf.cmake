# The device's 32-bit ARM (armv7, hard-float): `cmake --preset armhf`.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VYR_ARM_TRIPLE arm-linux-gnueabihf)
set(VYR_ARM_ARCH armhf)
set(VYR_ARM_LOADER ld-linux-armhf.so.3)
set(VYR_ARM_QEMU qemu-arm)
# 64-bit file offsets: without them, listing a folder fails with EOVERFLOW under qemu-arm.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
include(${CMAKE_CURRENT_LIST_DIR}/arm-cross.cmake)
