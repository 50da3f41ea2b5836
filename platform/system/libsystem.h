// The device's C library (libSystem), as far as the system uses it: randomness, string length,
// the two calls that act on the device's files and processes, unlink and system, and a watch
// that tells when a file has changed (FileWatch, the device's kqueue as a reader uses it).
//
// unlink and system reach the device only: every path is a device path resolved inside the
// device folder, the simulator's own state there is out of reach, and the only processes that
// can be signalled are the registered processes of the device (see device/processes.hpp). The
// functions never throw; they are safe to call from any thread (FileWatch: see there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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

// Tells a reader of the file at one device path whether it may have changed, so that what it
// parsed can be kept until then. The stand-in for the device's kqueue EVFILT_VNODE watches: one on
// the file itself (NOTE_WRITE, NOTE_EXTEND, NOTE_ATTRIB, NOTE_DELETE, NOTE_RENAME), re-armed when
// the file is replaced or deleted, and one on each folder on the way down from the device's root
// (NOTE_WRITE on a folder reports entries added, removed or renamed in it). Here inotify keeps the
// same contract: a watch on the file's inode sees a write through any of its names (another hard
// link included), and the folder watches see the name replaced by rename, deleted or created, and
// a folder on the way moved away. Everything is opened through the device's door (beneath the
// device's root descriptor, never by a machine path), and each watch is set up on the descriptor
// that was opened.
//
// Exactness: every change that completed before changed() is entered (a write, truncate, chmod or
// close of the file through any of its names, a rename onto it or away from it, its deletion or
// creation, the same for any folder on the way) makes that call or an earlier one return true; the
// kernel queues the event before the writer's call returns, also for writers in other processes. A
// call that returns true drains everything that was queued, so a change racing with a read that
// follows it is reported by the next call. A symbolic link on the way or at the file is followed
// as the door follows it (beneath the device's root): the link's name is watched in its folder and
// the walk goes on along its target, so both a change of the link and of what it leads to are
// seen. Reported as "may have changed" on every call instead: links that loop or cannot be read,
// and any time the watch cannot be set up (no device, no inotify instance or watch left: logged
// once per process, the device's root missing); the watch is set up again at each such call. Not
// seen at all: writes through a memory mapping, and a process re-attached to another device after
// the watch was set up.
//
// Not thread-safe: callers serialise their calls (one owner, or a lock). Copes with fork(): a
// child never shares the parent's descriptor, it sets up its own at its first call.
class VYR_SYSTEM_EXPORT FileWatch {
 public:
  // Watches DEVICE_PATH (absolute, as for unlink). Opens nothing yet: the first changed() sets the
  // watch up. Throws std::bad_alloc when the path cannot be copied.
  explicit FileWatch(std::string_view devicePath);
  // Closes the descriptor.
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Whether the file may differ from what it was when the previous call returned: true at the
  // first call, after anything happened to the file's name or to a folder on the way, and
  // whenever the watch is not in place. False means that nothing changed since the previous call
  // began. Never blocks, never throws; costs one ioctl when nothing happened.
  bool changed() noexcept;

 private:
  // One watched folder: the machine path's component that matters in it, and whether it is the
  // file's own folder (NEXT is then the file's name).
  struct Folder {
    int wd = -1;
    std::string next;
    bool holdsFile = false;
  };
  // Closes the descriptor and sets everything up again; false leaves the watch blind.
  bool rewatch() noexcept;
  // Reads what is queued; whether any of it concerns the path. Sets REWATCH when a folder on the
  // way changed, the file was replaced, or events were lost.
  bool drain(bool& rewatch) noexcept;

  std::string devicePath_;
  int fd_ = -1;
  int fileWd_ = -1;            // the watch on the file's inode, while the file exists
  bool blind_ = true;          // no watch in place: every call reports a change
  bool unfollowable_ = false;  // links that loop or cannot be read: every call reports a change
  unsigned forkGeneration_ = 0;
  std::vector<Folder> folders_;
};

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
