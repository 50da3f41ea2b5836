#include "vyr/show/sources.hpp"

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
