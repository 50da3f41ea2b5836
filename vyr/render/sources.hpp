// Naming where each colour of a scene came from: the host, the element's custom colour, or an
// entry of the preset palette.
//
// Whether a colour is the host's own is a fact of the scene (the host's record). Which of VYR's two
// sources gave it is the library's own decision: the library's start-up and decision code, linked
// into this process and started beside the injected library, keeps the custom switches by the
// same rules (read at start and on each settings-changed notification) and says which source an
// element takes; the palette entry is read from the library's table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vyr/render/scene.hpp"

namespace vyr::show {

// Starts the library's settings in this process, as the injected library started its own: reads
// the custom switches now and again whenever the settings-changed notification is delivered to
// this process. Call once, on the main thread, right after VYRSignals was injected; a second call
// only re-reads.
void followCustomSwitches();

// Where ANSWER of element E came from:
//   "host's own"               the host's implementation chose it;
//   "custom vyrColorN"         the element's custom switch is on;
//   "preset N NAME"            the palette entry N that the colour is (the file's preset index
//                              first, when it names that colour);
//   "preset, no entry yet"     VYR replaced the colour with none (no valid index so far);
//   "preset, unknown entry"    a replaced colour that matches no entry.
// Reads the preferences file; call on the main thread.
std::string describeSource(ElementId e, const Answer& answer);

// One sentence for every element whose custom switch this process keeps on while the settings
// file holds no such switch (or cannot be read): the library keeps a switch whose key went
// missing, so this SpringBoard shows the custom colour while a respring (or any new process)
// would show what the file's preset settings say, which the sentence names. Reads the
// preferences file; call on the main thread.
std::vector<std::string> liveSwitchNotes();

// The colour of palette entry INDEX as the platform's colour class makes it, or nothing outside
// 1 to 15. Call on the main thread.
std::optional<Rgba> presetColour(int index);

}  // namespace vyr::show
