// The vyr command's answers: JSON values built with nlohmann-json, written one to a line.
#pragma once

#include <array>
#include <string>

#include <nlohmann/json.hpp>

namespace vyr::json {

// Objects keep their keys in the order they were added, as the answers are documented.
using Value = nlohmann::ordered_json;

// VALUE on one line, in the form the README shows: ", " between items, ": " after a key, real
// numbers to 17 significant digits (which round-trips every double, and shows an argument 0.1 as
// the 0.10000000000000001 that reached the host), infinities and NaN as null, and text that is
// not valid UTF-8 with U+FFFD in place of each bad byte.
std::string line(const Value& value);

// A colour as [r, g, b, a].
Value colour(const std::array<double, 4>& components);

}  // namespace vyr::json
