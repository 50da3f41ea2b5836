// A SpringBoard of the device in a child process: the child plays the device's SpringBoard
// (VYRSignals injected, confined to the device) and computes what its screens show through the
// hooks; the front end that started it (`vyr show`, `vyr studio`) draws and writes outside the
// device, and when a respring ends the child, it starts a new one, as launchd does on the device.
//
// The two sides talk in lines. The front end writes "state BATTERY CHARGING STYLE" (the device
// state to draw for; the first line must be one) and "quit"; the SpringBoard answers each state
// line, and reports each change of the settings on its own, with one line of JSON describing
// what it shows (see SceneMessage). It ends on "quit", at the end of its input, or when the device
// ends it (a respring).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "device/processes.hpp"
#include "vyr/show/report.hpp"
#include "vyr/show/scene.hpp"

namespace vyr::show {

// The SpringBoard side: runs in the process that `vyr show --springboard` or `vyr studio
// --springboard` starts; RELAUNCH says whether its front end starts it again after a respring.
// Returns the process's exit status: 0 when it was told to end or was ended by a signal, 1 when
// it could not start (after one line {"type": "error", "message": ...}).
int runSpringBoard(sim::Relaunch relaunch);

// One line of the SpringBoard: {"type": "scene", "reason": "state" or "settings", "pid", "ios",
// "state": {"battery", "charging", "style"}, "lockStyle", "lockStyleHostsOwn", "settingsFile"
// ("ok", "missing", "unreadable", "unreachable"), "rows": [{"screen", "item", "element",
// "source", "value"}], "scene": every colour of the scene}.
struct SceneMessage {
  Scene scene;
  std::vector<Row> rows;
  std::string reason;
};
// What an error line of the SpringBoard says ("SpringBoard could not start: ..."); empty for any
// other line.
std::string springBoardError(const std::string& line);

// The scene line LINE carries, or nothing when it is none (another type, or malformed).
std::optional<SceneMessage> parseSceneMessage(const std::string& line);

// The front end's side: one SpringBoard process at a time.
class SpringBoard {
 public:
  SpringBoard() = default;
  ~SpringBoard();  // stop()
  SpringBoard(const SpringBoard&) = delete;
  SpringBoard& operator=(const SpringBoard&) = delete;

  // Starts `EXE --device DEVICE COMMAND...` (a command line that runs runSpringBoard) in a
  // process group of its own (so that the terminal's Ctrl-C reaches only the front end, which
  // then ends it) and sends it STATE. Returns an empty string on success, else one line saying
  // what failed.
  std::string start(const std::string& exe, const std::string& device,
                    const std::vector<std::string>& command, const DeviceState& state);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The descriptor to poll for its output; -1 when none runs.
  int outputDescriptor() const { return out_; }

  // Tells it the state to draw for. Silently nothing when it is not running.
  void send(const DeviceState& state);

  // The complete lines it wrote since the last call. Sets *ENDED when its output has ended (the
  // process is ending; call reap()).
  std::vector<std::string> readLines(bool* ended);

  // Waits (at most about two seconds) for the ended process and describes how it ended, in words
  // for the page; nothing is running afterwards. CLEAN is set when it ended as a respring or a
  // "quit" ends it (status 0), not by a crash.
  std::string reap(bool* clean);

  // Ends it: "quit", then SIGTERM, then SIGKILL, each after a short wait. Nothing running
  // afterwards.
  void stop();

 private:
  void closePipes();
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
};

}  // namespace vyr::show
