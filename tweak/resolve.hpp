// The colour decision every element hook makes first on every call.
#pragma once

#include "tweak/settings.hpp"

// What a hook does with its element's colour: when REPLACE is true it puts COLOUR (which may be
// nil) where the host's colour would have gone; otherwise it behaves exactly as the host's method.
// COLOUR is autoreleased: valid for the caller's autorelease pool, owned by nobody else's count.
struct ColourChoice {
  bool replace = false;
  objc::id colour = nullptr;
};

// The fifteen preset colours, indexed 1 to 15; a new autoreleased colour per call, or nil for an
// index outside 1 to 15.
objc::id presetPaletteColour(std::int32_t index);

// Where the decision for element E takes its colour from right now: the custom colour while E's
// custom switch is on, else the preset. Reads nothing but the switch; changes nothing.
enum class ColourSource { custom, preset };
ColourSource colourSourceOf(ElementId e);

// The colour decision for element E:
//  - custom switch on: the custom colour stored under the element's colour key (fallback
//    "#a1a1a1:1.0"), read afresh; the preset fields are not touched;
//  - otherwise the element's enable and preset keys are read afresh (a missing file or key keeps
//    the last value), a palette colour is made for an index in 1 to 15 (kept as the element's
//    last palette colour), and the choice is the enable switch with the last palette colour.
// Touches only E's own fields. Safe on any thread.
ColourChoice resolveElementColour(ElementId e);
