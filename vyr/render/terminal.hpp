// The scene drawn as text for a terminal with 24-bit colour: the same two screens as the picture,
// one character cell per thing, each element in the colour the process answered (composited over
// its background, since a terminal has no alpha).
#pragma once

#include <string>

#include "vyr/render/scene.hpp"

namespace vyr::show {

// The colours standard output shows: none when it is no terminal (or TERM is "dumb" or unset and
// COLORTERM says nothing); 24-bit when COLORTERM is "truecolor" or "24bit"; else the 256 colours
// of the xterm palette, which every colour terminal of today has.
enum class TerminalColours { none, palette256, trueColour };
TerminalColours terminalColours();

// Whether standard output is a terminal that shows 24-bit colour.
bool terminalShowsTrueColour();

// The columns the two screens need side by side.
int terminalDrawingColumns();
// The columns of the terminal on standard output: its window size, else $COLUMNS; 0 when neither
// says.
int terminalColumns();

// The two screens side by side under a caption line, as lines of UTF-8 with colour escape
// sequences (24-bit, or the nearest of the 256-colour palette); every line ends with a reset and
// a newline. An element without a colour is left blank.
std::string renderTerminal(const Scene& scene,
                           TerminalColours colours = TerminalColours::trueColour);

}  // namespace vyr::show
