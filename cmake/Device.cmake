# The device's build (`cmake --preset device`): the two deliverables only, from the same sources
# as the simulated device's, as the device's Mach-O files. Each processor's slice is compiled and
# linked on its own, signed, and the slices are joined into one fat file per deliverable; then
# the device's package is assembled from them and the same resource files the simulated device
# installs.
#
# What the compiler sees of the device: libc++ 14's headers (Debian's libc++-14-dev, unpacked by
# scripts/install-deps.sh --device, never installed), under our own __config_site, over the
# few C headers of platform/darwin/include. What the linker sees: the stubs of
# platform/darwin/stubs, one per library of the device, by its real install name.

set(VYR_DARWIN ${PROJECT_SOURCE_DIR}/platform/darwin)
if(DEFINED ENV{VYR_SYSROOTS})
  set(VYR_DARWIN_ROOT_DEFAULT $ENV{VYR_SYSROOTS}/darwin)
else()
  set(VYR_DARWIN_ROOT_DEFAULT /opt/vyr/sysroot/darwin)
endif()
set(VYR_DARWIN_ROOT ${VYR_DARWIN_ROOT_DEFAULT} CACHE PATH
    "Where scripts/install-deps.sh --device unpacked the device build's packages")
set(VYR_LIBCXX_INCLUDE ${VYR_DARWIN_ROOT}/usr/lib/llvm-14/include/c++/v1)
if(NOT EXISTS ${VYR_LIBCXX_INCLUDE}/__config)
  message(FATAL_ERROR "libc++ 14's headers are missing: run scripts/install-deps.sh --device")
