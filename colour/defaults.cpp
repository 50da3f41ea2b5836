// A colour from a preferences domain: colorFromDefaultsWithKey.
#include "colour/colour.hpp"
#include "colour/colour_string.hpp"
#include "colour/prefs_cache.hpp"
#include "platform/foundation/facade.hpp"

extern "C" objc::id colorFromDefaultsWithKey(objc::id domain, objc::id key,
                                             objc::id fallback) noexcept {
  // The file /var/mobile/Library/Preferences/<domain>.plist as it is now; parsed again only when
  // it has changed since the last call.
  const colour::Preferences file = colour::Preferences::ofDomain(domain);
  // The fallback is read on every call, before the dictionary is looked at: its random draws and
  // log lines happen whether or not it is used. A fallback whose reading has no such effects gives
  // the same colour every time, so it is made only when it is used.
  const bool deferFallback = colour::readsQuietly(fallback);
  const objc::id earlyFallback = deferFallback ? nullptr : colour::readColourString(fallback);
  auto fallbackColour = [&] {
    return deferFallback ? colour::readColourString(fallback) : earlyFallback;
  };
  // A value that is not a string (the settings pane writes strings) has no colour to read.
  const objc::id stored = file.colourFor(key);
  return stored != nullptr ? stored : fallbackColour();
}
