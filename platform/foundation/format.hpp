// The printf-style formatting behind stringWithFormat: and NSLog.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace foundation {

// The widest field width or precision honoured; larger ones are cut to it, so that a format
// string cannot ask for gigabytes of padding.
inline constexpr int kMaxFieldWidth = 100000;

// Formats FORMAT with the arguments in ARGS, which must match the conversions as printf's do.
// Supported: %@ (an object's description; "(null)" for nil), %d %i %u %o %x %X with the length
// modifiers hh h l ll q z t j, %c, %C (a UTF-16 unit), %s ("(null)" for NULL), %f %F %e %E %g %G
// %a %A (L for long double), %p and %%, with the flags - + space # 0, a width and a precision
// (either may be *). Numbers are written in the C locale. An unknown or unsupported conversion
// (%n among them) ends the formatting: it and the rest of FORMAT are copied as they are and no
// further argument is read.
std::string formatV(std::string_view format, va_list args);

}  // namespace foundation
