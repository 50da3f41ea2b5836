#include "vyr/render/sources.hpp"

#include <array>
#include <cmath>
#include <optional>

#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "tweak/resolve.hpp"
#include "tweak/settings.hpp"

namespace vyr::show {
namespace {

// The palette's colours, as the library makes them, for matching answers.
const std::array<Rgba, kPaletteSize>& paletteColours() {
  static const std::array<Rgba, kPaletteSize> colours = [] {
    ns::AutoreleasePool pool;
    std::array<Rgba, kPaletteSize> made;
    for (int index = 1; index <= kPaletteSize; ++index) {
      const auto c = ui::Color(presetPaletteColour(index)).components();
      made[static_cast<std::size_t>(index - 1)] = {c[0], c[1], c[2], c[3]};
    }
    return made;
  }();
  return colours;
}

bool sameColour(const Rgba& a, const Rgba& b) {
  constexpr double kTolerance = 1e-6;  // the palette's components are n/255 in either precision
  return std::fabs(a.red - b.red) < kTolerance && std::fabs(a.green - b.green) < kTolerance &&
         std::fabs(a.blue - b.blue) < kTolerance && std::fabs(a.alpha - b.alpha) < kTolerance;
}

bool isEntry(int index, const Rgba& colour) {
  return paletteEntry(index) != nullptr &&
         sameColour(paletteColours()[static_cast<std::size_t>(index - 1)], colour);
}

std::string presetLabel(int index) {
  return "preset " + std::to_string(index) + " " + paletteEntry(index)->label;
}

}  // namespace

void followCustomSwitches() {
  static bool started = false;  // the main thread's only
  if (started) {
    reloadSettings();
    return;
  }
  started = true;
  initSettings();
}

std::optional<Rgba> presetColour(int index) {
  if (paletteEntry(index) == nullptr) return std::nullopt;
  return paletteColours()[static_cast<std::size_t>(index - 1)];
}

std::vector<std::string> liveSwitchNotes() {
  ns::AutoreleasePool pool;
  const PreferencesRead file(true);
  std::vector<std::string> notes;
  for (const ElementNames& e : kElements) {
    if (colourSourceOf(e.id) != ColourSource::custom) continue;
    const ElementKeys& keys = keysOf(e.id);
    if (file.boolFor(keys.customSwitch)) continue;  // the file holds the switch: the same anew
    // A new process starts with the preset on at entry 6 and reads what the file holds.
    const bool on = file.boolFor(keys.enable).value_or(true);
    const std::int32_t index = file.intFor(keys.preset).value_or(kDefaultPresetIndex);
    const std::string after =
        !on ? "the host's own colour"
        : paletteEntry(index) != nullptr
            ? presetLabel(index)
            : "no colour (preset " + std::to_string(index) + " names no entry)";
    notes.push_back(
        std::string(e.name) + ": this SpringBoard keeps its custom colour " + e.customColourKey +
        " because " + e.customSwitchKey + " was on when it last read it, but the settings file " +
        (file.exists() ? "no longer holds " + std::string(e.customSwitchKey)
                       : "is missing or cannot be read") +
        " (a missing switch keeps its last value); a respring would show " + after + " instead");
  }
  return notes;
}

std::string describeSource(ElementId e, const Answer& answer) {
  if (answer.hostsOwn) return "host's own";
  if (colourSourceOf(e) == ColourSource::custom) {
    return std::string("custom ") + namesOf(e).customColourKey;
  }
  if (!answer.colour) return "preset, no entry yet";

  ns::AutoreleasePool pool;
  const std::optional<int> index = PreferencesRead(true).intFor(keysOf(e).preset);
  if (index && isEntry(*index, *answer.colour)) return presetLabel(*index);
  // The file names no entry of this colour (an index out of range keeps the last entry).
  for (int i = 1; i <= kPaletteSize; ++i) {
    if (isEntry(i, *answer.colour)) return presetLabel(i);
  }
  return "preset, unknown entry";
}

}  // namespace vyr::show
