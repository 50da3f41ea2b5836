// The watch behind the C names file_watch_open, ..._changed, ..._descriptor, ..._close: what
// libsystem::FileWatch promises (see libsystem.h), on inotify. Internal to the library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace libsystem {

class PathWatch {
 public:
  // Watches DEVICE_PATH (absolute, as for unlink). Opens nothing yet: the first changed() sets the
  // watch up. Throws std::bad_alloc when the path cannot be copied.
  explicit PathWatch(std::string_view devicePath);
  // Closes the descriptor.
  ~PathWatch();
  PathWatch(const PathWatch&) = delete;
  PathWatch& operator=(const PathWatch&) = delete;

  // Whether the file may differ from what it was when the previous call returned: true at the
  // first call, after anything happened to the file's name or to a folder on the way, and
  // whenever the watch is not in place. False means that nothing changed since the previous call
  // began. Never blocks, never throws; costs one ioctl when nothing happened.
  bool changed() noexcept;

  // For a reader that waits: a descriptor that becomes readable when changed() may have something
  // to report (pass it to poll(), never read it or close it). -1 while the watch is not in place
  // (changed() then reports a change on every call). It may be another one after changed()
  // returned true: ask again after each call.
  int descriptor() const noexcept { return blind_ || unfollowable_ ? -1 : fd_; }

 private:
  // One watched folder: the machine path's component that matters in it, and whether it is the
  // file's own folder (NEXT is then the file's name).
  struct Folder {
    int wd = -1;
    std::string next;
    bool holdsFile = false;
  };
  // Where the path walk (path_walk.hpp) stands on the device: descriptors beneath its root.
  class Place;
  // Closes the descriptor and sets everything up again; false leaves the watch blind.
  bool rewatch() noexcept;
  // Ends a walk that found the file open as WALKED_FILE (-1: nothing there): checks it against
  // what the door opens, and watches the file. False: the watch stays blind.
  bool settled(int walkedFile) noexcept;
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

}  // namespace libsystem
