// The settings pane as the pane's fuzz target and its replays drive it: the VYR bundle installed
// in the scratch device and loaded as the Settings app loads it, then rounds in which the
// Preferences framework reads a specifier list "VYR" and the pane's cells write the domain.
#pragma once

#include <string_view>

namespace vyrfuzz {

// The device path of the bundle's specifier list.
inline constexpr std::string_view kSpecifierList =
    "/Library/PreferenceBundles/VYR.bundle/VYR.plist";

// Installs the built VYR bundle and its PreferenceLoader entry in the scratch device and opens
// the pane once, as the Settings app does (which loads the bundle and registers
// VYRListController). Only the first call does anything; aborts when the pane cannot be opened.
void startPane();

// The round of the pane's fuzz target, on the calling thread (the Settings app's main thread):
// BYTES as the bundle's specifier list, the settings file removed; a new VYRListController shown
// as Settings shows it; for each row its cell made and shown; for a few rows picked by a hash of
// BYTES, a value of some kind (property-list values of each type at their limits, nil, and
// objects that no property list holds) stored through the row's specifier and read back, and
// typed text of some cell kind given to the cell; then the pane about to appear again and the
// controller released. The device's writes are not flushed (startPane turns that off).
void paneRound(std::string_view bytes);

}  // namespace vyrfuzz
