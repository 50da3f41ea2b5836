// The colour helpers: hexadecimal text to numbers, colour strings to colours, and a colour read
// from a preferences domain with a fallback.
//
// One source set compiled into both deliverables (the status-bar library and the preference
// bundle), each of which exports exactly these four functions and nothing else of this folder.
// A colour string is an optional "#", six hexadecimal digits RRGGBB (or three, RGB, for RRGGBB)
// and an optional alpha suffix ":" and a decimal number, as in "#a1a1a1:1.0".
//
// All four may run on any thread and share no state. Their only output besides their results
// is the log line "Error, invalid char '%d' in hex number", written through NSLog once per
// rejected character.
#pragma once

#include <string>
#include <vector>

#include "platform/objc/runtime.hpp"

#define VYR_COLOUR_EXPORT __attribute__((visibility("default")))

// The value of the hexadecimal number HEX (taken by value: the function works on its own copy),
// read from its last character (position 0) to its first, each digit adding value * 16^position
// modulo 2^32. Digits are 0-9, a-f and A-F. Any other byte, 0x80 and above included, is logged
// once (with its code as a signed 8-bit number, so "g" logs 103 and 0xC3 logs -61) and counts as
// the digit 0 in its place. Positions 8 and beyond lie outside the 32-bit result and add nothing
// (their invalid characters are still logged). An empty text is 0 and logs nothing.
VYR_COLOUR_EXPORT int convertFromHex(std::string hex);

// Reads the colour text HEX (by value) as three two-character groups, characters 0-1, 2-3 and
// 4-5 (a group reaching past the end is shorter, one starting at the end is empty and reads 0),
// converts them with convertFromHex in that order and stores the low eight bits of each into
// RGB[0], RGB[1] and RGB[2]. Characters after the sixth are ignored; the vector's size and its
// elements after the third are never changed.
// Throws std::out_of_range("basic_string::substr") when HEX has fewer than four characters, and
// std::invalid_argument when RGB holds fewer than three elements; in both cases before anything
// is converted, logged or written.
VYR_COLOUR_EXPORT void hextodec(std::string hex, std::vector<unsigned char>& rgb);

extern "C" {

// The opaque colour (a UIColor, autoreleased: the caller does not own it) of the hex part of a
// colour string HEX_STRING (an NSString; nil allowed). Never nil, never throws.
//  - Empty or nil: a random colour from three arc4random draws, in this order: hue (draw % 256) /
//    256, saturation and brightness (draw % 128) / 256 + 0.5; alpha 1.
//  - Otherwise one leading "#" is dropped and the UTF-8 bytes of the rest are the hex text. Six
//    bytes are used as they are; any other length is the short form: the first three bytes, each
//    written twice (b0 b0 b1 b1 b2 b2), later bytes dropped; two bytes expand to b0 b0 b1 b1 and
//    leave blue 0. A text of fewer than two bytes (the lone "#", or one character) is first
//    padded with "0" digits to two bytes, so "#" is black and "#a" is 170, 0, 0.
//  - Each component is its byte divided by 255 in single precision, then widened to CGFloat
//    (161 gives 0.6313725709915161); alpha 1. Invalid digits are logged and read as 0.
VYR_COLOUR_EXPORT objc::id colorFromHex(objc::id hexString) noexcept;

// The colour (a UIColor, autoreleased; never nil) stored under KEY in the property-list file of
// preferences domain DOMAIN, /var/mobile/Library/Preferences/<DOMAIN>.plist, read afresh on
// every call. The stored colour string is split at ":"; its first piece goes through
// colorFromHex, and when there is a ":" the second piece's floatValue (0 when it holds no number)
// replaces the alpha; later pieces are ignored. The FALLBACK colour string is read the same way
// on every call, before the file's dictionary is looked at (so an empty fallback draws a random
// colour on every call), and is returned when the file is missing, unreadable or not a
// dictionary, when the key is absent, or when the stored value is not a string. All three
// arguments are NSStrings; a nil fallback reads as on the device (a random colour with alpha 0).
// Never throws and writes no log line of its own.
VYR_COLOUR_EXPORT objc::id colorFromDefaultsWithKey(objc::id domain, objc::id key,
                                                    objc::id fallback) noexcept;
}
