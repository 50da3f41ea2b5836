// FileWatch on the device (libsystem.h states the contract): one kqueue holding an EVFILT_VNODE
// watch on each folder from the root down to the file's folder and one on the file, each on a
// descriptor opened with O_EVTONLY. Which folders and which file: path_walk.hpp, whose walk the
// Linux build's inotify watch shares. This file is the kqueue part.
//
// A folder's NOTE_WRITE does not say which entry changed, so any event on a folder counts as a
// change and the walk is set up again: more reads than inotify's per-name watch gives, never a
// missed one.
#include <errno.h>
#include <fcntl.h>
#include <sys/event.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/system/libsystem.h"
#include "platform/system/path_walk.hpp"

namespace {

// As many descriptors as one watch holds; a deeper walk leaves the watch blind.
constexpr int kMaxWatched = 64;
// A folder, or the file's own: udata of its watch.
constexpr std::uintptr_t kFolder = 0;
constexpr std::uintptr_t kFile = 1;
constexpr std::uint32_t kFolderNotes =
    NOTE_WRITE | NOTE_ATTRIB | NOTE_LINK | NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE;
constexpr std::uint32_t kFileNotes =
    NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_LINK | NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE;
// The file's vnode no longer carries its name: whatever the name holds now is watched anew.
constexpr std::uint32_t kFileGone = NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE;
// A queue that keeps filling is drained at most this many times per call.
constexpr int kMaxDrainsPerCall = 16;

}  // namespace

// One path's watch. Not thread-safe (FileWatch's callers serialise). A forked child does not
// inherit the kqueue (the kernel closes it there): the first call in another process forgets the
// parent's descriptors without closing them (a child that closed what it inherited may have
// reused their numbers) and sets up its own.
struct vyr_file_watch {
  explicit vyr_file_watch(std::string_view path) : devicePath(path) {}
  ~vyr_file_watch() { closeAll(); }
  vyr_file_watch(const vyr_file_watch&) = delete;
  vyr_file_watch& operator=(const vyr_file_watch&) = delete;

  bool changed() noexcept;
  int descriptor() const noexcept { return blind || unfollowable ? -1 : kq; }

 private:
  void closeAll() noexcept;
  // Closes everything and walks the path again; false leaves the watch blind.
  bool rewatch() noexcept;
  // Watches FD (owned from now on) for NOTES; false when kevent refused it.
  bool add(int fd, std::uint32_t notes, std::uintptr_t kind) noexcept;
  // Reads what is queued; whether any of it may concern the file. Sets AGAIN when the walk must be
  // set up again.
  bool drain(bool& again) noexcept;

  std::string devicePath;
  int kq = -1;
  pid_t owner = 0;                // the process the descriptors belong to
  int watched[kMaxWatched] = {};  // the folders' and the file's descriptors
  int count = 0;                  // how many of WATCHED are open
  bool blind = true;              // no watch in place: every call reports a change
  bool unfollowable = false;      // links that loop or cannot be read: every call reports a change
};

void vyr_file_watch::closeAll() noexcept {
  if (owner == ::getpid()) {
    for (int i = 0; i < count; ++i) ::close(watched[i]);
    if (kq >= 0) ::close(kq);
  }
  count = 0;
  kq = -1;
}

bool vyr_file_watch::add(int fd, std::uint32_t notes, std::uintptr_t kind) noexcept {
  if (count == kMaxWatched) {
    ::close(fd);
    return false;
  }
  watched[count++] = fd;
  struct kevent change {};
  change.ident = static_cast<std::uintptr_t>(fd);
  change.filter = EVFILT_VNODE;
  change.flags = EV_ADD | EV_ENABLE | EV_CLEAR;
  change.fflags = notes;
  change.udata = reinterpret_cast<void*>(kind);
  return ::kevent(kq, &change, 1, nullptr, 0, nullptr) == 0;
}

bool vyr_file_watch::changed() noexcept {
  if (blind || owner != ::getpid()) {
    rewatch();
    return true;
  }
  bool again = false;
  const bool any = drain(again);
  if (again) {
    rewatch();
    return true;
  }
  return any || unfollowable;
}

bool vyr_file_watch::drain(bool& again) noexcept {
  if (kq < 0) return false;  // nothing to watch: the path is read every time
  bool any = false;
  struct kevent events[8];
  const struct timespec now = {0, 0};
  for (int drains = 0; drains < kMaxDrainsPerCall; ++drains) {
    const int n = ::kevent(kq, nullptr, 0, events, 8, &now);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      again = true;
      return true;
    }
    for (int i = 0; i < n; ++i) {
      any = true;
      const auto kind = reinterpret_cast<std::uintptr_t>(events[i].udata);
      // Any folder event: the entry that leads on may be another one now.
      if (kind == kFolder || (events[i].flags & EV_ERROR) != 0 ||
          (events[i].fflags & kFileGone) != 0) {
        again = true;
      }
    }
    if (n < 8) return any;
  }
  again = true;  // a queue that keeps filling: start over with an empty one
  return true;
}

bool vyr_file_watch::rewatch() noexcept {
  closeAll();
  blind = true;
  unfollowable = false;
  owner = ::getpid();
  kq = ::kqueue();
  if (kq < 0) return false;
  struct Kernel {
    vyr_file_watch& w;
    int openFolder(const char* path) {
      return ::open(path, O_EVTONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
    }
    int openFile(const char* path) { return ::open(path, O_EVTONLY | O_NOFOLLOW | O_CLOEXEC); }
    long readLink(const char* path, char* buffer, std::size_t size) {
      return ::readlink(path, buffer, size);
    }
    bool watch(int fd, bool isFile) {
      return w.add(fd, isFile ? kFileNotes : kFolderNotes, isFile ? kFile : kFolder);
    }
  } kernel{*this};
  try {
    switch (libsystem::walkPath(devicePath, kernel)) {
      case libsystem::Walked::blind:
        return false;
      case libsystem::Walked::unfollowable:
        unfollowable = true;  // reads fail the same way: nothing to watch beyond
        break;
      case libsystem::Walked::watching:
        break;
    }
    blind = false;
    return true;
  } catch (...) {
    return false;  // out of memory: stay blind and try again at the next call
  }
}

// The device's C names of the watch (libsystem_darwin.h).

vyr_file_watch* vyr_libsystem_file_watch_open(const char* path, size_t length) noexcept try {
  return new vyr_file_watch(std::string_view(path, length));
} catch (...) {
  return nullptr;
}

int vyr_libsystem_file_watch_changed(vyr_file_watch* watch) noexcept {
  return watch == nullptr || watch->changed() ? 1 : 0;
}

int vyr_libsystem_file_watch_descriptor(const vyr_file_watch* watch) noexcept {
  return watch != nullptr ? watch->descriptor() : -1;
}

void vyr_libsystem_file_watch_close(vyr_file_watch* watch) noexcept {
  delete watch;
}
