#include "vyr/base/json.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/objc/runtime.hpp"

namespace vyr::json {
namespace {

// nlohmann-json writes compact or indented text and real numbers in their shortest round-trip
// form; the answers keep the spaced one-line form and as many digits as identify the number, so
// only the layout and the real numbers are written here. A colour component is a CGFloat: where
// that is a float (32-bit ARM), a real that a float holds exactly is written to the float's
// digits (9), as the device computed it, rather than to a double's 17 digits. Strings, integers and
// literals are nlohmann-json's own.
void write(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::object: {
      out += '{';
      const char* separator = "";
      for (const auto& [key, item] : value.items()) {
        out += separator;
        out += Value(key).dump(-1, ' ', false, Value::error_handler_t::replace);
        out += ": ";
        write(out, item);
        separator = ", ";
      }
      out += '}';
      break;
    }
    case Value::value_t::array: {
      out += '[';
      const char* separator = "";
      for (const Value& item : value) {
        out += separator;
        write(out, item);
        separator = ", ";
      }
      out += ']';
      break;
    }
    case Value::value_t::number_float: {
      const double real = value.get<double>();
      if (!std::isfinite(real)) {
        out += "null";
        break;
      }
      using CGFloat = objc::CGFloat;
      const bool cgfloat = std::fabs(real) <= std::numeric_limits<CGFloat>::max() &&
                           static_cast<double>(static_cast<CGFloat>(real)) == real;
      const int precision = cgfloat ? std::numeric_limits<CGFloat>::max_digits10
                                    : std::numeric_limits<double>::max_digits10;
      char digits[40];
      std::snprintf(digits, sizeof digits, "%.*g", precision, real);
      out += digits;
      break;
    }
    default:
      out += value.dump(-1, ' ', false, Value::error_handler_t::replace);
      break;
  }
}

}  // namespace

std::string line(const Value& value) {
  std::string out;
  write(out, value);
  return out;
}

Value colour(const std::array<double, 4>& components) {
  return Value::array({components[0], components[1], components[2], components[3]});
}

}  // namespace vyr::json
