// The studio's Settings app: a process of its own that plays the device's Settings app with VYR's
// pane loaded (PaneView), joined to the device and confined to it before it loads the pane's
// bundle, while the studio, which serves the page over TCP, loads nothing from the device.
//
// The two sides talk in lines of JSON. The studio writes {"op": OP, "body": BODY} with OP "show"
// (the pane as JSON), "profile" (the settings as `vyr export` writes them), "set", "tap" or
// "respring" (BODY the page's request body); the Settings app
// answers each with {"status": HTTP status, "body": the reply's body}. A tap whose action ran
// system calls (the Respring) adds to the body "steps": what each did, and "failed": how many
// failed. It ends at the end of its input.
#pragma once

#include <sys/types.h>

#include <string>

#include "vyr/studio/server.hpp"

namespace vyr::studio {

// The Settings app's side: runs in the process that `vyr studio --settings-app` starts. Returns
// the process's exit status.
int runSettingsApp();

// The studio's side: one Settings app at a time, started again when it has ended (a respring
// made elsewhere ends it as it ends every process of the device).
class SettingsApp {
 public:
  SettingsApp(std::string exe, std::string device)
      : exe_(std::move(exe)), device_(std::move(device)) {}
  ~SettingsApp();  // ends it
  SettingsApp(const SettingsApp&) = delete;
  SettingsApp& operator=(const SettingsApp&) = delete;

  // Asks it OP with BODY and returns its reply; a Settings app that cannot be reached (started,
  // written to, or read from within a few seconds) is answered with status 503 and the reason.
  Reply ask(const std::string& op, const std::string& body);

 private:
  std::string start();
  void stop();
  std::string exe_;
  std::string device_;
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
};

}  // namespace vyr::studio