endif()
find_program(VYR_LD64 NAMES ld64.lld-14 REQUIRED)
find_program(VYR_LIPO NAMES llvm-lipo-14 REQUIRED)
find_program(VYR_LD64_DARWINOLD NAMES ld64.lld.darwinold-13 REQUIRED)
find_program(VYR_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

# The lowest iOS each slice runs on, and the SDK it is built against. The hooked classes appear
# in iOS 7.0, on both processors; before it the library would load and hook nothing.
set(VYR_IOS_MIN_armv7 7.0)
set(VYR_IOS_MIN_arm64 7.0)
set(VYR_IOS_SDK 8.1)
set(VYR_DEVICE_ARCHS armv7 arm64)

# The device's libraries, as stub files (platform/darwin/stubs/NAME.tbd), that each deliverable
# links. A library none of whose symbols is used is still loaded (UIKit: its classes are found by
# name; the colour picker: linked, never called).
set(VYR_STUBS_COMMON libobjc libSystem libc++ Foundation CoreFoundation UIKit libcolorpicker)
set(VYR_STUBS_VYRSignals ${VYR_STUBS_COMMON} CydiaSubstrate)
set(VYR_STUBS_VYR ${VYR_STUBS_COMMON} Preferences)

set(VYR_SOURCES_COMMON colour/hex.cpp colour/colour_string.cpp colour/defaults.cpp
    colour/prefs_cache.cpp platform/objc/runtime.cpp platform/system/file_watch_darwin.cpp)
set(VYR_SOURCES_VYRSignals ${VYR_SOURCES_COMMON} tweak/settings.cpp tweak/resolve.cpp
    tweak/hooks.cpp tweak/lockscreen.cpp tweak/load.cpp)
set(VYR_SOURCES_VYR ${VYR_SOURCES_COMMON} prefs/load.cpp prefs/VYRListController.cpp
    prefs/respring.cpp)

add_library(vyr_device_flags INTERFACE)
target_include_directories(vyr_device_flags INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(vyr_device_flags INTERFACE
  # Only the device's headers: none of this machine's.
  -nostdinc++ -nostdlibinc
  "SHELL:-isystem ${VYR_DARWIN}/libcxx" "SHELL:-isystem ${VYR_LIBCXX_INCLUDE}"
  "SHELL:-isystem ${VYR_DARWIN}/include"
  # The device's libc++ predates libc++ 14: its string and stream members are compiled in
  # rather than imported, so that what is imported from it is what every release of it has.
  -D_LIBCPP_DISABLE_EXTERN_TEMPLATE
  -fvisibility=hidden -fvisibility-inlines-hidden
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wold-style-cast -Werror)

# Compiled only: the ABI constants of the headers above, checked against the device's, for each
# processor.
foreach(arch ${VYR_DEVICE_ARCHS})
  add_library(vyr_device_abi_checks_${arch} OBJECT ${VYR_DARWIN}/abi_checks.cpp)
  target_link_libraries(vyr_device_abi_checks_${arch} PRIVATE vyr_device_flags)
  target_compile_options(vyr_device_abi_checks_${arch} PRIVATE
                         -target ${arch}-apple-ios${VYR_IOS_MIN_${arch}})
endforeach()

# One deliverable, one slice: objects, link, signature. The armv7 slice's objects are LLVM
# bitcode, ARM code only (-marm), linked by tools/link_armv7.py (see there why).
function(vyr_device_slice name kind arch)
  set(triple ${arch}-apple-ios${VYR_IOS_MIN_${arch}})
  set(objects ${name}_${arch}_objects)
  add_library(${objects} OBJECT ${VYR_SOURCES_${name}})
  target_link_libraries(${objects} PRIVATE vyr_device_flags)
  target_compile_options(${objects} PRIVATE -target ${triple})
  if(arch STREQUAL "armv7")
    target_compile_options(${objects} PRIVATE -marm -mno-movt -emit-llvm)
  endif()
  add_dependencies(${objects} vyr_device_abi_checks_${arch})

  set(stubs "")
  foreach(stub ${VYR_STUBS_${name}})
    list(APPEND stubs ${VYR_DARWIN}/stubs/${stub}.tbd)
  endforeach()
  # The linker's own signature (SHA-256 only) reserves the load command; the signer replaces it.
  # The unsigned file keeps the deliverable's name: the linker takes the identifier from it.
  set(slice ${CMAKE_BINARY_DIR}/slices/${arch}/${name})
  set(linked ${CMAKE_BINARY_DIR}/slices/${arch}/linked/${name})
  set(install_name /Library/MobileSubstrate/DynamicLibraries/${name}.dylib)
  if(kind STREQUAL "dylib")
    set(kind_flags -dylib -install_name ${install_name}
                   -current_version ${PROJECT_VERSION} -compatibility_version 1.0)
  else()
    set(kind_flags -bundle)
  endif()
  if(arch STREQUAL "armv7")
    if(kind STREQUAL "dylib")
      set(kind_flags --kind dylib --install-name ${install_name}
                     --current-version ${PROJECT_VERSION})
    else()
      set(kind_flags --kind bundle)
    endif()
    set(link_command ${VYR_PYTHON} ${VYR_DARWIN}/tools/link_armv7.py ${kind_flags}
        --exports ${VYR_DARWIN}/exports.txt --stubs ${stubs}
        --work ${CMAKE_BINARY_DIR}/slices/armv7/work/${name} --out ${linked}
        $<TARGET_OBJECTS:${objects}>)
  else()
    set(link_command ${VYR_LD64} -arch ${arch} -platform_version ios ${VYR_IOS_MIN_${arch}}
        ${VYR_IOS_SDK} ${kind_flags} -exported_symbols_list ${VYR_DARWIN}/exports.txt
        -dead_strip -adhoc_codesign -o ${linked} $<TARGET_OBJECTS:${objects}> ${stubs})
  endif()
  add_custom_command(
    OUTPUT ${slice}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/slices/${arch}/linked
    COMMAND ${link_command}
    COMMAND ${VYR_PYTHON} ${VYR_DARWIN}/tools/adhoc_sign.py --identifier ${name} ${linked}
            ${slice}
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${stubs} ${VYR_DARWIN}/exports.txt
            ${VYR_DARWIN}/tools/adhoc_sign.py ${VYR_DARWIN}/tools/macho.py
            ${VYR_DARWIN}/tools/link_armv7.py
    COMMAND_EXPAND_LISTS VERBATIM)
  set(${name}_slices ${${name}_slices} ${slice} PARENT_SCOPE)
endfunction()

# One deliverable: every slice, joined into bin/FILE.
function(vyr_device_deliverable name kind file)
  set(${name}_slices "")
  foreach(arch ${VYR_DEVICE_ARCHS})
    vyr_device_slice(${name} ${kind} ${arch})
  endforeach()
  set(out ${CMAKE_BINARY_DIR}/bin/${file})
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
    COMMAND ${VYR_LIPO} -create ${${name}_slices} -output ${out}
    DEPENDS ${${name}_slices} VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
endfunction()

vyr_device_deliverable(VYRSignals dylib VYRSignals.dylib)
vyr_device_deliverable(VYR bundle VYR)

# The package: the device's layout of both deliverables and their resources.
set(VYR_DEB ${CMAKE_BINARY_DIR}/com.belvorin.vyr_${PROJECT_VERSION}_iphoneos-arm.deb)
set(VYR_DEB_INPUTS ${CMAKE_BINARY_DIR}/bin/VYRSignals.dylib ${CMAKE_BINARY_DIR}/bin/VYR
    ${PROJECT_SOURCE_DIR}/tweak/VYRSignals.plist ${PROJECT_SOURCE_DIR}/prefs/Resources/Info.plist
    ${PROJECT_SOURCE_DIR}/prefs/Resources/VYR.plist
    ${PROJECT_SOURCE_DIR}/prefs/Resources/PreferenceLoader.plist)
# The package is checked before it takes its name: one that fails a check is left as .unchecked.
add_custom_command(
  OUTPUT ${VYR_DEB}
  COMMAND ${VYR_PYTHON} ${VYR_DARWIN}/tools/make_deb.py --version ${PROJECT_VERSION}
          --out ${VYR_DEB}.unchecked ${VYR_DEB_INPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/check
  COMMAND ${VYR_PYTHON} ${VYR_DARWIN}/tools/check_package.py --sources ${PROJECT_SOURCE_DIR}
          --stubs ${VYR_DARWIN}/stubs --archs armv7,arm64 --workdir ${CMAKE_BINARY_DIR}/check
          ${VYR_DEB}.unchecked
  COMMAND ${CMAKE_COMMAND} -E rename ${VYR_DEB}.unchecked ${VYR_DEB}
  DEPENDS ${VYR_DEB_INPUTS} ${VYR_DARWIN}/tools/make_deb.py ${VYR_DARWIN}/tools/check_package.py
          ${VYR_DARWIN}/tools/macho.py
  VERBATIM)
add_custom_target(vyr_device_package ALL DEPENDS ${VYR_DEB})

# The checks of the package (ctest --preset device, label device): see platform/darwin/tests.
enable_testing()
set(VYR_DEVICE_TEST_ENV VYR_SOURCE_DIR=${PROJECT_SOURCE_DIR} VYR_DEB=${VYR_DEB}
    VYR_LINKED_SLICE=${CMAKE_BINARY_DIR}/slices/arm64/linked/VYRSignals
    VYR_SLICES=${CMAKE_BINARY_DIR}/slices
    VYR_ARMV7_WORK=${CMAKE_BINARY_DIR}/slices/armv7/work/VYRSignals)
foreach(group PackageChecks Armv7Linker Signer)
  add_test(NAME DevicePackage.${group}
           COMMAND ${VYR_PYTHON} -W error ${VYR_DARWIN}/tests/package_test.py -v ${group})
  set_tests_properties(DevicePackage.${group} PROPERTIES LABELS device
                       ENVIRONMENT "${VYR_DEVICE_TEST_ENV}")
endforeach()
# The device's code run in the emulator: tools/emulate.py.
foreach(group ExportedHelpers StartUp Replacements)
  add_test(NAME DeviceEmulation.${group}
           COMMAND ${VYR_PYTHON} -W error ${VYR_DARWIN}/tests/emulation_test.py -v ${group})
  set_tests_properties(DeviceEmulation.${group} PROPERTIES LABELS device
                       ENVIRONMENT "${VYR_DEVICE_TEST_ENV}")
endforeach()
