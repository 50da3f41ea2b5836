// A SpringBoard of the device in a child process: the child plays the device's SpringBoard
// (VYRSignals injected, confined to the device) and computes what its screens show through the
// hooks; the front end that started it (`vyr show`, `vyr studio`) draws and writes outside the
// device, and when a respring ends the child, it starts a new one, as launchd does on the device.
//
// The two sides talk over the child layer's protocol socket (vyr/child/), in the messages of
// springboard_messages.hpp: the front end sends "state" (the first message it sends), the
// SpringBoard answers each with a "scene", and sends one on its own at each change of the
// settings. It ends at the end of its protocol socket, or when the device ends it (a respring).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include <poll.h>

#include <functional>

#include "device/processes.hpp"
#include "vyr/base/result.hpp"
#include "vyr/child/process.hpp"
#include "vyr/render/report.hpp"
#include "vyr/render/scene.hpp"
#include "vyr/roles/springboard_messages.hpp"

namespace vyr::show {

// The SpringBoard side: runs in the process that `vyr role springboard` starts (for `vyr show`
// and the studio); RELAUNCH says whether its front end starts it again after a respring.
// Returns the process's exit status: 0 when it was told to end or was ended by a signal, 1 when
// it could not start (after one line {"type": "error", "message": ...}).
int runSpringBoard(sim::Relaunch relaunch);

// The front end's side: one SpringBoard process at a time.
class SpringBoard {
 public:
  // How it says one line about its process (a dropped message, a restart); the line is
  // printable already.
  using Say = std::function<void(const std::string&)>;
  explicit SpringBoard(Say say = {}) : say_(std::move(say)) {}
  SpringBoard(const SpringBoard&) = delete;
  SpringBoard& operator=(const SpringBoard&) = delete;

  // Starts `EXE --device DEVICE COMMAND...` (a command line that runs runSpringBoard) as a device
  // process (vyr/child/process.hpp) and sends it STATE.
  Result<> start(const std::string& exe, const std::string& device,
                 const std::vector<std::string>& command, const DeviceState& state);
  bool running() const { return process_.running(); }
  pid_t pid() const { return process_.pid(); }
  // What to poll for it (a descriptor of -1 when none runs); hand its revents to onEvents().
  pollfd pollEntry();

  // Tells it the state to draw for. Silently nothing when it is not running.
  void send(const DeviceState& state);

  struct Output {
    std::vector<SceneMessage> scenes;
    std::string startError;  // it said it could not start ("SpringBoard could not start: ...")
    bool restarted = false;  // it kept sending bad messages: it was ended and a new one started
    bool ended = false;      // its protocol socket ended (the process is ending: call reap())
  };
  // Reads what it sent. Each message that is malformed, oversized or of the wrong type is dropped
  // with one line; a SpringBoard that sends many of them in a short while is ended and started
  // again (with the same command and the last state), never this process; one that goes on
  // doing so after two new starts is ended for good (startError says so, and ended is set).
  Output onEvents(short revents);

  // Waits (at most about two seconds) for the ended process and describes how it ended, in words
  // for the page; nothing is running afterwards. CLEAN is set when it ended as a respring or a
  // stop ends it (status 0), not by a crash.
  std::string reap(bool* clean);

  // Ends it by escalation (vyr/child/process.hpp). Nothing running afterwards.
  void stop() { process_.stop(); }

 private:
  Say say_;
  child::Process process_;
  child::BadMessages bad_;
  child::BadMessages restarts_{3, std::chrono::minutes(1)};
  std::string exe_;
  std::string device_;
  std::vector<std::string> command_;
  DeviceState state_;
};

}  // namespace vyr::show
