// The device's process table: which processes of the machine play which device process.
//
// The table is kept by the device's supervisor (device/launchd.hpp), not in any file: a process
// joins by connecting to it, and the kernel pins the connecting process with a pidfd there. Only
// those processes are ever signalled, and only by the supervisor, through their pidfds: a process
// that ended is never confused with a later one that got its pid, whoever keeps its connection or
// its descriptors alive (a clone(CLONE_FILES) sibling, a forked child), and nothing under the
// device folder can name a process to signal. Device processes never signal each other directly.
//
// The device's system daemons backboardd and lsd always run; they are virtual (no machine
// process plays them) and cannot be registered.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct DeviceProcess {
  pid_t pid = 0;     // as the kernel reported it when the process joined
  std::string name;  // the device process it plays ("SpringBoard")
};

// Who starts a process again after a respring: nobody (a process driven by hand), or its parent,
// which the supervisor then waits for when asked what came back (startedSinceRespring).
enum class Relaunch { Never, ByParent };

// Joins this process to its device's supervisor as NAME, starting the supervisor when none runs,
// and keeps the connection for the life of the process (a device process joins before it
// confines itself, so that it never needs to connect later). A process started as a device
// process (device/spawn.hpp) joins on the unconnected socket it was handed (VYR_SIM_JOIN_FD),
// through the path it was given (VYR_SIM_SUPERVISOR): inside its sandbox it may make no unix
// socket, and sees no runtime folder. A second call renames; a forked
// child joins on its own, never through its parent's connection. Returns false (and joins
// nothing) when no device is attached, NAME is not a process name (launchd::validProcessName: valid
// UTF-8 without C0 or C1 controls) or names a system daemon, or the supervisor cannot be reached or
// started. Thread-safe.
bool registerProcess(std::string_view name, Relaunch relaunch = Relaunch::Never);

// The user's private runtime folder, where the device supervisors' sockets and the studio's
// token live: "HOME/.local/state/vyr", HOME the user's home folder in the password database
// (never $HOME or $XDG_RUNTIME_DIR), so that a login shell, sudo and cron all come to the same
// one, and no other user can make it first. Made (mode 0700) when CREATE. PATH is its machine
// path; PROBLEM, when it cannot be used (it belongs to another user, others may enter it, a
// parent cannot be made...), says which folder and why, else is empty.
struct RuntimeFolder {
  std::string path;
  std::string problem;
};
RuntimeFolder runtimeFolder(bool create);

// Whether the folder open as FD is private as the runtime folder must be: a folder of this user
// that nobody else may enter or write. The one check for every private folder of the user's.
bool isPrivateFolder(int fd);

// Why this process's last attempt to reach its device's supervisor failed, in words that name
// the folder or the supervisor; empty when it did not fail. Thread-safe.
std::string supervisorProblem();

// For whoever starts device processes (device/spawn.hpp): makes sure the attached device's
// supervisor runs, starting it when none does, and keeps a connection of this process's to it
// for as long as this process lives, so that it goes on running until the processes started join.
// Returns the machine path of its socket; empty when it cannot be reached. Thread-safe.
std::string supervisorSocketForChildren();

// Only a process that joined its device (registerProcess) may list, signal or wait for the
// device's processes: the supervisor answers nobody else. For any other process the three below
// find nothing and signal nothing (supervisorProblem says why).

// The running processes of this device, by ascending pid. Thread-safe; empty without a device or
// when this process has not joined it.
std::vector<DeviceProcess> runningProcesses();

// What killallReport did: how many processes it signalled (as killall counts) and which.
struct Killed {
  int count = 0;
  std::vector<DeviceProcess> signalled;  // the machine processes, not the virtual daemons
};

// Has the supervisor send SIGNAL_NUMBER to every running process of this device named NAME, as the
// device's killall does, and returns how many processes were signalled (0 when none matched or
// SIGNAL_NUMBER is not a signal number; signal 0 only counts them). The calling process is never
// signalled, as killall never signals itself. Each process that a signal ends is first told why
// (takeEndNotice). The system daemons:
//  - "lsd": counts as one process; ending it changes nothing visible (launchd restarts it);
//  - "backboardd": counts as one process; a signal whose default action ends a process takes
//    every registered process of the device down with that same signal, as the user interface
//    restarts (a respring); they are counted too.
// Thread-safe.
int killall(std::string_view name, int signalNumber = SIGTERM);
Killed killallReport(std::string_view name, int signalNumber = SIGTERM);

// The processes that joined the device since the last killall that ended processes, once every
// process it ended whose parent relaunches it has joined again, or WAIT has passed. Empty when
// nothing was ended yet. Thread-safe.
std::vector<DeviceProcess> startedSinceRespring(std::chrono::milliseconds wait);

// Why the supervisor is about to end this process: a notice it sends before the signal.
struct EndNotice {
  int signalNumber = 0;
  std::string reason;  // "killall backboardd"
};

// A descriptor that turns readable when a notice may have come (for poll; never read or close it);
// -1 when this process has not joined.
int supervisorDescriptor();

// The notice the supervisor sent this process, if any came (reads without waiting). Thread-safe.
std::optional<EndNotice> takeEndNotice();

}  // namespace sim
