# Compiler settings shared by every target: warnings, sanitizers, GCC's Objective-C runtime.

find_package(PkgConfig REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
find_package(Threads REQUIRED)

# GCC's Objective-C runtime (libobjc-12-dev) lives in GCC's private folder. clang finds its
# headers only with -idirafter (-I there would shadow clang's own intrinsic headers). A cross build
# asks its own gcc (VYR_OBJC_GCC, set by the toolchain file), or it would link the host's runtime.
if(NOT VYR_OBJC_GCC)
  set(VYR_OBJC_GCC gcc)
endif()
execute_process(COMMAND ${VYR_OBJC_GCC} -print-file-name=include OUTPUT_VARIABLE VYR_GCC_INCLUDE
                OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${VYR_OBJC_GCC} -print-file-name=libobjc.so OUTPUT_VARIABLE VYR_LIBOBJC
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${VYR_GCC_INCLUDE}/objc/runtime.h" OR NOT EXISTS "${VYR_LIBOBJC}")
  message(FATAL_ERROR "GCC's Objective-C runtime is missing: run scripts/install-deps.sh")
endif()
add_library(objc_runtime INTERFACE)
target_link_libraries(objc_runtime INTERFACE ${VYR_LIBOBJC})
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(objc_runtime INTERFACE -idirafter ${VYR_GCC_INCLUDE})
endif()

add_library(vyr_warnings INTERFACE)
target_compile_options(vyr_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wold-style-cast)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(vyr_warnings INTERFACE -Wno-cast-function-type)
endif()
if(VYR_WERROR)
  target_compile_options(vyr_warnings INTERFACE -Werror)
endif()

if(VYR_SANITIZE)
  add_compile_options(-fsanitize=${VYR_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VYR_SANITIZE})
  if(VYR_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()

# A shared library that plays one of the device's frameworks.
function(vyr_framework name)
  cmake_parse_arguments(F "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} SHARED ${F_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC objc_runtime ${F_LINK} PRIVATE vyr_warnings)
endfunction()
