// The device's C library (libSystem), as far as the system uses it: randomness, string length,
// and the two calls that act on the device's files and processes, unlink and system.
//
// unlink and system reach the device only: every path is a device path resolved inside the
// device folder, the simulator's own state there is out of reach, and the only processes that
// can be signalled are the registered processes of the device (see device/processes.hpp). The
// functions never throw; they are safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#define VYR_SYSTEM_EXPORT __attribute__((visibility("default")))

namespace libsystem {

// A uniformly distributed random number: from the kernel's random source, or from the source a
// test set with testing::setRandomSource.
VYR_SYSTEM_EXPORT uint32_t arc4random() noexcept;

// The length of TEXT in bytes, as C's strlen; 0 for null.
VYR_SYSTEM_EXPORT size_t strlen(const char* text) noexcept;

// Removes the file or symbolic link at device path DEVICE_PATH, as unlink(2): 0 on success, else
// -1 with errno set. A folder is never removed (EISDIR); a path that is not absolute, leaves the
// device or lies in the simulator's own folder fails with ENOENT.
VYR_SYSTEM_EXPORT int unlink(const char* devicePath) noexcept;

// Runs COMMAND as the device's shell would, for the two forms the system uses, and returns its
// status encoded as system(3) does (exit status << 8):
//  - "rm -rf PATH" (also -fr, -Rf, -fR): removes the device path PATH and everything under it,
//    without following symbolic links (a link is removed, not what it points to). 0 when PATH is
//    gone afterwards (or never existed); 1 when something could not be removed, and when PATH is
//    not absolute, does not resolve inside the device, is the device's root or lies in the
//    simulator's own folder (those are refused and nothing is touched).
//  - "killall [-SIGNAL] NAME": SIGNAL a number (9) or a name with or without SIG (KILL, SIGTERM),
//    TERM when left out; signals the device processes named NAME (sim::killall). 0 when at least
//    one process was signalled, 1 when none matched or SIGNAL is unknown, as the tool exits.
// Anything else, including any quoting, variable, redirection, pipe, list or glob character, is
// refused without running: status 127 << 8, as a shell that cannot run the command. Null
// COMMAND asks whether a shell exists: 1.
VYR_SYSTEM_EXPORT int system(const char* command) noexcept;

// What tests observe and control.
namespace testing {

// Every unlink and system call of this process in order, as "unlink PATH" and "system COMMAND"
// ("(null)" for a null argument). The last 4096 calls are kept.
VYR_SYSTEM_EXPORT std::vector<std::string> calls();
VYR_SYSTEM_EXPORT void clearCalls();

// Makes arc4random return what SOURCE returns (called under a lock, one call at a time); an
// empty function restores the kernel's randomness. A SOURCE that throws yields the kernel's
// randomness for that call.
VYR_SYSTEM_EXPORT void setRandomSource(std::function<uint32_t()> source);

}  // namespace testing
}  // namespace libsystem
