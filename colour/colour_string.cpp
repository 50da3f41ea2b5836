// Colour strings to colours: colorFromHex, and the alpha suffix of a whole colour string.
#include "colour/colour_string.hpp"

#include <cstdint>
#include <string>
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

}  // namespace

extern "C" objc::id colorFromHex(objc::id hexString) noexcept {
  ns::String text(hexString);
  if (text.length() == 0) return randomColour().get();
  if (text.hasPrefix(ns::String::literal<"#">())) text = text.substringFromIndex(1);
  const char* utf8 = text.UTF8String();
  const std::string hex = utf8 != nullptr ? std::string(utf8, libsystem::strlen(utf8)) : "";
  std::vector<unsigned char> rgb(3, 0);
  hextodec(expandShortForm(hex), rgb);
  return ui::Color::withRed(component(rgb[0]), component(rgb[1]), component(rgb[2]), 1.0).get();
}

namespace colour {

objc::id readColourString(objc::id text) noexcept {
  const ns::String string(text);
  const ns::String colon = ns::String::literal<":">();
  const ns::Array pieces = string.componentsSeparatedByString(colon);
  objc::CGFloat alpha = 1.0;
  if (string.rangeOfString(colon).location != objc::NSNotFound) {
    alpha = static_cast<objc::CGFloat>(ns::String(pieces.objectAtIndexedSubscript(1)).floatValue());
  }
  const ui::Color colour(colorFromHex(pieces.objectAtIndex(0)));
  return colour.withAlphaComponent(alpha).get();
}

}  // namespace colour
