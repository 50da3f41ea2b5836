// The file-change watch: one inotify descriptor watching the folders from the device's root down
// to the file's folder, each for the one name in it that leads to the file, and the file's inode.
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "device/files.hpp"
#include "platform/system/libsystem.h"

namespace libsystem {
namespace {

// What a folder on the way reports: the next folder appears, goes, is renamed or changes
// permissions; the folder itself goes or moves.
constexpr std::uint32_t kWayEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The file's folder also reports writes to the file through its name: IN_MODIFY for each write or
// truncation, so that a reader that ran between a writer's write() and close() does not keep a
// half-written file; IN_CLOSE_WRITE when the writer is done.
constexpr std::uint32_t kFileFolderEvents = kWayEvents | IN_MODIFY | IN_CLOSE_WRITE;
// The file's inode, whatever name it is written through.
constexpr std::uint32_t kFileEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// A watched folder or the file that is gone, moved or unmounted: everything is set up again.
constexpr std::uint32_t kGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
// The file's name now names another file, or none.
constexpr std::uint32_t kNameReplaced = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// A folder that keeps producing events for other names is drained at most this much per call;
// beyond it the call reports a change without looking further.
constexpr int kMaxReadsPerCall = 16;

// A forked child shares its parent's inotify descriptor, and with it the queue: whatever one
// drains, the other never sees. Each fork bumps the generation in the child, whose watches then
// set up a descriptor of their own.
std::atomic<unsigned> gForkGeneration{0};

void countFork() {
  gForkGeneration.fetch_add(1, std::memory_order_relaxed);
}

// The current generation; nothing when the fork handler could not be registered (a child could
// then not tell that it shares a descriptor, so watches stay blind).
std::optional<unsigned> forkGeneration() {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, &countFork) == 0;
  if (!registered) return std::nullopt;
  return gForkGeneration.load(std::memory_order_relaxed);
}

// Appends the components of PATH to PARTS, applying "." and ".." lexically; ".." stops at the
// root, as it does for a walk beneath the device's root.
void appendComponents(std::vector<std::string>& parts, std::string_view path) {
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    const std::string_view part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    i = j + 1;
  }
}

// As many links as a walk follows before it gives up, as the kernel does (ELOOP).
constexpr int kMaxLinks = 40;

// Watches the object open as FD (an O_PATH descriptor) through its own /proc entry, so the watch
// is on what was opened, not on whatever a path names by now.
int watchDescriptor(int inotify, int fd, std::uint32_t mask) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::inotify_add_watch(inotify, self.c_str(), mask);
}

void logNoWatchOnce(int error) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  std::fprintf(stderr,
               "FileWatch: cannot watch files (%s); files are read afresh on every call instead\n",
               std::strerror(error));
}

}  // namespace

FileWatch::FileWatch(std::string_view devicePath) : devicePath_(devicePath) {}

FileWatch::~FileWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileWatch::changed() noexcept {
  const std::optional<unsigned> generation = forkGeneration();
  if (blind_ || generation != forkGeneration_) {
    rewatch();
    return true;
  }
  bool again = false;
  const bool any = drain(again);
  if (again) {
    rewatch();
    return true;
  }
  return any || unfollowable_;
}

