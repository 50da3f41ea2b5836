// Formatting of stringWithFormat: and NSLog, the log line of the stand-in, and NSLog itself.
#include "platform/foundation/format.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/foundation/internal.hpp"

namespace foundation {
namespace {

enum class Length { None, Char, Short, Long, LongLong, Size, PtrDiff, Max, LongDouble };

struct Field {
  std::string flags;
  int width = -1;
  int precision = -1;
  Length length = Length::None;
  char conversion = 0;
};

// Appends VALUE printed with the printf conversion of FIELD (whose conversion letter is CONV and
// whose length modifier is LENGTH, already spelled for printf).
template <class T>
void appendPrinted(std::string& out, const Field& field, const char* length, char conv, T value) {
  std::string fmt = "%" + field.flags;
  if (field.width >= 0) fmt += std::to_string(field.width);
  if (field.precision >= 0) fmt += "." + std::to_string(field.precision);
  fmt += length;
  fmt += conv;
  // The format is built here from checked pieces, never taken from the caller.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int needed = std::snprintf(nullptr, 0, fmt.c_str(), value);
  if (needed <= 0) return;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(needed) + 1);
  std::snprintf(out.data() + start, static_cast<std::size_t>(needed) + 1, fmt.c_str(), value);
#pragma GCC diagnostic pop
  out.resize(start + static_cast<std::size_t>(needed));
}

// Pads TEXT (already cut to the precision) to the field width of FIELD.
void appendText(std::string& out, const Field& field, std::string_view text) {
  if (field.precision >= 0 && text.size() > static_cast<std::size_t>(field.precision)) {
    text = text.substr(0, static_cast<std::size_t>(field.precision));
  }
  const std::size_t width = field.width > 0 ? static_cast<std::size_t>(field.width) : 0;
  const std::size_t pad = width > text.size() ? width - text.size() : 0;
  const bool left = field.flags.find('-') != std::string::npos;
  if (!left) out.append(pad, ' ');
  out.append(text);
  if (left) out.append(pad, ' ');
}

void appendUTF8(std::string& out, std::uint32_t unit) {
  if (unit < 0x80) {
    out += static_cast<char>(unit);
  } else if (unit < 0x800) {
    out += static_cast<char>(0xC0 | (unit >> 6));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  }
}

// Wide enough for the negated INT_MIN of a '*' width, on 32-bit too.
int clampField(long long value) {
  return value > kMaxFieldWidth ? kMaxFieldWidth : static_cast<int>(value);
}

// Reads decimal digits at FMT[I...] as a field width or precision.
int readNumber(std::string_view fmt, std::size_t& i) {
  long value = 0;
  while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
    if (value <= kMaxFieldWidth) value = value * 10 + (fmt[i] - '0');
    ++i;
  }
  return clampField(value);
}

void appendSigned(std::string& out, const Field& field, va_list& args) {
  switch (field.length) {
    case Length::Long:
      return appendPrinted(out, field, "l", field.conversion, va_arg(args, long));
    case Length::LongLong:
      return appendPrinted(out, field, "ll", field.conversion, va_arg(args, long long));
    case Length::Size:
    case Length::PtrDiff:
      return appendPrinted(out, field, "l", field.conversion, va_arg(args, long));
    case Length::Max:
      return appendPrinted(out, field, "j", field.conversion, va_arg(args, intmax_t));
    case Length::Char:
      return appendPrinted(out, field, "hh", field.conversion, va_arg(args, int));
    case Length::Short:
      return appendPrinted(out, field, "h", field.conversion, va_arg(args, int));
    default:
      return appendPrinted(out, field, "", field.conversion, va_arg(args, int));
  }
}

void appendUnsigned(std::string& out, const Field& field, va_list& args) {
  switch (field.length) {
    case Length::Long:
    case Length::Size:
    case Length::PtrDiff:
      return appendPrinted(out, field, "l", field.conversion, va_arg(args, unsigned long));
    case Length::LongLong:
      return appendPrinted(out, field, "ll", field.conversion, va_arg(args, unsigned long long));
    case Length::Max:
      return appendPrinted(out, field, "j", field.conversion, va_arg(args, uintmax_t));
    case Length::Char:
      return appendPrinted(out, field, "hh", field.conversion, va_arg(args, unsigned));
    case Length::Short:
      return appendPrinted(out, field, "h", field.conversion, va_arg(args, unsigned));
    default:
      return appendPrinted(out, field, "", field.conversion, va_arg(args, unsigned));
  }
}

}  // namespace

