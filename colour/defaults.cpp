// A colour from a preferences domain: colorFromDefaultsWithKey.
#include "colour/colour.hpp"
#include "colour/colour_string.hpp"
#include "platform/foundation/facade.hpp"

extern "C" objc::id colorFromDefaultsWithKey(objc::id domain, objc::id key,
                                             objc::id fallback) noexcept {
  const ns::String path = ns::String::withFormat(
      ns::String::literal<"/var/mobile/Library/Preferences/%@.plist">(), domain);
  const ns::MutableDictionary prefs = ns::MutableDictionary::dictionaryWithContentsOfFile(path);
  // Read before the dictionary is looked at, whether or not it is used.
  const objc::id fallbackColour = colour::readColourString(fallback);
  if (!prefs) return fallbackColour;
  const ns::Object value(prefs.objectForKey(key));
  // A value that is not a string (the settings pane writes strings) has no colour to read.
  if (!value || !value.isKindOfClass(ns::String::cls())) return fallbackColour;
  return colour::readColourString(value.get());
}
