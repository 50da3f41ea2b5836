// A device process that a front end (`vyr show`, `vyr studio`) starts and talks to: `vyr` itself,
// run again in the device's sandbox (device/spawn.hpp) with the command that makes it that
// process, and given one end of a socket pair as its protocol descriptor (sim::kProtocolFd).
// Everything the process writes to its standard output or error is only output: this process
// writes it to its own standard error line by line, control characters spelt out.
//
// Owns the process (stopped and reaped when it goes), the protocol channel and the pidfd. One
// thread at a time; never throws but std::bad_alloc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "device/files.hpp"
#include "device/spawn.hpp"
#include "vyr/base/result.hpp"
#include "vyr/child/channel.hpp"

namespace vyr::child {

// The spawn options of `EXE --device DEVICE COMMAND...` as a device process of DEVICE: standard
// error relayed, spelt out; the caller places the rest. The one set-up of every `vyr` that runs
// as a device process.
sim::SpawnOptions deviceCommand(const std::string& exe, const std::string& device,
                                const std::vector<std::string>& command);

class Process {
 public:
  Process() = default;
  ~Process() { stop(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `EXE --device DEVICE COMMAND...` (stopping the one running first). A failure leaves
  // nothing running and says why in a few words.
  Result<void> start(const std::string& exe, const std::string& device,
                     const std::vector<std::string>& command);
  bool running() const { return pid_ > 0; }
  // The pid this process can end: for a sandboxed one, the sandbox's outermost process.
  pid_t pid() const { return pid_; }
  Channel& channel() { return channel_; }

  // Readable once the process has ended; -1 while none runs.
  int exitDescriptor() const { return pidfd_.get(); }
  // Reaps the process once it ends, waiting at most WAIT for that (on its pidfd, without
  // sleeping), and kills it if it has not ended by then (it closed its channel but goes on: it
  // is of no use). Returns how it ended, naming it NAME; CLEAN is set when it exited with
  // status 0. Nothing runs afterwards; with nothing running, says so.
  std::string reap(const std::string& name, bool* clean, std::chrono::milliseconds wait);

  // Ends it by escalation, once: closes the channel (the device side ends at the end of its
  // input), then SIGTERM after GRACE, then SIGKILL after GRACE again; then reaps it. A second
  // call, or a call with nothing running, does nothing.
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(2));

 private:
  // Waits at most WAIT for the process to end; its wait status when it did.
  std::optional<int> waitEnd(std::chrono::milliseconds wait);
  pid_t pid_ = -1;
  sim::Fd pidfd_;
  Channel channel_;
};

// Describes the wait status STATUS of NAME (pid PID) in words for a person, setting CLEAN when it
// exited with 0.
std::string describeEnd(const std::string& name, pid_t pid, int status, bool* clean);

// The device process's side: the protocol socket its front end handed it, as a channel (closed
// when it was given none). Call once.
Channel protocolChannel();

}  // namespace vyr::child
