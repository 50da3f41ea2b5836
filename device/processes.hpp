// The device's process table: which processes of the machine play which device process.
//
// A registered process is recorded in the simulator's folder of its device as its pid together
// with the start time the kernel gives it, so that an entry left behind by a process that died
// is never mistaken for a later, unrelated process that got the same pid. Only recorded
// processes of this device are ever signalled.
//
// The device's system daemons backboardd and lsd always run; they are virtual (no machine
// process plays them) and cannot be registered.
#pragma once

#include <sys/types.h>
#include <csignal>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct DeviceProcess {
  pid_t pid = 0;
  std::string name;                  // the device process it plays ("SpringBoard")
  unsigned long long startTime = 0;  // kernel start time, in clock ticks since boot
};

// Records this process in its device's table as NAME. A second call replaces the name. The entry
// is removed when the process exits normally; an entry of a process that was killed is dropped
// by the next reader. Returns false (and records nothing) when no device is attached, NAME is
// empty, holds a control character or names a system daemon, or the table cannot be written.
// Thread-safe.
bool registerProcess(std::string_view name);

// The registered processes of this device that are still running, by ascending pid. Entries of
// processes that ended (or whose pid now belongs to another process) are removed from the table
// on the way. Thread-safe; empty without a device.
std::vector<DeviceProcess> runningProcesses();

// Sends SIGNAL_NUMBER to every running process of this device named NAME, as the device's killall
// does, and returns how many processes were signalled (0 when none matched or SIGNAL_NUMBER is not
// a signal number; signal 0 only counts them). The calling process is never signalled, as killall
// never signals itself. The system daemons:
//  - "lsd": counts as one process; ending it changes nothing visible (launchd restarts it);
//  - "backboardd": counts as one process; a signal whose default action ends a process takes
//    every registered process of the device down with that same signal, as the user interface
//    restarts (a respring); they are counted too.
// Thread-safe.
int killall(std::string_view name, int signalNumber = SIGTERM);

}  // namespace sim
