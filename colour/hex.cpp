// Hexadecimal text to numbers: convertFromHex and hextodec.
#include <cstdint>
#include <stdexcept>

#include "colour/colour.hpp"
#include "platform/foundation/facade.hpp"

namespace {

// The value of hexadecimal digit C, or -1 for any other byte.
int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void logInvalid(char c) {
  // The code as a signed byte whatever the signedness of char, as the device (signed char) logs.
  NSLog(ns::String::literal<"Error, invalid char '%d' in hex number">().get(),
        static_cast<int>(static_cast<signed char>(c)));
}

}  // namespace

int convertFromHex(std::string hex) {
  std::uint32_t total = 0;  // unsigned, so that the sum wraps modulo 2^32 without overflow
  std::size_t position = 0;
  for (auto it = hex.rbegin(); it != hex.rend(); ++it, ++position) {
    const int value = digitValue(*it);
    if (value < 0) {
      logInvalid(*it);
      continue;
    }
    // 16^position is a multiple of 2^32 from position 8 on: such digits add nothing (and the
    // shift would be undefined).
    if (position < 8) total += static_cast<std::uint32_t>(value) << (4 * position);
  }
  return static_cast<int>(total);
}

void hextodec(std::string hex, std::vector<unsigned char>& rgb) {
  // The text is checked before anything is cut, so the message is the same whatever the
  // standard library's own wording of a substring error.
  if (hex.size() < 4) throw std::out_of_range("basic_string::substr");
  if (rgb.size() < 3) throw std::invalid_argument("hextodec: fewer than three bytes to fill");
  const std::string red = hex.substr(0, 2);
  const std::string green = hex.substr(2, 2);
  const std::string blue = hex.substr(4, 2);
  const int r = convertFromHex(red);
  const int g = convertFromHex(green);
  const int b = convertFromHex(blue);
  rgb[0] = static_cast<unsigned char>(r);
  rgb[1] = static_cast<unsigned char>(g);
  rgb[2] = static_cast<unsigned char>(b);
}
