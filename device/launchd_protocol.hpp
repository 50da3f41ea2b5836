// The words of the device supervisor's line protocol (device/launchd.hpp), and the facts about
// names it rests on, apart from any socket or process so that they can be checked on their own.
//
// Pure functions of their arguments: no OS call, thread-safe, never throw except std::bad_alloc.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace sim::launchd {

// The system daemons of every device, which the supervisor plays itself rather than running a
// machine process for them: lsd (launchd restarts it, so ending it changes nothing visible) and
// backboardd (ending it resprings: every device process ends).
inline constexpr std::string_view kLaunchServicesDaemon = "lsd";
inline constexpr std::string_view kRespringDaemon = "backboardd";

// Whether NAME is one of the system daemons above.
bool isSystemDaemon(std::string_view name);

// Whether NAME may name a device process: 1 to 255 bytes of valid UTF-8 (no overlong form, no
// surrogate) without a C0 or C1 control or DEL, and not a system daemon, so that a name printed
// anywhere can neither drive a terminal nor break a line.
bool validProcessName(std::string_view name);

// Whether SIGNAL_NUMBER's default action ends a process (0 and the stop, continue and ignored
// signals do not).
bool endsProcess(int signalNumber);

// Whether TEXT is a socket name as a supervisor draws it: 32 lowercase hexadecimal digits.
bool isRandomName(std::string_view text);

// One request, as a connection sends it (see device/launchd.hpp for the words).
struct Request {
  enum class Verb { Join, Control, List, Killall, Started, Unknown };
  Verb verb = Verb::Unknown;
  std::string name;       // Join, Killall: the process name as sent (not yet checked)
  bool kept = false;      // Join: its flags are "kept"
  int signalNumber = -1;  // Killall: 0..SIGRTMAX, or -1 when the request is malformed
  long waitMs = 0;        // Started: clamped to 0..60000 ms
};
Request parseRequest(std::string_view message);

// What a killall of NAME with SIGNAL_NUMBER does before any process is looked at.
struct KillallPlan {
  bool daemonOnly = false;  // answered "ok 1" by a daemon, no process signalled
  bool respring = false;    // every device process is signalled, backboardd counted as one
  bool ending = false;      // the signal ends what it reaches: each is told first
};
KillallPlan planKillall(std::string_view name, int signalNumber);

// A line of an answer that lists processes: "PID\tNAME".
std::string processLine(pid_t pid, std::string_view name);

// The processes an answer lists, one per line after its first ("ok ..."); a line without a tab
// is skipped.
struct ListedProcess {
  pid_t pid = 0;
  std::string name;
};
std::vector<ListedProcess> listedProcesses(std::string_view answer);

}  // namespace sim::launchd