std::string formatV(std::string_view fmt, va_list ap) {
  // va_list may be an array type: work on a copy that can be passed by reference.
  va_list args;
  va_copy(args, ap);
  std::string out;
  try {
    std::size_t i = 0;
    while (i < fmt.size()) {
      const std::size_t percent = fmt.find('%', i);
      if (percent == std::string_view::npos) {
        out.append(fmt.substr(i));
        break;
      }
      out.append(fmt.substr(i, percent - i));
      i = percent + 1;

      Field field;
      for (; i < fmt.size(); ++i) {
        const char c = fmt[i];
        if (c != '-' && c != '+' && c != ' ' && c != '#' && c != '0') break;
        if (field.flags.find(c) == std::string::npos) field.flags += c;
      }
      if (i < fmt.size() && fmt[i] == '*') {
        const int w = va_arg(args, int);
        if (w < 0) {
          if (field.flags.find('-') == std::string::npos) field.flags += '-';
          field.width = clampField(-static_cast<long long>(w));
        } else {
          field.width = clampField(w);
        }
        ++i;
      } else if (i < fmt.size() && fmt[i] >= '1' && fmt[i] <= '9') {
        field.width = readNumber(fmt, i);
      }
      if (i < fmt.size() && fmt[i] == '.') {
        ++i;
        if (i < fmt.size() && fmt[i] == '*') {
          const int p = va_arg(args, int);
          field.precision = p < 0 ? -1 : clampField(p);
          ++i;
        } else {
          field.precision = readNumber(fmt, i);
        }
      }
      if (i < fmt.size()) {
        switch (fmt[i]) {
          case 'h':
            ++i;
            field.length = Length::Short;
            if (i < fmt.size() && fmt[i] == 'h') {
              ++i;
              field.length = Length::Char;
            }
            break;
          case 'l':
            ++i;
            field.length = Length::Long;
            if (i < fmt.size() && fmt[i] == 'l') {
              ++i;
              field.length = Length::LongLong;
            }
            break;
          case 'q':
            ++i;
            field.length = Length::LongLong;
            break;
          case 'z':
            ++i;
            field.length = Length::Size;
            break;
          case 't':
            ++i;
            field.length = Length::PtrDiff;
            break;
          case 'j':
            ++i;
            field.length = Length::Max;
            break;
          case 'L':
            ++i;
            field.length = Length::LongDouble;
            break;
          default:
            break;
        }
      }
      field.conversion = i < fmt.size() ? fmt[i] : '\0';
      const bool plain = field.length == Length::None;
      const bool integral = field.length != Length::LongDouble;
      bool known = true;
      switch (field.conversion) {
        case '%':
          out += '%';
          break;
        case '@':
          if (!plain) {
            known = false;
            break;
          }
          appendText(out, field, describe(va_arg(args, id)));
          break;
        case 'd':
        case 'i':
          if (integral) {
            appendSigned(out, field, args);
          } else {
            known = false;
          }
          break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
          if (integral) {
            appendUnsigned(out, field, args);
          } else {
            known = false;
          }
          break;
        case 'c':
          if (!plain) {
            known = false;
            break;
          }
          {
            const char c = static_cast<char>(va_arg(args, int));
            appendText(out, Field{field.flags, field.width, -1, Length::None, 'c'},
                       std::string_view(&c, 1));
          }
          break;
        case 'C':
          if (!plain) {
            known = false;
            break;
          }
          {
            std::string unit;
            appendUTF8(unit, static_cast<std::uint16_t>(va_arg(args, unsigned)));
            appendText(out, Field{field.flags, field.width, -1, Length::None, 'C'}, unit);
          }
          break;
        case 's':
          if (!plain) {
            known = false;
            break;
          }
          {
            const char* text = va_arg(args, const char*);
            appendText(out, field, text != nullptr ? std::string_view(text) : "(null)");
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
          if (field.length == Length::LongDouble) {
            appendPrinted(out, field, "L", field.conversion, va_arg(args, long double));
          } else if (plain || field.length == Length::Long) {
            appendPrinted(out, field, "", field.conversion, va_arg(args, double));
          } else {
            known = false;
          }
          break;
        case 'p':
          if (!plain) {
            known = false;
            break;
          }
          appendPrinted(out, field, "", 'p', va_arg(args, void*));
          break;
        default:
          known = false;
          break;
      }
      if (!known) {
        out.append(fmt.substr(percent));
        break;
      }
      ++i;
    }
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return out;
}

void logLine(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer - 1, format, args);
  va_end(args);
  if (n < 0) return;
  std::size_t len = static_cast<std::size_t>(n) < sizeof buffer - 1 ? static_cast<std::size_t>(n)
                                                                    : sizeof buffer - 2;
  buffer[len++] = '\n';
  std::fwrite(buffer, 1, len, stderr);
}

void reportFailure(id self, SEL cmd, const char* what) noexcept {
  const bool isClass = self != nullptr && class_isMetaClass(object_getClass(self)) != objc::no;
  logLine("*** %c[%s %s]: failed: %s", isClass ? '+' : '-', objc::className(self),
          cmd != nullptr ? sel_getName(cmd) : "?", what != nullptr ? what : "");
}

}  // namespace foundation

extern "C" __attribute__((visibility("default"))) void NSLog(objc::id format, ...) {
  va_list args;
  va_start(args, format);
  try {
    std::string line =
        format != nullptr ? foundation::formatV(foundation::stringBytes(format), args) : "(null)";
    if (line.empty() || line.back() != '\n') line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
  } catch (...) {
    foundation::logLine("*** NSLog: the message could not be formatted");
  }
  va_end(args);
}
