#include "vyr/base/out.hpp"

#include <cstring>

#include "vyr/base/printable.hpp"

namespace vyr::out {
namespace {

bool writeAll(std::FILE* to, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), to) == text.size();
}

// Appends one conversion CONVERSION (the whole "%...c", with any "*" already taken from ARGS) to
// OUT. The variadic call is the one place a format is not a literal: CONVERSION was checked by the
// caller's format attribute, and is rebuilt here only from its own characters.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
void append(std::string& out, const std::string& conversion, const int* stars, int starCount,
            T value) {
  char small[128];
  int n = 0;
  const auto run = [&](char* to, std::size_t size) {
    if (starCount == 2)
      return std::snprintf(to, size, conversion.c_str(), stars[0], stars[1], value);
    if (starCount == 1) return std::snprintf(to, size, conversion.c_str(), stars[0], value);
    return std::snprintf(to, size, conversion.c_str(), value);
  };
  n = run(small, sizeof small);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof small) {
    out.append(small, static_cast<std::size_t>(n));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  run(big.data(), big.size());
  out.append(big.data(), static_cast<std::size_t>(n));
}
#pragma GCC diagnostic pop

}  // namespace

std::string formatList(const char* format, std::va_list args) {
  std::string out;
  std::va_list list;
  va_copy(list, args);
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      const std::size_t n = next != nullptr ? static_cast<std::size_t>(next - p) : std::strlen(p);
      out.append(p, n);
      p += n;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      p += 2;
      continue;
    }
    // One conversion: flags, width, precision, length, then its letter.
    std::string conversion = "%";
    int stars[2] = {0, 0};
    int starCount = 0;
    const char* q = p + 1;
    while (*q != '\0' && std::strchr("-+ #0'", *q) != nullptr) conversion += *q++;
    for (int part = 0; part < 2; ++part) {
      if (part == 1) {
        if (*q != '.') break;
        conversion += *q++;
      }
      if (*q == '*') {
        stars[starCount++] = va_arg(list, int);
        conversion += *q++;
      }
      while (*q >= '0' && *q <= '9') conversion += *q++;
    }
    std::string length;
    while (*q != '\0' && std::strchr("hlLqjzt", *q) != nullptr) length += *q++;
    conversion += length;
    const char letter = *q;
    if (letter == '\0') break;
    conversion += letter;
    p = q + 1;
    switch (letter) {
      case 's': {
        const char* text = va_arg(list, const char*);
        append(out, conversion, stars, starCount,
               printable(text != nullptr ? text : "(null)").c_str());
        break;
      }
      case 'c':
        // A lone byte is escaped like a string of one.
        append(out, "%" + conversion.substr(1, conversion.size() - 2) + "s", stars, starCount,
               printable(std::string(1, static_cast<char>(va_arg(list, int)))).c_str());
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        if (length == "l") {
          append(out, conversion, stars, starCount, va_arg(list, long));
        } else if (length == "ll" || length == "q" || length == "j") {
          append(out, conversion, stars, starCount, va_arg(list, long long));
        } else if (length == "z" || length == "t") {
          append(out, conversion, stars, starCount, va_arg(list, std::size_t));
        } else {
          append(out, conversion, stars, starCount, va_arg(list, int));
        }
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (length == "L") {
          append(out, conversion, stars, starCount, va_arg(list, long double));
        } else {
          append(out, conversion, stars, starCount, va_arg(list, double));
        }
        break;
      case 'p':
        append(out, conversion, stars, starCount, va_arg(list, void*));
        break;
      default:
        // %n and unknown letters write nothing (the format attribute flags them at compile time).
        va_end(list);
        return out;
    }
  }
  va_end(list);
  return out;
}

std::string format(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = formatList(format, args);
  va_end(args);
  return text;
}

bool print(std::FILE* to, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = formatList(format, args);
  va_end(args);
  return writeAll(to, text);
}

bool lines(std::FILE* to, std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    out += printable(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    out += '\n';
    text.remove_prefix(nl + 1);
  }
  return writeAll(to, out);
}

bool drawing(std::FILE* to, std::string_view drawing) {
  return writeAll(to, drawing);
}

bool bytes(std::FILE* to, std::string_view data) {
  return writeAll(to, data);
}

}  // namespace vyr::out
