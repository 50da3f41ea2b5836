#include "platform/colorpicker/colour_string.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace colorpicker {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// A plain decimal ("1", "0.5", ".5", "1.0"): from_chars alone would also take "inf", "nan" and
// exponents, which no colour cell ever writes.
std::optional<double> parseAlpha(std::string_view text) {
  if (text.empty() || text.size() > 32) return std::nullopt;
  bool digits = false;
  bool point = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digits = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;
  double value = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (err != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!(value >= 0.0 && value <= 1.0)) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Colour> parseColourString(std::string_view text) {
  text = trimmed(text);
  std::string_view alphaText;
  bool hasAlpha = false;
  if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    alphaText = text.substr(colon + 1);
    text = text.substr(0, colon);
    hasAlpha = true;
  }
  const bool hash = !text.empty() && text.front() == '#';
  if (hash) text.remove_prefix(1);
  // "#RRGGBBAA" (what many tools print) carries its alpha as a fourth byte; only with its "#"
  // and without an alpha suffix, so that no other spelling changes meaning.
  const bool alphaByte = hash && !hasAlpha && text.size() == 8;
  if (text.size() != 3 && text.size() != 6 && !alphaByte) return std::nullopt;

  int nibbles[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    nibbles[i] = hexDigit(text[i]);
    if (nibbles[i] < 0) return std::nullopt;
  }
  const auto channel = [&](std::size_t n) {
    const int value = text.size() == 3 ? nibbles[n] * 17 : nibbles[2 * n] * 16 + nibbles[2 * n + 1];
    return static_cast<std::uint8_t>(value);
  };

  Colour c;
  c.red = channel(0);
  c.green = channel(1);
  c.blue = channel(2);
  if (alphaByte) c.alpha = (nibbles[6] * 16 + nibbles[7]) / 255.0;
  if (hasAlpha) {
    const auto alpha = parseAlpha(alphaText);
    if (!alpha) return std::nullopt;
    c.alpha = *alpha;
  }
  return c;
}

std::string formatColourString(const Colour& c) {
  const double alpha = std::isnan(c.alpha) ? 1.0 : std::clamp(c.alpha, 0.0, 1.0);
  char text[32];
  std::snprintf(text, sizeof text, "#%02X%02X%02X:%.6f", c.red, c.green, c.blue, alpha);
  return text;
}

}  // namespace colorpicker
