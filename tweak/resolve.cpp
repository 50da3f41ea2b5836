#include "tweak/resolve.hpp"

#include "colour/colour.hpp"
#include "platform/uikit/facade.hpp"

namespace {

struct ElementKeys {
  ns::String enable;
  ns::String preset;
  ns::String customColour;
};

ElementKeys keysOf(ElementId e) {
  switch (e) {
    case ElementId::sig:
      return {ns::String::literal<"sigs">(), ns::String::literal<"sig">(),
              ns::String::literal<"vyrColor1">()};
    case ElementId::sbsig:
      return {ns::String::literal<"sbsigs">(), ns::String::literal<"sbsig">(),
              ns::String::literal<"vyrColor2">()};
    case ElementId::txt:
      return {ns::String::literal<"text">(), ns::String::literal<"txt">(),
              ns::String::literal<"vyrColor3">()};
    case ElementId::bat:
      return {ns::String::literal<"batt">(), ns::String::literal<"bat">(),
              ns::String::literal<"vyrColor4">()};
    case ElementId::lod:
      return {ns::String::literal<"load">(), ns::String::literal<"lod">(),
              ns::String::literal<"vyrColor5">()};
    case ElementId::rec:
      break;
  }
  return {ns::String::literal<"recents">(), ns::String::literal<"rec">(),
          ns::String::literal<"vyrColor6">()};
}

// Palette entries made from components: each n/255 in the platform's CGFloat.
struct Rgb {
  int r, g, b;
};

ui::Color fromBytes(Rgb c) {
  return ui::Color::withRed(c.r / objc::CGFloat{255}, c.g / objc::CGFloat{255},
                            c.b / objc::CGFloat{255}, 1.0);
}

}  // namespace

objc::id presetPaletteColour(std::int32_t index) {
  switch (index) {
    case 1:
      return ui::Color::black().get();
    case 2:
      return fromBytes({0, 122, 255}).get();
    case 3:
      return fromBytes({166, 151, 90}).get();
    case 4:
      return ui::Color::clear().get();
    case 5:
      return ui::Color::cyan().get();
    case 6:
      return ui::Color::lightGray().get();
    case 7:
      return ui::Color::gray().get();
    case 8:
      return ui::Color::darkGray().get();
    case 9:
      return fromBytes({76, 217, 100}).get();
    case 10:
      return fromBytes({255, 161, 1}).get();
    case 11:
      return fromBytes({253, 151, 203}).get();
    case 12:
      return fromBytes({88, 86, 214}).get();
    case 13:
      return fromBytes({255, 59, 48}).get();
    case 14:
      return fromBytes({248, 248, 248}).get();
    case 15:
      return fromBytes({234, 187, 0}).get();
    default:
      return nullptr;
  }
}

ColourChoice resolveElementColour(ElementId e) {
  TweakSettings& settings = tweakSettings();
  const std::size_t slot = slotOf(e);
  const ElementKeys keys = keysOf(e);

  if (settings.customSwitch[slot].load(std::memory_order_relaxed)) {
    objc::id colour = colorFromDefaultsWithKey(ns::String::literal<"com.belvorin.VYR">().get(),
                                               keys.customColour.get(),
                                               ns::String::literal<"#a1a1a1:1.0">().get());
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
