# What the two ARM toolchain files share. Each sets VYR_ARM_TRIPLE, VYR_ARM_ARCH (Debian's name of
# the architecture), VYR_ARM_QEMU and CMAKE_SYSTEM_PROCESSOR, then includes this file.
#
# The target's libraries live in a sysroot that scripts/install-deps.sh --arm unpacks from
# Debian's packages for that architecture; the compiler, its C++ library and GCC's Objective-C
# runtime come from Debian's cross toolchain packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VYR_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VYR_ARM_TRIPLE}-g++)
set(CMAKE_ASM_COMPILER ${VYR_ARM_TRIPLE}-gcc)
# The device's char is signed on both processors (the hex parser logs a rejected byte as a signed
# value); Linux on ARM makes it unsigned unless told. -Wno-psabi: GCC notes that the ABI of
# passing some structures changed in GCC 7, which concerns no code mixed here.
string(APPEND CMAKE_C_FLAGS_INIT " -fsigned-char")
string(APPEND CMAKE_CXX_FLAGS_INIT " -fsigned-char -Wno-psabi")
# The Objective-C runtime that the stand-in frameworks are built on (cmake/Toolchain.cmake).
set(VYR_OBJC_GCC ${VYR_ARM_TRIPLE}-gcc)

if(DEFINED ENV{VYR_SYSROOTS})
  set(VYR_SYSROOT $ENV{VYR_SYSROOTS}/${VYR_ARM_ARCH})
else()
  set(VYR_SYSROOT /opt/vyr/sysroot/${VYR_ARM_ARCH})
endif()
if(NOT EXISTS ${VYR_SYSROOT}/usr/lib/${VYR_ARM_TRIPLE})
  message(FATAL_ERROR "no ${VYR_ARM_ARCH} sysroot in ${VYR_SYSROOT}: run scripts/install-deps.sh --arm")
endif()
set(CMAKE_SYSROOT ${VYR_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${VYR_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR}
    "${VYR_SYSROOT}/usr/lib/${VYR_ARM_TRIPLE}/pkgconfig:${VYR_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VYR_SYSROOT})

# The binaries ask for the sysroot's dynamic loader and find the sysroot's libraries first, so
# that they start like native ones: through the kernel's binfmt_misc handler for qemu, as
# children of other programs, with any environment, and without qemu's -L (which would also
# re-root every absolute path the program opens, the device folder's included). They are test
# builds for this machine; on an ARM board, build there natively.
# The search path is an old-style RPATH, which (unlike RUNPATH) also serves the libraries' own
# dependencies: libstdc++ needs the sysroot's libm.
set(vyr_rpath "-Wl,--disable-new-dtags -Wl,-rpath,${VYR_SYSROOT}/usr/lib/${VYR_ARM_TRIPLE}")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=${VYR_SYSROOT}/lib/${VYR_ARM_LOADER} ${vyr_rpath}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${vyr_rpath}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${vyr_rpath}")

# ctest runs every test binary (and GoogleTest's listing of its tests) through qemu-user, also
# where binfmt_misc is not registered.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VYR_ARM_QEMU})
