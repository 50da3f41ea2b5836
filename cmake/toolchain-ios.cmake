# The device: iOS on 32-bit and 64-bit ARM, built with Debian's clang 14 and its Mach-O linkers
# (ld64.lld 14 for arm64, lld 13's old one for armv7) against the project's own stubs of the
# device's libraries (platform/darwin).
# `cmake --preset device`. Nothing of Apple's is used: CMake is told of no Apple platform (its
# Darwin support would look for Xcode), and cmake/Device.cmake spells every flag out.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_ASM_COMPILER clang-14)
set(CMAKE_C_COMPILER_TARGET arm64-apple-ios7.0)
set(CMAKE_CXX_COMPILER_TARGET arm64-apple-ios7.0)
set(CMAKE_ASM_COMPILER_TARGET arm64-apple-ios7.0)
# The compiler checks compile only: there is nothing here to link a test program against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(VYR_DEVICE ON CACHE BOOL "Build the device's deliverables only" FORCE)
