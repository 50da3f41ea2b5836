// The device's launchd: one supervisor process per device, which knows the device's processes by
// the kernel's handles and is the only one that signals them.
//
// A device process joins by connecting to the supervisor's unix socket and keeps the connection
// for its life. At accept the supervisor takes the peer's credentials (SO_PEERCRED, checked to be
// its own user) and a pidfd of the peer (SO_PEERPIDFD): the kernel pins the process that called
// connect(), so a signal sent through the pidfd reaches that process or fails with ESRCH, never a
// later holder of its pid. Nothing under the device folder names a process: the socket lives in a
// private runtime folder of the user, under a random name that a file there keeps (mode 0600),
// so that the name cannot be derived from the device folder; a sandboxed device process sees no
// runtime folder at all, only its own supervisor's socket, bound into its sandbox.
//
// The supervisor is started on demand by the first process of the device that joins (a lock in
// the runtime folder decides which of several starters serves; a socket left by a supervisor that
// died is replaced) and ends by itself once it has had no connection for a while.
//
// Internal to the device library and its `vyr-launchd` executable.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/files.hpp"
#include "device/launchd_protocol.hpp"

namespace sim::launchd {

// Each request is one message of a SOCK_SEQPACKET connection, answered by one message in order:
//   "join NAME\tFLAGS"   this connection plays the process NAME (FLAGS "kept": its parent starts
//                        it again after a respring); a second join renames. "ok" or "refused WHY"
//   "control"            a connection that plays no process (it keeps the supervisor running). "ok"
// Only on a connection that joined as a process (else "refused WHY"):
//   "list"               "ok" and a line "PID\tNAME" per running process, by ascending pid
//   "killall SIG\tNAME"  signals as killall does (see device/processes.hpp): "ok COUNT" and a line
//                        "PID\tNAME" per process signalled (backboardd's own count not listed)
//   "started MS"         the processes that joined since the last respring, once every ended
//                        process that is kept has joined again or MS milliseconds passed:
//                        "ok" and a line "PID\tNAME" each
// Before the supervisor sends a signal that ends a process, it tells that process on its own
// connection, unasked: "ending SIG\tREASON" (REASON: "killall NAME").
// One process may hold at most 8 connections at once (512 in all); more are closed at accept.
inline constexpr std::size_t kMaxMessage = 64 * 1024;
inline constexpr char kEndingNotice[] = "ending ";

// The user's private runtime folder (the device supervisors' sockets and locks, the studio's
// token): see sim::runtimeFolder. Made (mode 0700, with any missing parent) when CREATE. Opened
// one component at a time without following a link; it must be a folder owned by this user that
// nobody else can reach, beneath folders of this user's or root's. Anything else is refused (an
// invalid Fd, *PROBLEM saying which folder and why). PATH gets the path it was opened as, for
// the supervisor's command line.
Fd openRuntimeFolder(bool create, std::string* path = nullptr, std::string* problem = nullptr);

// The name the attached device's lock and socket-name file take in the runtime folder, from the
// device folder's identity (its file system and inode): "dev-ino". Empty without a device.
std::string deviceKey();

// The name of the socket of KEY's supervisor in the folder open as FOLDER ("HEX.sock"), read
// from the file "KEY.name" its supervisor keeps there: the file must be this user's, mode 0600,
// holding 32 hexadecimal digits. None while no supervisor serves KEY (or the file is not sound).
// A supervisor picks a new random name each time it starts.
std::optional<std::string> socketName(int folder, const std::string& key);

// The path through which a socket NAME in the folder open as FOLDER is bound or connected:
// /proc/self/fd/N/NAME, so that the folder checked is the folder used.
std::string socketPath(int folder, std::string_view name);

// Runs the supervisor for KEY in the runtime folder RUNTIME (a path the supervisor opens and
// checks again itself). Returns the exit status: 0 when it served and ended for want of
// clients, or when another supervisor already serves KEY; 1 when it could not serve.
int serve(const std::string& runtime, const std::string& key);

}  // namespace sim::launchd
