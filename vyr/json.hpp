// Small JSON writers for the vyr command's output: one line of JSON per answer.
#pragma once

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

namespace vyr::json {

// TEXT as a JSON string literal; bytes that are not valid UTF-8 are written as \u00XX escapes of
// their byte value, so the output is always valid JSON.
inline std::string quote(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x80) {
          // Keep a well-formed UTF-8 sequence as it is; escape anything else byte by byte.
          std::size_t len = c >= 0xF0 && c < 0xF5   ? 4
                            : c >= 0xE0             ? 3
                            : c >= 0xC2 && c < 0xE0 ? 2
                                                    : 0;
          bool ok = len > 0 && i + len <= text.size();
          for (std::size_t k = 1; ok && k < len; ++k) {
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
          }
          if (ok) {
            out.append(text.substr(i, len));
            i += len - 1;
          } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
          }
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// A number printed to 17 significant digits, which round-trips every double exactly; JSON has no
// infinities or NaN, so those print as null.
inline std::string number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// A colour as [r, g, b, a].
inline std::string colour(const std::array<double, 4>& c) {
  return "[" + number(c[0]) + ", " + number(c[1]) + ", " + number(c[2]) + ", " + number(c[3]) + "]";
}

}  // namespace vyr::json
