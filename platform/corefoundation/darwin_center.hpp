// The Darwin notification centre behind the CFNotificationCenter functions: observers by name,
// and the transport that carries a posted name to every process of the device.
//
// Transport: the device's simulator folder holds a folder notify/ with one file per notification
// name. A post makes a fresh empty file beside it, stamps it with the time to the nanosecond and
// renames it onto the name's file; each process that observes anything watches that folder
// (libsystem::FolderWatch) and picks out the names it observes. With inotify the kernel queues the
// event before rename() returns, so a post is visible to every observer, the posting process
// included, from then on; where inotify cannot be had the folder is polled instead (logged once),
// and a post is seen at the next poll or delivery. A name is encoded into the file name so that
// any byte is safe; files that start with '.' are temporary and never a name.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/corefoundation/exports.hpp"
#include "platform/system/libsystem.h"

namespace cf {

// One registration, with what the centre hands back to its callback.
struct Observer {
  CFNotificationCallback callback = nullptr;
  const void* observer = nullptr;
  CFStringRef name = nullptr;  // the name object given at registration, kept alive by the caller
};

// The file name under which NAME travels: letters, digits, '-', '_' and '.' (not first) stand for
// themselves, every other byte is %XX; an encoding longer than 200 bytes is shortened and made
// unique with a hash of the whole name. Empty for an empty name (which cannot be posted).
std::string transportFileName(std::string_view name);

// What CFRunLoopRunInMode reports, as the device's constants.
enum class RunResult : int32_t { finished = 1, stopped = 2, timedOut = 3, handledSource = 4 };

class DarwinCenter {
 public:
  // The process's centre, made on first use and never destroyed (callbacks may run at exit).
  static DarwinCenter& shared();

  // Adds OBSERVER for NAME; false when the same callback, observer and name are already there
  // (then nothing changes). The first registration makes the descriptor and the watch.
  bool addObserver(std::string_view name, const Observer& observer);

  // Posts NAME to the device. Does nothing without a device or for an empty name.
  void post(std::string_view name);

  // See cfsim::notificationDescriptor() and cfsim::deliverPendingNotifications().
  int descriptor() const;
  int deliverPending();

  // Delivers what arrives during up to TIMEOUT, returning after the first delivery when
  // RETURN_AFTER_HANDLED. `finished` at once when nothing is observed.
  RunResult run(std::chrono::nanoseconds timeout, bool returnAfterHandled);

  // Points the watch at the device this process is attached to now (see refreshVersionNumber).
  void followDevice();

 private:
  DarwinCenter() = default;
  // Makes the descriptor and (re)aims the watch when the process observes something, making the
  // notify folder first when CREATE; lock_ held.
  void ensureWatchLocked(bool create);
  // The file names that arrived, each once; all observed ones when arrivals were lost.
  std::vector<std::string> drain();

  mutable std::mutex lock_;
  std::map<std::string, std::vector<Observer>> entries_;  // by transport file name
  libsystem::FolderWatch watch_;                          // under lock_ (but its descriptor)
  std::string watchedFolder_;
  // Serialises deliveries so that callbacks never overlap; recursive so that a callback may
  // deliver again on its own thread.
  std::recursive_mutex delivering_;
};

}  // namespace cf
