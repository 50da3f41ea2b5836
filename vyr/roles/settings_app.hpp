// The studio's Settings app: a process of its own that plays the device's Settings app with VYR's
// pane loaded (PaneView), joined to the device and confined to it before it loads the pane's
// bundle, while the studio, which serves the page over TCP, loads nothing from the device.
//
// The two sides talk over the child layer's protocol socket (vyr/child/), in the messages of
// settings_messages.hpp: the studio sends requests with ids, the Settings app answers each with
// a reply of the same id. A tap whose action ran system calls (the Respring) adds to the reply's
// body "steps": what each did, and "failed": how many failed. It ends at the end of its socket.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "device/files.hpp"
#include "vyr/child/process.hpp"
#include "vyr/child/requests.hpp"
#include "vyr/roles/settings_messages.hpp"

namespace vyr::studio {

// The Settings app's side: runs in the process that `vyr role settings-app` starts. Returns
// the process's exit status.
int runSettingsApp();

// The studio's side: one Settings app at a time, started when a request needs it (a respring
// made elsewhere ends it as it ends every process of the device). It never waits on the process:
// replies complete through the caller's loop (pollEntry(), timerDescriptor(), onEvents()). Main
// thread only.
class SettingsApp {
 public:
  using Done = std::function<void(PaneAnswer)>;
  // SAY: how it says one line about its process (a dropped message); printable already.
  using Say = std::function<void(const std::string&)>;
  // How long a reply may take: a respring from the pane runs its steps first.
  static constexpr std::chrono::milliseconds kAnswer{10000};

  SettingsApp(std::string exe, std::string device, Say say = {});
  ~SettingsApp();  // ends it; requests still waiting are dropped, never completed
  SettingsApp(const SettingsApp&) = delete;
  SettingsApp& operator=(const SettingsApp&) = delete;

  // Asks it REQUEST (its id is given here); DONE gets its reply once it comes, from onEvents(). A
  // Settings app that
  // cannot be reached (started, or written to) or does not answer within kAnswer is answered
  // unreachable, with the reason (at once, or when the deadline passes). A reply that comes
  // after its deadline is dropped by its id, never taken for another request's.
  void ask(PaneRequest request, Done done);

  // What to poll for its messages (a descriptor of -1 when none runs), and a timer readable when
  // a deadline has passed; hand both events to onEvents().
  pollfd pollEntry();
  int timerDescriptor() const { return timer_.get(); }
  void onEvents(short revents, bool timerFired);

 private:
  Result<> start();
  bool ended();
  // Answers every request waiting as unreachable, WHY, and stops the process.
  void failAll(const std::string& why);
  void expire();
  void armTimer();
  std::string exe_;
  std::string device_;
  Say say_;
  child::Process process_;
  child::BadMessages bad_;
  sim::Fd timer_;
  bool closing_ = false;
  child::Requests<PaneAnswer> pending_;
};

}  // namespace vyr::studio
