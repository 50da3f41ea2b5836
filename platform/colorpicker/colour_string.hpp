// Colour strings as the colour-picker library's cells read and store them.
//
// A cell accepts what a user or a preferences file may hold: an optional "#", three or six
// hexadecimal digits (either case), optionally ":" and a decimal alpha from 0 to 1, or "#" and
// eight digits RRGGBBAA whose last byte is the alpha (AA / 255); spaces around the whole allowed.
// It stores the one canonical form "#RRGGBB:A.AAAAAA": upper-case hex and the alpha with six
// decimals, as "#A1A1A1:1.000000".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace colorpicker {

struct Colour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  double alpha = 1.0;  // 0 to 1
};

// The colour TEXT names, or nothing when TEXT is not a colour string as above (wrong digit count,
// a byte that is no hex digit, an alpha that is empty, not a plain decimal, NaN or outside 0 to 1).
// A missing alpha means 1.
std::optional<Colour> parseColourString(std::string_view text);

// The canonical stored form of C; the alpha is clamped to 0 to 1.
std::string formatColourString(const Colour& c);

}  // namespace colorpicker
