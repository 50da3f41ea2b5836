// Where each recoloured element is drawn on the phone's picture, for the page: it highlights the
// element of the row under the pointer or focus, and magnifies the status bars.
#pragma once

#include <string>

namespace vyr::studio {

// {"canvas": {...}, "bar": {"home": rect, "lock": rect}, "elements": [{"name": "sig", "keys":
// [the element's four preference keys], "regions": [rect...]}]}, every rect {"x", "y", "width",
// "height"} in the picture's points (vyr/render/layout.hpp).
std::string elementRegionsJson();

}  // namespace vyr::studio
