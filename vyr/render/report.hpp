// The table printed under the picture: one row per colour the scene asked for.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vyr/render/scene.hpp"

namespace vyr::show {

struct Row {
  std::string screen;   // "home", "lock"
  std::string item;     // what is drawn in it: "signal", "clock and date", ...
  std::string element;  // "sig", ..., or "-" for the lock screen's style
  std::string source;   // see describeSource
  std::string value;    // a colour string (see colourString), "none", or the style ("0 default")
};

using Describe = std::function<std::string(ElementId, const Answer&)>;

// The rows of SCENE in drawing order (home bar, refresh control, lock style, lock bar, clock),
// each source named by DESCRIBE.
std::vector<Row> tableRows(const Scene& scene, const Describe& describe);

// A heading line naming the device state, a line "note: ..." for each of the scene's notes, then
// ROWS as aligned columns under a header; ends with a newline.
std::string formatTable(const Scene& scene, const std::vector<Row>& rows);

// The colour as the system's own colour string, the form the colour cells store:
// "#RRGGBB:A.AAAAAA", upper-case hex with each component rounded to a byte and the alpha with six
// decimals ("#4CD964:1.000000"), so that it reads back as itself through the library (which reads
// an eight-digit "#rrggbbaa" from its first three digits). "none" for no colour.
std::string colourString(const std::optional<Rgba>& colour);

// The rows of AFTER whose source or colour differ from the same row of BEFORE (or that BEFORE
// lacks), as "screen item" ("home signal"), in AFTER's order.
std::vector<std::string> changedItems(const std::vector<Row>& before,
                                      const std::vector<Row>& after);

// "#rrggbbaa", each component rounded to a byte; "none" for no colour. For CSS, never for a
// value a user may paste back.
std::string hexOf(const std::optional<Rgba>& colour);

// "default" or "light" for the styles the command knows; the number otherwise.
std::string styleName(long style);

}  // namespace vyr::show
