# Checks the dynamic symbols that LIBRARY (one of the deliverables) imports: only what the device's
# own libraries have, by C name, plus the C++ standard library. Anything else is a name that only
# this simulator defines, and the deliverable could not be loaded on the device.
#
# Allowed:
#  - C names versioned by the machine's C library (GLIBC_*), by the stand-in libSystem's own
#    version (VYR_SYSTEM_1: arc4random, strlen, unlink, system and its file watch, which the device's
#    libSystem has as C functions), and libgcc's unwinder (GCC_*);
#  - the Objective-C runtime's C functions and GCC's runtime hooks, CoreFoundation's C names
#    (CF..., kCF...), Foundation's NSLog and the substrate's MSHookMessageEx: the device's own
#    C interfaces, unversioned here as the stand-ins define them;
#  - the C++ standard library and its runtime: std::, __gnu_cxx::, operator new and delete, the
#    ABI's __cxa_* and __gxx_personality_v0, versioned by libstdc++ (GLIBCXX_*, CXXABI_*);
#  - weak references that the start files make and nothing has to satisfy;
#  - with SANITIZE set, the sanitizer runtimes' own entry points.
# Names are recognised by their encoding and version; what is refused is shown demangled.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -D --undefined-only ${LIBRARY}
                OUTPUT_VARIABLE raw RESULT_VARIABLE rc)
execute_process(COMMAND ${NM} -D --undefined-only --demangle ${LIBRARY}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc2)
if(NOT rc EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

set(device_c "^(objc|class|sel|method|object|ivar|protocol|property)_[A-Za-z0-9_]+$"
             "^__objc_[A-Za-z0-9_]+$" "^k?CF[A-Za-z0-9_]+$" "^NSLog$" "^MSHookMessageEx$")
# The C++ standard library's names by their encoding (some nm do not demangle versioned names):
# in namespace std or __gnu_cxx (also as typeinfo, its name, a vtable or VTT), operator new and
# delete, the ABI's own namespace; and its C names.
# (St is std::, Sa, Sb, Ss, Si, So and Sd its allocator, basic_string, string and streams.)
set(cxx "^_ZN?K?S[tabsiod]" "^_ZN?K?9__gnu_cxx" "^_ZT[ISVT]N?K?S[tabsiod]" "^_ZT[ISV]N10__cxxabiv1"
        "^_Z(nw|na|dl|da)" "^__cxa_[a-z_]+$" "^__gxx_personality_v0$" "^__dynamic_cast$")
set(weak_start "^(_ITM_(de)?registerTMCloneTable|__gmon_start__|__cxa_finalize)$")
set(sanitizer "^__(asan|ubsan|tsan|sanitizer|lsan)_")

function(matches_any symbol out)
  set(${out} FALSE PARENT_SCOPE)
  foreach(pattern IN LISTS ARGN)
    if(symbol MATCHES "${pattern}")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

set(bad "")
set(count 0)
string(REPLACE "\n" ";" rawLines "${raw}")
string(REPLACE "\n" ";" lines "${out}")
list(LENGTH lines n)
foreach(i RANGE ${n})
  if(i EQUAL n)
    break()
  endif()
  list(GET lines ${i} line)
  list(GET rawLines ${i} rawLine)
  if(NOT line MATCHES "^ *([A-Za-z]) +(.+)$")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(symbol "${CMAKE_MATCH_2}")
  set(version "")
  # The version follows the last '@' of the encoded name (demangled names may hold '@' nowhere).
  if(rawLine MATCHES "@@?([A-Za-z0-9_.]+)$")
    set(version "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "@@?[A-Za-z0-9_.]+$" "" symbol "${symbol}")
  endif()
  math(EXPR count "${count} + 1")
  set(ok FALSE)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" encoded "${rawLine}")
  string(REGEX REPLACE "@@?[A-Za-z0-9_.]+$" "" encoded "${encoded}")
  if(version MATCHES "^(GLIBC_|GCC_|VYR_SYSTEM_1$)")
    # A C name of the C library, the unwinder or libSystem: never a C++ one.
    if(NOT encoded MATCHES "^_Z")
      set(ok TRUE)
    endif()
  elseif(version MATCHES "^(GLIBCXX_|CXXABI_)")
    matches_any("${encoded}" ok ${cxx})
  elseif(version STREQUAL "")
    matches_any("${encoded}" ok ${device_c})
    if(NOT ok AND type STREQUAL "w")
      matches_any("${encoded}" ok ${weak_start})
    endif()
    if(NOT ok AND SANITIZE)
      matches_any("${encoded}" ok ${sanitizer})
    endif()
  endif()
  if(NOT ok AND version)
    list(APPEND bad "${symbol}@${version}")
  elseif(NOT ok)
    list(APPEND bad "${symbol}")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no imports listed for ${LIBRARY}: the check would pass on anything")
endif()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "imports that the device's libraries do not have:\n  ${text}")
endif()
message(STATUS "${count} imports, all the device's own")
