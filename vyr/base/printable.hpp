// Text from the device made safe to print on a terminal.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vyr {

// TEXT with every control character spelt out, so that nothing stored in the device (a settings
// file, a specifier list) can move the cursor, retitle the window or change the terminal's
// state: "\n", "\r", "\t" and "\e" by name, other C0 controls and DEL as "\xNN", and the C1
// controls of UTF-8 (U+0080 to U+009F) as "\u0080" and on. Everything else, bytes that are not
// UTF-8 included, is kept as it is (a lone byte 0x80 to 0x9F is no C1 control in a UTF-8
// terminal). Printable text comes back unchanged.
inline std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buffer[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == 0x1b) {
      out += "\\e";
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
      out += buffer;
    } else if (c == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
      out += buffer;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace vyr
