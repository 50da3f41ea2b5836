// Starting processes: the one place where this build starts another program, and where a device
// process gets its sandbox.
//
// A device process (each `vyr host`, the SpringBoard of `vyr show` and of the studio, the Settings
// app of `vyr prefs` and of the studio) runs code from the device folder, which is untrusted. It
// is started in a sandbox made by bubblewrap (`bwrap`) around it:
//  - new user, mount, network, IPC, PID, UTS and cgroup namespaces, no user namespace of its own
//    to make later, and no capability;
//  - only the device folder (read and write), the system's library folders, the loader's and
//    fontconfig's files and the build's payload (read only) visible, a private /tmp, /proc and a
//    minimal /dev; of the user's runtime folder, only the device's supervisor socket, at a fixed
//    name (kSandboxSupervisor);
//  - a new session and no terminal: its standard input and output are pipes or /dev/null, its
//    standard error a pipe whose lines this process writes to its own standard error with control
//    characters spelt out;
//  - an environment of its own (nothing of the user's: no SSH_AUTH_SOCK, DBUS_*, DISPLAY, XDG_*);
//  - a seccomp filter refusing new unix, packet and netlink sockets (and io_uring, which could
//    make them), the kernel's keyrings, TIOCSTI and TIOCLINUX, kernel modules, kexec and reboot,
//    and ptrace (kept in a sanitizer build, whose leak checker needs it);
//  - it dies with this process (bubblewrap's --die-with-parent), and everything it started dies
//    with it (its PID namespace ends with it).
// Landlock stays inside as a second wall (device/confine.hpp).
//
// Where the sandbox cannot be had (no bubblewrap, no unprivileged user namespaces, no libseccomp
// filter), the device process still starts in a new session without a terminal, but is told so
// (VYR_SIM_SANDBOX names why), and then loads only libraries byte for byte identical to the
// build's own. One line on standard error says why, once per process that starts device
// processes (`vyr host` and `vyr prefs` then do their device's work in their own process, under
// the same rule). VYR_SIM_CONFINE=identical-only in the environment takes that path on purpose
// (tests, and running a device process under a debugger, which cannot follow it into the sandbox).
//
// Thread-safe; never throws.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/files.hpp"

namespace sim {

// Where a device process finds its device's supervisor inside the sandbox.
inline constexpr char kSandboxSupervisor[] = "/run/vyr/launchd.sock";
// The environment through which a device process learns how it runs: "namespaces" inside the
// sandbox, else "none: WHY". Absent in a process that spawnProcess did not start as a device
// process.
inline constexpr char kSandboxVariable[] = "VYR_SIM_SANDBOX";
// Set in every device process that spawnProcess starts: it is the device side of its command.
inline constexpr char kDeviceProcessVariable[] = "VYR_DEVICE_PROCESS";
// The descriptor on which a process finds the protocol socket its starter handed it
// (SpawnOptions::protocol); closed in a process that was given none.
inline constexpr int kProtocolFd = 5;

enum class Stdio {
  Null,     // /dev/null
  Pipe,     // a new pipe, whose other end the caller gets
  Inherit,  // this process's own (never for a device process: it could be a terminal)
  Errors,   // standard output only: the same pipe as standard error (Pipe), relayed with it
};

struct SpawnOptions {
  std::string exe;                // the program, by machine path
  std::vector<std::string> args;  // its arguments after its name
  Stdio in = Stdio::Null;
  Stdio out = Stdio::Null;
  // Standard error: Pipe is a pipe read by a thread of this process that writes each line to its
  // own standard error through escapeLine, until the pipe ends (when the process and everything
  // it started have ended); the caller gets no end of it.
  Stdio err = Stdio::Inherit;
  // A device process, sandboxed as above. Standard input and output may then not be Inherit.
  bool deviceProcess = false;
  // The folder a device process sees as its device: the attached device's when empty. A caller
  // that follows a moved device folder, or previews another one, names the folder it means.
  std::string device;
  // The build's payload folder, visible to a device process; empty: this executable's folder.
  std::string payload;
  // How the relay spells out one line of standard error (control characters); null: as it is.
  std::string (*escapeLine)(std::string_view) = nullptr;
  // A descriptor of this process's that the process finds as kProtocolFd (-1: none); the caller
  // keeps owning it.
  int protocol = -1;
};

// The thread that relays a process's standard error (SpawnOptions::err Pipe). Dropping it
// leaves the thread to finish on its own; wait() waits until it has written everything the
// process, and whatever it started, wrote.
class Relay {
 public:
  Relay() = default;
  explicit Relay(std::thread thread) : thread_(std::move(thread)) {}
  Relay(Relay&& other) noexcept = default;
  Relay& operator=(Relay&& other) noexcept {
    if (thread_.joinable()) thread_.detach();
    thread_ = std::move(other.thread_);
    return *this;
  }
  ~Relay() {
    if (thread_.joinable()) thread_.detach();
  }
  void wait() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

// A started process. Its pid is the caller's to reap (waitpid); for a device process it is the
// sandbox's outermost process, whose end ends everything inside. Descriptors are close-on-exec.
struct Spawned {
  pid_t pid = -1;
  Fd in;              // the write end of its standard input, for Stdio::Pipe
  Fd out;             // the read end of its standard output, for Stdio::Pipe
  Relay errors;       // the relay of its standard error, for Stdio::Pipe
  std::string error;  // why it did not start (pid -1), in a few words
};

// Starts OPTIONS.exe with every signal at its default and none blocked, and no descriptor of
// this process's but those OPTIONS place. A device process starts
// in its own session (so the terminal's Ctrl-C reaches only the front end, which ends it). Any
// other starts in this process's session and process group. A failure leaves nothing open.
Spawned spawnProcess(const SpawnOptions& options);

// Whether device processes started from this process get the sandbox; empty when they do, else
// why not. Asked once (it starts bubblewrap once to find out) and remembered; the first time the
// answer is not empty, one line on standard error says so.
std::string whyNoSandbox();

}  // namespace sim
