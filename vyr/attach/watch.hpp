// What makes `vyr show --watch` draw again: a change of the device's settings, seen the two ways
// the device offers (the settings-changed notification, and the preferences file itself, which
// the library reads afresh on most calls), or a request to stop.
#pragma once

#include <poll.h>

#include <optional>
#include <span>
#include <string>

#include "platform/system/libsystem.h"
#include "vyr/base/result.hpp"

namespace vyr::show {

class SettingsWatch {
 public:
  enum class Event { changed, stop, ready };

  // Takes SIGINT and SIGTERM off their default action for the calling thread and every thread
  // it starts afterwards, so that next() can report them; call before any other thread starts.
  SettingsWatch();
  ~SettingsWatch();
  SettingsWatch(const SettingsWatch&) = delete;
  SettingsWatch& operator=(const SettingsWatch&) = delete;

  // Starts watching the device's preferences file (as the library's own cache watches it: every
  // write, through any of its names, its replacement or deletion). Call once the process observes
  // the notification (its descriptor exists from then on).
  Result<void> start();

  // Waits until the settings changed or a stop signal arrived. A notification is delivered to
  // every observer of this process (VYRSignals' among them) before this returns. Changes that
  // arrive within a short moment of each other count once; a stop signal wins over a change.
  Event next();
  // As next(), and also waits for the caller's descriptors EXTRA: returns ready when one of them
  // has an event (their revents say which). A change already pending is reported first; EXTRA
  // entries with a negative descriptor are ignored.
  Event next(std::span<pollfd> extra);

 private:
  int signals_ = -1;
  std::optional<libsystem::FileWatch> file_;
  std::string signalsError_;
};

}  // namespace vyr::show
