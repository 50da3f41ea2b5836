// Colour strings to colours: colorFromHex, and the alpha suffix of a whole colour string.
#include "colour/colour_string.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "colour/colour.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/system/libsystem.h"
#include "platform/uikit/facade.hpp"

namespace {

// A random, fairly bright and saturated colour. The draws are separate statements so that their
// order (hue, saturation, brightness) is fixed.
ui::Color randomColour() {
  const std::uint32_t hueDraw = libsystem::arc4random();
  const std::uint32_t saturationDraw = libsystem::arc4random();
  const std::uint32_t brightnessDraw = libsystem::arc4random();
  const double hue = static_cast<double>(hueDraw % 256) / 256.0;
  const double saturation = static_cast<double>(saturationDraw % 128) / 256.0 + 0.5;
  const double brightness = static_cast<double>(brightnessDraw % 128) / 256.0 + 0.5;
  return ui::Color::withHue(hue, saturation, brightness, 1.0);
}

// The six-digit text for HEX: six bytes as they are, anything else as the short form. Fewer than
// two bytes would leave nothing to double for green: the missing bytes count as "0" digits, so
// the result always has at least four characters and hextodec never throws here.
std::string expandShortForm(std::string hex) {
  if (hex.size() == 6) return hex;
  if (hex.size() < 2) hex.resize(2, '0');
  std::string out{hex[0], hex[0], hex[1], hex[1]};
  if (hex.size() >= 3) out.append(2, hex[2]);
  return out;
}

// A byte as a component: single-precision division, widened afterwards.
objc::CGFloat component(unsigned char byte) {
  return static_cast<objc::CGFloat>(static_cast<float>(byte) / 255.0f);
}

// The colour of a hex part given as bytes (the "#" still on it, if any): what colorFromHex makes
// of the NSString holding those bytes.
objc::id colourOfHexBytes(std::string_view text) noexcept {
  if (text.empty()) return randomColour().get();
  if (text.front() == '#') text.remove_prefix(1);
  std::vector<unsigned char> rgb(3, 0);
  hextodec(expandShortForm(std::string(text)), rgb);
  return ui::Color::withRed(component(rgb[0]), component(rgb[1]), component(rgb[2]), 1.0).get();
}

// The UTF-8 bytes of TEXT, up to the first NUL as UTF8String gives them.
std::string_view bytesOf(ns::String text) {
  const char* utf8 = text.UTF8String();
  return utf8 != nullptr ? std::string_view(utf8, libsystem::strlen(utf8)) : std::string_view();
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" objc::id colorFromHex(objc::id hexString) noexcept {
  ns::String text(hexString);
  if (text.length() == 0) return randomColour().get();
  return colourOfHexBytes(bytesOf(text));
}

namespace colour {

// The pieces are cut from the string's bytes rather than with componentsSeparatedByString:: a ":"
// is one byte that never occurs inside a multi-byte character, so the pieces are the same bytes,
// and the hex part goes through the same steps colorFromHex takes. Only the alpha piece, when
// there is one, becomes a string again, for the platform's own floatValue.
objc::id readColourString(objc::id text) noexcept {
  if (text == nullptr) {
    // A missing string has no pieces: its hex part reads as empty (a random colour) and its alpha,
    // asked of nothing, as 0.
    return ui::Color(randomColour().get()).withAlphaComponent(0).get();
  }
  const std::string_view bytes = bytesOf(ns::String(text));
  const std::size_t colon = bytes.find(':');
  objc::CGFloat alpha = 1.0;
  if (colon != std::string_view::npos) {
    const std::string_view rest = bytes.substr(colon + 1);
    const std::string piece(rest.substr(0, rest.find(':')));
    alpha = static_cast<objc::CGFloat>(ns::String::withUTF8(piece.c_str()).floatValue());
  }
  const ui::Color colour(colourOfHexBytes(bytes.substr(0, colon)));
  return colour.withAlphaComponent(alpha).get();
}

bool readsRandomly(objc::id text) noexcept {
  if (text == nullptr) return true;
  // Nothing before the first ":" at all; a lone "#" is a hex part of its own (black).
  const std::string_view bytes = bytesOf(ns::String(text));
  return bytes.empty() || bytes.front() == ':';
}

bool readsQuietly(objc::id text) noexcept {
  if (text == nullptr) return false;
  std::string_view hex = bytesOf(ns::String(text));
  hex = hex.substr(0, hex.find(':'));
  if (!hex.empty() && hex.front() == '#') hex.remove_prefix(1);
  // An empty hex part draws random numbers; an invalid digit writes a log line.
  if (hex.empty()) return false;
  for (char c : hex) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

}  // namespace colour
