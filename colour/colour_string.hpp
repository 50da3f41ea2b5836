// Reading a whole colour string, alpha suffix included. Internal to the colour helpers and the
// `vyr colour` command: not exported from the deliverables.
#pragma once

#include "platform/objc/runtime.hpp"

namespace colour {

// The colour (autoreleased UIColor, never nil) of colour string TEXT (an NSString), exactly as
// colorFromDefaultsWithKey reads a stored value or its fallback: the hex part through
// colorFromHex, then the alpha of the suffix (1.0 without a ":"), applied with
// colorWithAlphaComponent:.
objc::id readColourString(objc::id text) noexcept;

// Whether reading TEXT as a colour string has no effect beyond its result: no random numbers drawn
// (its hex part is not empty) and no log line written (every hex digit is valid). Such a reading
// gives the same colour every time, so a caller may skip it when it does not need the colour.
bool readsQuietly(objc::id text) noexcept;

// Whether reading TEXT draws a random colour, a different one on every reading, so that no one
// colour shows what TEXT reads as: a nil TEXT, or nothing before its first ":" ("", ":0.5"; a
// lone "#" reads as black).
bool readsRandomly(objc::id text) noexcept;

}  // namespace colour
