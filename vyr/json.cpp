#include "vyr/json.hpp"

#include <cmath>
#include <cstdio>

namespace vyr::json {
namespace {

// nlohmann-json writes compact or indented text and real numbers in their shortest round-trip
// form; the answers keep the spaced one-line form and 17 digits, so only the layout and the real
// numbers are written here. Strings, integers and literals are nlohmann-json's own.
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
      char digits[40];
      std::snprintf(digits, sizeof digits, "%.17g", real);
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
