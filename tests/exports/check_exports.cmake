# Checks the dynamic symbols that LIBRARY (one of the deliverables) defines: exactly the four
# colour helpers and main, under the names the device's loader and other libraries look up.
# Names are compared demangled, so that no standard library's spelling of a type is written here.
#
# Tolerated, because no compiler flag hides them and none names anything of the system: weak
# instantiations of the C++ standard library's templates (libstdc++ declares its namespace with
# default visibility; unoptimised builds emit some), template parameter objects (which clang 14
# exports whatever the visibility) and type information of function types (which the
# undefined-behaviour sanitizer's function check emits).
cmake_minimum_required(VERSION 3.25)
# The same list twice, in the same order: as the linker sees it, to recognise the standard
# library's symbols by their encoded namespace, and demangled, to compare the system's own names.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE raw RESULT_VARIABLE rc)
execute_process(COMMAND ${NM} -D --defined-only --demangle ${LIBRARY}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc2)
if(NOT rc EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

# Each export: its name, and a pattern its demangled symbol must match in full.
set(names colorFromHex colorFromDefaultsWithKey main convertFromHex hextodec)
set(pattern_colorFromHex "colorFromHex")
set(pattern_colorFromDefaultsWithKey "colorFromDefaultsWithKey")
set(pattern_main "main")
# C++ functions: the argument types are part of the name the device's callers link against.
set(pattern_convertFromHex "convertFromHex\\(std::(__cxx11::)?basic_string<char[^()]*>\\)")
set(pattern_hextodec
    "hextodec\\(std::(__cxx11::)?basic_string<char[^()]*>, std::vector<unsigned char[^()]*>&\\)")

set(found "")
string(REPLACE "\n" ";" rawLines "${raw}")
string(REPLACE "\n" ";" lines "${out}")
list(LENGTH lines count)
foreach(i RANGE ${count})
  if(i EQUAL count)
    break()
  endif()
  list(GET lines ${i} line)
  list(GET rawLines ${i} rawLine)
  if(NOT line MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +(.+)$")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(symbol "${CMAKE_MATCH_2}")
  # In namespace std or __gnu_cxx, a template parameter object, or type information of a function
  # type: see above.
  if(rawLine MATCHES " (_ZN?K?St|_ZN?K?9__gnu_cxx|_ZTA|_ZT[IS]F)")
    continue()
  endif()
  set(matched "")
  foreach(name IN LISTS names)
    if(symbol MATCHES "^${pattern_${name}}$")
      set(matched "${name}")
    endif()
  endforeach()
  if(matched)
    if(NOT type STREQUAL "T")
      message(FATAL_ERROR "${matched} is exported as '${type}', not as a function")
    endif()
    if(matched IN_LIST found)
      message(FATAL_ERROR "${matched} is exported twice")
    endif()
    list(APPEND found "${matched}")
  else()
    message(FATAL_ERROR "unexpected export: ${line}")
  endif()
endforeach()
foreach(name IN LISTS names)
  if(NOT name IN_LIST found)
    message(FATAL_ERROR "missing export: ${name}")
  endif()
endforeach()
message(STATUS "exports: ${found}")
