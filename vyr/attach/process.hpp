// Playing a process of the simulated device in this process.
#pragma once

#include "device/confine.hpp"
#include "device/processes.hpp"
#include "vyr/base/result.hpp"
#include "vyr/child/lines.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyr {

// Confines this process to its attached device (sim::confineToDevice) with what a device process
// of this build needs outside it: the build's payload (vyr::payloadFolder()). Signals reach other
// device processes only through the device's supervisor, so none are allowed outside the domain.
// Call after the process joined the device and before anything of the device is loaded and any
// thread is started; see device/confine.hpp for what the process can still do. Returns what was
// settled.
sim::Confinement confineDeviceProcess();

// Makes this process the device's UI process NAME, as the device starts one: it joins the
// device's supervisor (RELAUNCH: whether its front end starts it again after a respring), confines
// itself to the device, SpringBoard gets its own classes (SBLockScreenViewController, ...), and
// the substrate loader injects the libraries whose filters match (VYRSignals runs its
// initialiser there). Call once, on the main thread, after the device is attached and before any
// other thread is started.
Result<> startUiProcess(const std::string& name, sim::Relaunch relaunch = sim::Relaunch::Never);

// Whether this process is the device side of its command: a device process that a front end
// started (device/spawn.hpp), rather than the command the user ran.
bool isDeviceProcess();

// For `vyr host` and `vyr prefs`: whether this process does the device's work itself. It does
// when it is the device process its front end started, and when no sandbox can be had: then it
// loads only VYR's own code (sim::whyNoSandbox says why, in one line). Otherwise it is the front
// end, and runAsDeviceProcess does the work. In the device process it takes the protocol socket
// (sim::kProtocolFd) for the functions below, which own it from then on: a role that reads the
// socket itself (the SpringBoard, the Settings app) calls none of them.
bool runsDeviceSideHere();

// Whether the front end that started this device process has ended before it could make sure
// to take this process down with it (outside a sandbox, whose end takes it down anyway).
bool frontEndGone();

// The front end of a command whose work is a device process (vyr host, vyr prefs): runs
// `vyr --device DEVICE COMMAND...` as a device process (vyr/child/process.hpp), in its sandbox,
// and prints what it sends on its protocol socket (vyr/roles/command_messages.hpp) as this
// command's output, each line with its control characters spelt out (printable), so that only this
// process holds the terminal. With FORWARD_INPUT, this process's standard input goes to it line by
// line. What the process writes on its standard output or error is never taken for the command's
// output: it shows on standard error, spelt out. Returns the exit status the command sent; when
// it sent none, 128 + N when signal N ended the process, else its exit status, but 1 (with a line)
// for 0: a process that ends without finishing its command has not succeeded. 1, with a line
// saying why, when it cannot be started. Call on the main thread, once.
int runAsDeviceProcess(const std::vector<std::string>& command, bool forwardInput);

// Where `vyr NAME ARGS...` (vyr host, vyr prefs) is not the process that does the device's work:
// in the front end, runs it as a device process (runAsDeviceProcess) and gives its exit status;
// in a device process whose front end has already gone, 1. Otherwise nothing: this process does
// the work, and, when it is a device process, ends with its front end.
std::optional<int> handOverToDeviceProcess(const char* name, const std::vector<std::string>& args,
                                           bool forwardInput);

// The device side of such a command, and the same command run where no sandbox can be had.
//
// The command's own output (the answers of `vyr host`, what `vyr prefs` shows): sent to the front
// end when this process is its device process, else written to standard output (stdio's buffer:
// flushOutput writes it now), each line escaped either way (out::lines, here or at the front end).
// printOutputF formats as out::print does: every %s argument escaped. Main thread.
void printOutput(std::string_view text);
void printOutputF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void flushOutput();

// Ends the command's output with its exit STATUS (sent to the front end after all of it, when
// this process is its device process) and returns STATUS. Call once, as the command returns.
int commandDone(int status);

// The longest line of input a command takes (`vyr host`'s commands are a few words: this leaves
// room for any real one); a longer one is skipped, and answered with an error.
inline constexpr std::size_t kLongestInput = 64 * 1024;

// The command's input, one line at a time (`vyr host`): the front end's lines when this process
// is its device process, else standard input's. Lines longer than MAX come as Line::oversized,
// once each. Main thread.
class CommandInput {
 public:
  explicit CommandInput(std::size_t max = kLongestInput);
  // The descriptor to poll for POLLIN.
  int descriptor() const;
  // The lines that what is there now completes; ENDED is set at the end of the input (an
  // unfinished last line is not a line).
  std::vector<child::Line> read(bool* ended);

 private:
  child::LineReader reader_;
};

}  // namespace vyr
