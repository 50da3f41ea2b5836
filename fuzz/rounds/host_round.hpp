// The status-bar library in a host, as the fuzz targets and the robustness tests drive it: the
// library started as the substrate loader starts it in a UI process, then rounds of the calls a
// host makes, each checked against what must hold whatever the preferences file says.
//
// A failed check prints what failed and aborts, so that a fuzzer reports the input and a test
// fails.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/rounds/scratch_device.hpp"

namespace vyrfuzz {

using Rgba = std::array<double, 4>;

// The element hooks, in the order the library installs them.
inline constexpr std::size_t kElementHooks = 10;

// The colour the host's setters and initialiser are given, which the hooks replace or hand on:
// #010203, a colour that no palette entry or colour string of the tests has.
Rgba hostArgumentColour();

// Starts the library in this process on the scratch device, as the substrate loader does in a UI
// process: initSettings, then installHooks. Only the first call does anything.
void startHost();

// Puts the library's settings record back to its values at load, so that an input starts from
// the state of a fresh host whatever the inputs before it did. Not while hooks run on other
// threads.
void resetSettings();

// Posts the settings-changed notification and delivers it on the calling thread, as the run loop
// of the host's main thread does: the library's reload of the custom switches.
void reloadAsNotified();

// What a host saw in one call of every hook.
struct HostAnswers {
  // Per element hook in install order, the colour that took the host's place: for the initialiser
  // and the setters the colour the host object holds afterwards, for the getters their answer.
  // Nothing for no colour.
  std::array<std::optional<Rgba>, kElementHooks> colours;
  // Whether the hooked method exists in this process's release at all; where it does not, nothing
  // was sent and its colour is nothing.
  std::array<bool, kElementHooks> asked{};
  long lockScreenStyle = 0;
};

// Sends each of the ten hooked messages that this process's release has once to a host object of
// its class, made for this call,
// then the lock screen's statusBarStyle. Checks that every colour is a UIColor with red, green and
// blue in 0 to 1 and an alpha that is a number, and that the style is 0 or 1. Safe on any thread
// once startHost has returned.
HostAnswers callEveryHook();

// The round of the preferences-file fuzz target: BYTES as the whole preferences file, the record
// reset, the reload as notified, every hook.
HostAnswers prefsFileRound(std::string_view bytes);

// What colorFromDefaultsWithKey made of one colour string.
struct ColourAnswers {
  Rgba stored;    // the string stored under "vyrColor1", a fallback that is never used
  Rgba fallback;  // the string as the fallback of a key that is absent
};

// The round of the colour-string fuzz target: TEXT stored under "vyrColor1" in the preferences
// file (byte for byte) and read with colorFromDefaultsWithKey, then given as the fallback of an
// absent key. Checks both colours as callEveryHook does, and that both readings agree wherever
// the colour is not random (an empty hex part), the text holds no NUL (which the fallback, made
// from a C string, cannot carry) and the file stays far below the reader's size limit.
ColourAnswers colourStringRound(std::string_view text);

// A binary property list whose root dictionary holds KEY with an ASCII-string object of exactly
// the bytes of VALUE: any byte, NUL and invalid UTF-8 included, which no text writer carries.
std::string binaryPlistWithString(std::string_view key, std::string_view value);

}  // namespace vyrfuzz
