// The settings' history of changes made through VYR (vyr prefs set, tap and reset, vyr import,
// the studio), for `vyr prefs undo` and the studio's Undo.
//
// Each change is one step: the settings file's bytes before it and after it, and a line saying
// what it was. Steps are files of the device's simulator folder (.sim/history/), reached through
// the device's door like every file of the device, so the history survives restarts of vyr and
// the studio and belongs to its device. The newest kMaxSteps are kept.
//
// An undo puts the bytes before the newest step back only while the settings file still holds
// the bytes that step left: a change made since by something other than VYR (an editor, another
// tool) is never undone silently; the undo refuses and says so. Steps are recorded and undone
// while the settings' writers' lock is held, so two front ends never interleave them.
//
// Everything here runs on the calling thread; the files are the only shared state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "vyr/base/result.hpp"

namespace vyr::history {

inline constexpr std::size_t kMaxSteps = 50;

// The settings file's bytes; nothing when there is no settings file. A file that cannot be read
// (a FIFO, a folder, too large) is a failure.
Result<std::optional<std::string>> settingsNow();

// The settings as they were before a change, taken before the change is made.
struct Before {
  bool taken = false;  // false: the settings could not be read, nothing will be recorded
  std::optional<std::string> bytes;
};
Before before();

// Records the change WHAT ("prefs set sig Red") that led from BEFORE to the settings as they are
// now. Nothing is recorded when the settings did not change, or BEFORE could not be taken.
// With a SERIES (a prefix of WHAT), a change made within a second of the newest step, whose WHAT
// starts with the same SERIES and which left the settings as BEFORE found them, joins that step
// rather than making one (the many writes of one drag of a colour undo at once).
// Returns a line about a step that could not be kept (the change then cannot be undone), or
// nothing.
std::optional<std::string> record(const Before& before, const std::string& what,
                                  const std::string& series = {});
// The same for a caller that holds the settings' writers' lock.
std::optional<std::string> recordHoldingLock(const Before& before, const std::string& what,
                                             const std::string& series = {});

// What an undo did.
struct Undone {
  std::string what;                           // the change it undid
  std::optional<std::string> settingsBefore;  // the bytes it put back (nothing: no file)
  std::optional<std::string> settingsAfter;   // the bytes it replaced
  std::size_t left = 0;                       // steps still to undo
};

// Why an undo did nothing.
enum class Refusal { nothingToUndo, changedOutside, failed };
struct NotUndone {
  Refusal why = Refusal::failed;
  std::string line;  // in words
};

// Puts the settings back as they were before the newest step, removes that step and posts the
// settings-changed notification; or says why it did not.
std::variant<Undone, NotUndone> undo();

// The number of steps there are to undo.
std::size_t steps();

}  // namespace vyr::history
