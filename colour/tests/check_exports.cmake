# Checks the dynamic symbols that LIBRARY defines: the four colour helpers, under the names the
# device's loader and other libraries look up, and nothing else of the helpers.
#
# Tolerated, because no compiler flag hides them and none names anything of the helpers: weak
# instantiations of the C++ standard library's templates (unoptimised clang builds emit some with
# the standard library's default visibility), template parameter objects (_ZTA..., which clang 14
# exports whatever the visibility) and type information of function types (_ZTIF/_ZTSF, which
# the undefined-behaviour sanitizer's function check emits).
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

set(expected
  colorFromHex
  colorFromDefaultsWithKey
  _Z14convertFromHexNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE
  _Z8hextodecNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERSt6vectorIhSaIhEE)
set(found "")
string(REPLACE "\n" ";" lines "${out}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +(.+)$")
    set(type "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    if(name IN_LIST expected)
      if(NOT type STREQUAL "T")
        message(FATAL_ERROR "${name} is exported as '${type}', not as a function")
      endif()
      list(APPEND found "${name}")
    elseif(name MATCHES "^_ZTA" OR name MATCHES "^_ZT[IS]F" OR name MATCHES "^_ZN?K?St" OR
           name MATCHES "^_ZN?K?9__gnu_cxx")
      # see above
    else()
      message(FATAL_ERROR "unexpected export: ${line}")
    endif()
  endif()
endforeach()
foreach(name IN LISTS expected)
  if(NOT name IN_LIST found)
    message(FATAL_ERROR "missing export: ${name}")
  endif()
endforeach()
message(STATUS "exports: ${found}")
