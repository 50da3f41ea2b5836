// The scene drawn as text for a terminal with 24-bit colour: the same two screens as the picture,
// one character cell per thing, each element in the colour the process answered (composited over
// its background, since a terminal has no alpha).
#pragma once

#include <string>

#include "vyr/show/scene.hpp"

namespace vyr::show {

// Whether standard output is a terminal that shows 24-bit colour (COLORTERM is "truecolor" or
// "24bit").
bool terminalShowsTrueColour();

// The two screens side by side under a caption line, as lines of UTF-8 with 24-bit colour escape
// sequences; every line ends with a reset and a newline. An element without a colour is left
// blank.
std::string renderTerminal(const Scene& scene);

}  // namespace vyr::show
