# Fails when a source under ROOT (the vyr/ folder) writes to the terminal by any way but the sink
# in base/out.cpp, which escapes device text: a print added anywhere else is refused at review
# time rather than remembered. Unit tests (tests/ folders) print nothing and are not read.
# Usage: cmake -DROOT=<folder> -P print_lint.cmake
if(NOT ROOT)
  message(FATAL_ERROR "print_lint: ROOT is not set")
endif()
file(GLOB_RECURSE sources RELATIVE "${ROOT}" "${ROOT}/*.cpp" "${ROOT}/*.hpp" "${ROOT}/*.h"
     "${ROOT}/*.cpp.txt")
# The C and C++ ways to print: stdio's printing calls (snprintf into a buffer is not one), the
# standard streams, C++23's print, and write(2) to descriptor 1 or 2.
set(calls "printf|fprintf|vprintf|vfprintf|dprintf|vdprintf|fputs|puts|putchar|putc|fputc|fwrite|perror")
set(call "(^|[^A-Za-z0-9_.>:]|std::)(${calls})[ \t]*\\(")
set(stream "std::(cout|cerr|clog|wcout|wcerr|print|println)[^A-Za-z0-9_]")
set(descriptor "write[ \t]*\\([ \t]*(1|2|STDOUT_FILENO|STDERR_FILENO|fileno[ \t]*\\([ \t]*std(out|err)[ \t]*\\))[ \t]*,")
set(found 0)
foreach(source IN LISTS sources)
  if(source MATCHES "(^|/)tests/" OR source STREQUAL "base/out.cpp")
    continue()
  endif()
  file(STRINGS "${ROOT}/${source}" lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    # A comment may name a call; only code counts.
    string(REGEX REPLACE "//.*$" "" code "${line}")
    if(code MATCHES "${call}" OR code MATCHES "${stream}" OR code MATCHES "${descriptor}")
      message("${source}:${number}: prints without the sink (vyr/base/out.hpp): ${line}")
      math(EXPR found "${found} + 1")
    endif()
  endforeach()
endforeach()
if(found GREATER 0)
  message(FATAL_ERROR "${found} print(s) outside vyr/base/out.cpp")
endif()
