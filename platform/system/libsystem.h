// The device's C library (libSystem), as far as the system uses it: randomness, string length,
// the two calls that act on the device's files and processes, unlink and system, a watch that
// tells when a file has changed (FileWatch, the device's kqueue as a reader uses it), and the
// watch of the folder that carries Darwin notifications (FolderWatch). The only code of the
// system that uses inotify is here.
//
// unlink and system reach the device only: every path is a device path resolved inside the
// device folder, the simulator's own state there is out of reach, and the only processes that
// can be signalled are the registered processes of the device (see device/processes.hpp). The
// functions never throw; they are safe to call from any thread (FileWatch: see there).
//
// arc4random, strlen, unlink, system and FileWatch are a facade compiled into each caller over
// the device's C names (libsystem_names.h): what a deliverable imports of this library is those C
// names alone. FolderWatch and testing serve the simulator's own frameworks and tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__APPLE__)
#include "platform/system/libsystem_darwin.h"
#else
#include "platform/system/libsystem_names.h"
#endif

#define VYR_SYSTEM_EXPORT __attribute__((visibility("default")))

namespace libsystem {

// A uniformly distributed random number: from the kernel's random source, or from the source a
// test set with testing::setRandomSource.
inline uint32_t arc4random() noexcept {
  return vyr_libsystem_arc4random();
}

// The length of TEXT in bytes, as C's strlen; 0 for null.
inline size_t strlen(const char* text) noexcept {
  return vyr_libsystem_strlen(text);
}

// Removes the file or symbolic link at device path DEVICE_PATH, as unlink(2): 0 on success, else
// -1 with errno set. A folder is never removed (EISDIR); a path that is not absolute, leaves the
// device or lies in the simulator's own folder fails with ENOENT.
inline int unlink(const char* devicePath) noexcept {
  return vyr_libsystem_unlink(devicePath);
}

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
inline int system(const char* command) noexcept {
  return vyr_libsystem_system(command);
}

// Tells a reader of the file at one device path whether it may have changed, so that what it
// parsed can be kept until then.
//
// The contract is the one the device's kqueue can keep with EVFILT_VNODE watches, one on the file
// and one on each folder on the way down from the device's root:
//  - the file: NOTE_WRITE, NOTE_EXTEND, NOTE_ATTRIB, NOTE_LINK, NOTE_DELETE, NOTE_RENAME, on the
//    vnode, so whatever name it is written through (another hard link included); a vnode watch
//    stays with the file it was opened on, so once the file is replaced, deleted or re-created
//    (the folder's watch tells when) it is re-armed on whatever the name then holds;
//  - each folder: NOTE_WRITE, which on a folder reports entries created, deleted or renamed in it
//    (not writes to the files in it), NOTE_ATTRIB, NOTE_DELETE and NOTE_RENAME of the folder
//    itself; a change of the folder or of the name that leads on re-arms everything below it.
// On the device each watch is one descriptor opened with O_EVTONLY and registered with kevent();
// changed() is one kevent() call with a zero timeout. Here inotify keeps the same contract: the
// file's watch is on its inode, each folder's is limited to entries created, deleted or moved
// and to the folder itself (events inotify also gives for a file inside the folder, such as a write
// or an attribute change, are not used, as the device would not give them). Everything is opened
// through the device's door (beneath the device's root descriptor, never by a machine path), and
// each watch is set up on the descriptor that was opened.
//
// Exactness: every change that completed before changed() is entered (a write, truncate, chmod or
// close of the file through any of its names, a rename onto it or away from it, its deletion or
// creation, the same for any folder on the way) makes that call or an earlier one return true; the
// kernel queues the event before the writer's call returns, also for writers in other processes. A
// write in place is reported at each write(), not only at close(), so a reader that parsed half a
// file is told again. A call that returns true drains everything that was queued, so a change
// racing with a read that follows it is reported by the next call. A symbolic link on the way or
// at the file is followed as the door follows it (beneath the device's root): the link's name is
// watched in its folder and the walk goes on along its target, so both a change of the link and
// of what it leads to are seen; ".." in a path or a link's target climbs from the folder the walk
// has reached, as the kernel takes it (not from the text). Once the walk has found the file, the
// door opens the path as a read does and the file is watched on that descriptor: when the two
// are not the same file (a change racing with the walk), or not both missing, the watch is not in
// place and is set up again at the next call. Reported as "may have changed" on every call
// instead: links that loop or cannot be read, a path that ends in "..", and any time the watch
// cannot be set up (no device, no inotify instance or watch left: logged once per process, the
// device's root missing); the watch is set up again at each such call. Not seen at all: writes
// through a memory mapping, and a process re-attached to another device after the watch was set up.
//
// Not thread-safe: callers serialise their calls (one owner, or a lock). Copes with fork(): a
// child never shares the parent's descriptor, it sets up its own at its first call.
class FileWatch {
 public:
  // Watches DEVICE_PATH (absolute, as for unlink). Opens nothing yet: the first changed() sets the
  // watch up. Throws std::bad_alloc when the path cannot be copied.
  explicit FileWatch(std::string_view devicePath)
      : watch_(vyr_libsystem_file_watch_open(devicePath.data(), devicePath.size())) {
    if (watch_ == nullptr) throw std::bad_alloc();
  }
  // Closes the descriptor.
  ~FileWatch() { vyr_libsystem_file_watch_close(watch_); }
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Whether the file may differ from what it was when the previous call returned: true at the
  // first call, after anything happened to the file's name or to a folder on the way, and
  // whenever the watch is not in place. False means that nothing changed since the previous call
  // began. Never blocks, never throws; costs one ioctl when nothing happened.
  bool changed() noexcept { return vyr_libsystem_file_watch_changed(watch_) != 0; }

