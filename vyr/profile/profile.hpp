// Settings profiles measured against what the Settings pane and the library take: the check that
// `vyr import` runs before it writes, the profile that `vyr export` (and the studio's download)
// writes, and the pane's defaults that `vyr prefs reset` puts back.
//
// Everything here runs on the calling thread, which plays the Settings app's main thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "platform/preferences/settings_app.hpp"
#include "vyr/base/result.hpp"

namespace vyr::profile {

// What a profile's key should hold.
enum class Kind { boolean, preset, colour };

// One key a profile may hold: its kind, the preset numbers its row offers (for a preset), and the
// pane's default for it (nil when the row has none).
struct Setting {
  std::string key;
  Kind kind = Kind::boolean;
  std::vector<long long> presets;
  ns::Object defaultValue;  // retained by the pane's specifier, which outlives this
};

// The keys of PANE's value rows, with the kinds their cells store; without a pane (null), the
// keys the library reads (the element table and the lock-screen key) with their kinds.
std::vector<Setting> settingsOf(const preferences::settings::Pane* pane);

// One line per problem of PROFILE against SETTINGS, each starting with the key: a key no row has
// and the library does not read, a value of another kind than the row stores, a preset number no
// row offers, a colour string that the library would read as another colour than it says (an
// eight-digit #RRGGBBAA, a hex part of another length, an alpha that is no number from 0 to 1).
// Empty when the pane would have written the profile itself.
std::vector<std::string> check(ns::Dictionary profile, const std::vector<Setting>& settings);

// Why TEXT, a custom colour's value, would read as another colour than it says; nothing when the
// library reads it as written.
std::optional<std::string> colourStringProblem(const std::string& text);

// The device's settings as a profile: an XML property list with every key of SETTINGS, holding
// the settings file's value where that value passes the check, else the pane's default (what the
// pane shows). Keys of the file left out (unknown, or a value the row does not take) are added to
// *LEFT_OUT, one line each, when it is given. A settings file that cannot be read is a failure.
Result<std::string> exportProfile(const std::vector<Setting>& settings,
                                  std::vector<std::string>* leftOut = nullptr);

// Puts the pane's default back into every row of PANE that has one, through the row's own cell
// (so the file and the notifications are the Settings app's own). Returns the number of rows
// set, or a failure naming the first row whose change was refused or could not be written (rows
// before it keep their defaults).
Result<int> resetToDefaults(const preferences::settings::Pane& pane);

// One sentence when the device's settings file is there but is not a property list with a
// dictionary at its root (what every reader then does), naming the newest copy of an unreadable
// file that the pane kept aside, if there is one; nothing when the file reads or is missing.
std::optional<std::string> unreadableSettingsNote();

}  // namespace vyr::profile
