// The table printed under the picture: one row per colour the scene asked for.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vyr/show/scene.hpp"

namespace vyr::show {

struct Row {
  std::string screen;   // "home", "lock"
  std::string item;     // what is drawn in it: "signal", "clock and date", ...
  std::string element;  // "sig", ..., or "-" for the lock screen's style
  std::string source;   // see describeSource
  std::string value;    // "#rrggbbaa", "none", or the style ("0 default")
};

using Describe = std::function<std::string(ElementId, const Answer&)>;

// The rows of SCENE in drawing order (home bar, refresh control, lock style, lock bar, clock),
// each source named by DESCRIBE.
std::vector<Row> tableRows(const Scene& scene, const Describe& describe);

// A heading line naming the device state, then ROWS as aligned columns under a header; ends with
// a newline.
std::string formatTable(const Scene& scene, const std::vector<Row>& rows);

// "#rrggbbaa", each component rounded to a byte; "none" for no colour.
std::string hexOf(const std::optional<Rgba>& colour);

// "default" or "light" for the styles the command knows; the number otherwise.
std::string styleName(long style);

}  // namespace vyr::show
