#include "tweak/resolve.hpp"

#include "colour/colour.hpp"
#include "platform/uikit/facade.hpp"

namespace {

// Palette entries made from components: each n/255 in the platform's CGFloat.
ui::Color fromBytes(const PaletteEntry& c) {
  return ui::Color::withRed(c.red / objc::CGFloat{255}, c.green / objc::CGFloat{255},
                            c.blue / objc::CGFloat{255}, 1.0);
}

}  // namespace

objc::id presetPaletteColour(std::int32_t index) {
  const PaletteEntry* entry = paletteEntry(index);
  if (entry == nullptr) return nullptr;
  switch (entry->named) {
    case NamedColour::black:
      return ui::Color::black().get();
    case NamedColour::clear:
      return ui::Color::clear().get();
    case NamedColour::cyan:
      return ui::Color::cyan().get();
    case NamedColour::lightGray:
      return ui::Color::lightGray().get();
    case NamedColour::gray:
      return ui::Color::gray().get();
    case NamedColour::darkGray:
      return ui::Color::darkGray().get();
    case NamedColour::none:
      break;
  }
  return fromBytes(*entry).get();
}

ColourSource colourSourceOf(ElementId e) {
  return tweakSettings().customSwitch[slotOf(e)].load(std::memory_order_relaxed)
             ? ColourSource::custom
             : ColourSource::preset;
}

ColourChoice resolveElementColour(ElementId e) {
  TweakSettings& settings = tweakSettings();
  const std::size_t slot = slotOf(e);
  const ElementKeys& keys = keysOf(e);

  if (colourSourceOf(e) == ColourSource::custom) {
    objc::id colour =
        colorFromDefaultsWithKey(ns::String::literal<kDomain>().get(), keys.customColour.get(),
                                 ns::String::literal<kCustomColourFallback>().get());
    return {true, colour};
  }

  {
    PreferencesRead prefs;
    if (prefs.exists()) {
      if (auto on = prefs.boolFor(keys.enable)) {
        settings.presetSwitch[slot].store(*on, std::memory_order_relaxed);
      }
      if (auto index = prefs.intFor(keys.preset)) {
        settings.presetIndex[slot].store(*index, std::memory_order_relaxed);
      }
    }
  }

  // The palette colour is made whether or not the element is switched on, so that switching it
  // on later finds the last valid choice.
  const std::int32_t index = settings.presetIndex[slot].load(std::memory_order_relaxed);
  objc::id colour = presetPaletteColour(index);
  if (colour != nullptr) {
    settings.presetColour[slot].store(colour);
  } else {
    colour = settings.presetColour[slot].load();
  }
  return {settings.presetSwitch[slot].load(std::memory_order_relaxed), colour};
}
