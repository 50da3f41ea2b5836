# The device's 64-bit ARM (AArch64): `cmake --preset arm64`.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VYR_ARM_TRIPLE aarch64-linux-gnu)
set(VYR_ARM_ARCH arm64)
set(VYR_ARM_LOADER ld-linux-aarch64.so.1)
set(VYR_ARM_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/arm-cross.cmake)