bool FileWatch::rewatch() noexcept {
  // Only this process's reference goes: after a fork the parent keeps its descriptor and watches.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  fileWd_ = -1;
  blind_ = true;
  unfollowable_ = false;
  folders_.clear();
  const std::optional<unsigned> generation = forkGeneration();
  if (!generation) return false;
  forkGeneration_ = *generation;
  try {
    if (devicePath_.empty() || devicePath_.front() != '/' ||
        devicePath_.find('\0') != std::string::npos) {
      return false;
    }
    sim::Fd root = sim::rootDescriptor();
    if (!root) return false;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      logNoWatchOnce(errno);
      return false;
    }
    // The walk goes from the root down, one component at a time, each folder watched (for the
    // name that leads on) before the next is looked at, so a folder that appears or goes in
    // between is reported by the watch one level up. A link on the way is watched by name in its
    // folder and then followed as the door follows it: its target, resolved beneath the root,
    // takes its place and the walk starts over from the root with the watches kept. The folders
    // before a link are real folders, so ".." in what replaces it is exact when applied
    // lexically.
    std::vector<std::string> parts;
    appendComponents(parts, devicePath_);
    if (parts.empty()) return false;
    sim::Fd current(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
    int links = 0;
    for (std::size_t i = 0; i < parts.size();) {
      const bool holdsFile = i + 1 == parts.size();
      const std::string name = parts[i];
      const int wd = watchDescriptor(fd_, current.get(),
                                     (holdsFile ? kFileFolderEvents : kWayEvents) | IN_MASK_ADD);
      if (wd < 0) {
        if (errno == ENOSPC || errno == ENOMEM) logNoWatchOnce(errno);
        return false;
      }
      folders_.push_back(Folder{wd, name, holdsFile});
      struct stat st {};
      if (::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Missing: there is no file, and the watch one level up reports when that changes.
        blind_ = !(errno == ENOENT || errno == ENOTDIR);
        return !blind_;
      }
      if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = ::readlinkat(current.get(), name.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target || ++links > kMaxLinks) {
          unfollowable_ = true;  // reads fail the same way; nothing to watch beyond
          blind_ = false;
          return true;
        }
        const std::string_view link(target, static_cast<std::size_t>(n));
        std::vector<std::string> next;
        if (link.front() != '/') next.assign(parts.begin(), parts.begin() + static_cast<long>(i));
        appendComponents(next, link);
        for (std::size_t k = i + 1; k < parts.size(); ++k) next.push_back(parts[k]);
        if (next.empty()) {
          unfollowable_ = true;  // the path names the root itself
          blind_ = false;
          return true;
        }
        parts = std::move(next);
        current = sim::Fd(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
        i = 0;
        continue;
      }
      const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC | (holdsFile ? 0 : O_DIRECTORY);
      sim::Fd next(::openat(current.get(), name.c_str(), flags));
      if (!next) {
        blind_ = !(errno == ENOENT || errno == ENOTDIR);
        return !blind_;
      }
      if (holdsFile) {
        fileWd_ = watchDescriptor(fd_, next.get(), kFileEvents | IN_MASK_ADD);
        if (fileWd_ < 0) return false;
      }
      current = std::move(next);
      ++i;
    }
    blind_ = false;
    return true;
  } catch (...) {
    return false;  // out of memory: stay blind and try again at the next call
  }
}

bool FileWatch::drain(bool& again) noexcept {
  if (fd_ < 0) return false;  // nothing to watch: the path is read every time
  int queued = 0;
  if (::ioctl(fd_, FIONREAD, &queued) != 0) {
    again = true;
    return true;
  }
  if (queued <= 0) return false;

  bool any = false;
  alignas(inotify_event) char buf[4096];
  for (int reads = 0;; ++reads) {
    if (reads == kMaxReadsPerCall) {
      again = true;  // start over with an empty queue rather than read on
      return true;
    }
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      again = true;
      return true;
    }
    const auto end = static_cast<std::size_t>(n);
    for (std::size_t at = 0; at + sizeof(inotify_event) <= end;) {
      inotify_event ev{};
      std::memcpy(&ev, buf + at, sizeof ev);
      const char* name = buf + at + sizeof ev;
      at += sizeof ev + ev.len;
      if ((ev.mask & IN_Q_OVERFLOW) != 0) {
        again = true;  // events were lost, some of them perhaps about the folders
        any = true;
        continue;
      }
      if (ev.wd == fileWd_) {
        any = true;
        // The file's last name went: whatever takes the name is watched anew.
        if ((ev.mask & kGone) != 0) again = true;
        continue;
      }
      bool known = false, gone = false, onTheWay = false, replaced = false;
      const std::string_view evName(name, ev.len > 0 ? ::strnlen(name, ev.len) : 0);
      for (const Folder& f : folders_) {
        if (f.wd != ev.wd) continue;
        known = true;
        gone = gone || (ev.mask & kGone) != 0;
        if (ev.len == 0 || evName != f.next) continue;
        onTheWay = true;
        // A folder on the way, or the file's name, now names something else: watch that instead.
        replaced = replaced || !f.holdsFile || (ev.mask & kNameReplaced) != 0;
      }
      if (!known || gone) {
        again = true;
        any = true;
        continue;
      }
      if (ev.len == 0) {
        any = true;  // the folder's own permissions
        continue;
      }
      if (!onTheWay) continue;
      any = true;
      if (replaced) again = true;
    }
  }
  return any;
}

}  // namespace libsystem