  // For a reader that waits: a descriptor that becomes readable when changed() may have something
  // to report (pass it to poll(), never read it or close it). -1 while the watch is not in place
  // (changed() then reports a change on every call). It may be another one after changed()
  // returned true: ask again after each call.
  int descriptor() const noexcept { return vyr_libsystem_file_watch_descriptor(watch_); }

 private:
  vyr_file_watch* watch_;
};

// The names that arrive in one folder of the simulator's own state (".sim/" in the device folder):
// the transport of Darwin notifications, one file per name, which is what the device's notifyd
// keeps in its own memory. A name arrives when a file is created under it and closed after
// writing, or renamed onto it (the device's kqueue sees the same through NOTE_WRITE on the folder,
// as a rename onto a name adds an entry). Here with inotify on the folder, opened through the
// device's door; where inotify cannot be had (the per-user limit of instances or watches), the
// folder is polled instead: listed every kPollMilliseconds and whenever arrivals() is called, a
// name arriving when its file's inode or modification time differs from the last listing (writers
// stamp each new file with the time to the nanosecond, so two files one after another never look
// the same). Falling back is logged once per process.
//
// Not thread-safe but for descriptor(): callers serialise their calls.
class VYR_SYSTEM_EXPORT FolderWatch {
 public:
  static constexpr int kPollMilliseconds = 100;

  FolderWatch() = default;
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Watches the folder at PATH (relative to the simulator's folder) of the device attached now,
  // in place of whatever was watched before; names that arrived before are not reported. False
  // when the folder cannot be opened: nothing is watched then. Never throws.
  bool watch(std::string_view path) noexcept;
  // Whether a folder is watched: false before watch() succeeded and after the watched folder was
  // deleted or moved away (then watch() it again when it exists).
  bool watching() const noexcept { return watching_; }
  // Whether the folder is polled rather than watched by the kernel.
  bool polling() const noexcept { return polling_; }

  // A descriptor that becomes readable when names may have arrived (while polling, every
  // kPollMilliseconds): pass it to poll(), never read it or close it. -1 before the first
  // watch() (and when not even this descriptor could be made: then call arrivals() now and
  // then); once made it stays the same for the life of the watch. Any thread.
  int descriptor() const noexcept { return descriptor_.load(std::memory_order_acquire); }

  // The names that arrived since the previous call (or watch()), in order of arrival, each once.
  // EVERYTHING is set when arrivals may have been lost (the kernel's queue overflowed): any name
  // may have arrived. Never blocks, never throws (out of memory reads as EVERYTHING).
  std::vector<std::string> arrivals(bool& everything) noexcept;

 private:
  struct Stamp {
    unsigned long inode = 0;
    long long modified = 0;  // nanoseconds
    bool operator==(const Stamp&) const = default;
  };
  // Makes the descriptor and, unless polling, the inotify instance, when they are missing.
  void setUp() noexcept;
  void startPolling(int error) noexcept;
  // The folder's listing now; false when it cannot be listed.
  bool list(std::vector<std::pair<std::string, Stamp>>& out) const noexcept;

  std::string path_;
  std::atomic<int> descriptor_{-1};  // an epoll instance holding the inotify or the timer
  int inotify_ = -1;
  int timer_ = -1;
  int wd_ = -1;
  bool watching_ = false;
  bool polling_ = false;
  std::vector<std::pair<std::string, Stamp>> listed_;  // while polling: the last listing
};

// What one unlink or system call did. Its caller looks at no result (the pane's respring runs
// every step whatever the one before did); the process that made the calls reads the journal
// afterwards to tell the user what happened (the Settings app, after a tap).
struct Step {
  std::string call;      // "unlink" or "system"
  std::string argument;  // the device path or the command; "(null)" for a null one
  bool failed = false;   // a path that was not there to remove is no failure
  std::string outcome;   // in words: "removed", "not there", "ended SpringBoard (pid 12)", ...
  std::vector<std::string> ended;  // what a killall ended: "lsd", "SpringBoard (pid 12)"
};

// The steps of this process since the last call, oldest first (the last 4096 are kept), and
// forgets them. Thread-safe.
VYR_SYSTEM_EXPORT std::vector<Step> takeJournal();

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

// With UNAVAILABLE, every inotify instance this process asks for from now on is refused (EMFILE),
// as when the per-user limit is reached; watches already set up go on.
VYR_SYSTEM_EXPORT void setInotifyUnavailable(bool unavailable);

}  // namespace testing
}  // namespace libsystem
