// Naming where each colour of a scene came from: the host, the element's custom colour, or an
// entry of the preset palette.
//
// Whether a colour is the host's own is a fact of the scene (the host's record). Which of VYR's two
// sources gave it is read beside it: the custom switches as the library holds them (read when it
// was injected and again on each settings-changed notification, so this module follows them the
// same way), and the preset palette entry that the answered colour is.
#pragma once

#include <optional>
#include <string>

#include "vyr/show/scene.hpp"

namespace vyr::show {

// Reads the six custom switches now and again whenever the settings-changed notification is
// delivered to this process (on the thread that delivers it). Call once, on the main thread,
// right after VYRSignals was injected; a second call only re-reads. A missing file or key leaves
// a switch as it was (off at first), as in the library.
void followCustomSwitches();

// Where ANSWER of element E came from:
//   "host's own"               the host's implementation chose it;
//   "custom vyrColorN"         the element's custom switch is on;
//   "preset N NAME"            the palette entry N that the colour is (the file's preset index
//                              first, when it names that colour);
//   "preset, no entry yet"     VYR replaced the colour with none (no valid index so far);
//   "preset, unknown entry"    a replaced colour that matches no entry.
// Reads the preferences file; call on the main thread.
std::string describeSource(Element e, const Answer& answer);

// The name of palette entry INDEX ("light grey"), or nullptr outside 1 to 15.
const char* presetName(int index);

// The colour of palette entry INDEX as the platform's colour class makes it, or nothing outside
// 1 to 15. Call on the main thread.
std::optional<Rgba> presetColour(int index);

}  // namespace vyr::show
