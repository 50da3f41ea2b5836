// The watches of the device's files: FileWatch, one inotify descriptor watching the folders from
// the device's root down to the file's folder, each for the one name in it that leads to the file,
// and the file's inode; FolderWatch, the names arriving in one folder of the simulator's state.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "device/files.hpp"
#include "platform/system/libsystem.h"
#include "platform/system/libsystem_names.h"
#include "platform/system/path_walk.hpp"
#include "platform/system/path_watch.hpp"

namespace libsystem {
namespace {

// What a folder reports, as the device's NOTE_WRITE on a folder does: an entry appears, goes or is
// renamed; and the folder's own attributes, deletion or move. (IN_ATTRIB also fires for entries
// inside the folder: those are not used.)
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The file's inode, whatever name it is written through: IN_MODIFY for each write or truncation,
// so that a reader that ran between a writer's write() and close() does not keep a half-written
// file; IN_CLOSE_WRITE when the writer is done; IN_ATTRIB for permissions and the link count.
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

// Whether A and B are open on the same object.
bool sameObject(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

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

std::atomic<bool> gInotifyUnavailable{false};

// A new inotify instance, or -1 with errno set.
int newInotify() {
  if (gInotifyUnavailable.load(std::memory_order_relaxed)) {
    errno = EMFILE;
    return -1;
  }
  return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

// How a drain of an inotify descriptor ended.
enum class Drained { empty, failed, tooMany };

// Reads the inotify descriptor FD until it is empty, calling EACH with every event and its name
// (empty for none); gives up after MAX_READS reads of a queue that keeps filling.
template <class Each>
Drained readEvents(int fd, Each&& each, int maxReads = 1 << 30) {
  alignas(inotify_event) char buf[4096];
  for (int reads = 0; reads < maxReads; ++reads) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return Drained::empty;
    if (n <= 0) return Drained::failed;
    const auto end = static_cast<std::size_t>(n);
    for (std::size_t at = 0; at + sizeof(inotify_event) <= end;) {
      inotify_event ev{};
      std::memcpy(&ev, buf + at, sizeof ev);
      const char* name = buf + at + sizeof ev;
      at += sizeof ev + ev.len;
      each(ev, std::string_view(name, ev.len > 0 ? ::strnlen(name, ev.len) : 0));
    }
  }
  return Drained::tooMany;
}

}  // namespace

PathWatch::PathWatch(std::string_view devicePath) : devicePath_(devicePath) {}

PathWatch::~PathWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool PathWatch::changed() noexcept {
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

// The walk's place on the simulated device (see path_walk.hpp). The walk stands on O_PATH
// descriptors, from a duplicate of the device's root down, each opened by one name beneath the
// one before without following a link, so it never leaves the device folder: ".." goes back to
// the descriptor the walk came from (never above the root) and an absolute link goes back to the
// root. Each folder is watched, for the name looked up next in it, on its own descriptor. Where
// the walk ends, the door must agree (settled): a walk finds only what a read would find.
class PathWatch::Place {
 public:
  static constexpr int kMaxLinks = 40;  // Linux's

  explicit Place(PathWatch& watch) : watch_(watch) {}

  // The root, and the inotify descriptor the walk's watches go to.
  bool start() {
    sim::Fd root = sim::rootDescriptor();
    if (!root) return false;
    walked_.push_back(std::move(root));
    watch_.fd_ = newInotify();
    if (watch_.fd_ < 0) {
      logNoWatchOnce(errno);
      return false;
    }
    return true;
  }
  bool watch(const std::string& name, bool last) {
    const int wd = watchDescriptor(watch_.fd_, walked_.back().get(), kFolderEvents | IN_MASK_ADD);
    if (wd < 0) {
      if (errno == ENOSPC || errno == ENOMEM) logNoWatchOnce(errno);
      return false;
    }
    watch_.folders_.push_back(Folder{wd, name, last});
    return true;
  }
  Found lookUp(const std::string& name, bool last, std::string& link) {
    const int current = walked_.back().get();
    struct stat st {};
    if (::fstatat(current, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT || errno == ENOTDIR ? Found::missing : Found::failed;
    }
    if (S_ISLNK(st.st_mode)) {
      char text[4096];
      const ssize_t n = ::readlinkat(current, name.c_str(), text, sizeof text);
      link.clear();
      if (n > 0 && static_cast<std::size_t>(n) < sizeof text) {
        link.assign(text, static_cast<std::size_t>(n));
      }
      return Found::link;
    }
    const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY);
    sim::Fd opened(::openat(current, name.c_str(), flags));
    if (!opened) return errno == ENOENT || errno == ENOTDIR ? Found::missing : Found::failed;
    found_ = std::move(opened);
    return last ? Found::file : Found::folder;
  }
  bool enter() {
    walked_.push_back(std::move(found_));
    return true;
  }
  bool watchFile() { return watch_.settled(found_.get()); }
  bool noFile() { return watch_.settled(-1); }
  void climb() {
    if (walked_.size() > 1) walked_.pop_back();
  }
  void toRoot() { walked_.resize(1); }

 private:
  PathWatch& watch_;
  std::vector<sim::Fd> walked_;  // the folders from the root to where the walk stands
  sim::Fd found_;                // what the last lookup opened
};

bool PathWatch::rewatch() noexcept {
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
    Place place(*this);
    switch (walk(devicePath_, place)) {
      case Walked::blind:
        return false;
      case Walked::unfollowable:
        unfollowable_ = true;  // reads fail the same way: nothing to watch beyond
        break;
      case Walked::watching:
        break;
    }
    blind_ = false;
    return true;
  } catch (...) {
    return false;  // out of memory: stay blind and try again at the next call
  }
}

bool PathWatch::settled(int walkedFile) noexcept {
  // What the walk found must be what the door opens for the read: the same file, or nothing on
  // both sides. The file's watch is set on the door's own descriptor. Anything else (a change
  // racing with the walk) leaves the watch blind, to be set up again at the next call.
  const sim::Fd opened = sim::openPath(sim::Area::Device, devicePath_);
  if (walkedFile < 0) return !opened && (opened.error() == ENOENT || opened.error() == ENOTDIR);
  if (!opened || !sameObject(walkedFile, opened.get())) return false;
  fileWd_ = watchDescriptor(fd_, opened.get(), kFileEvents | IN_MASK_ADD);
  return fileWd_ >= 0;
}

bool PathWatch::drain(bool& again) noexcept {
  if (fd_ < 0) return false;  // nothing to watch: the path is read every time
  int queued = 0;
  if (::ioctl(fd_, FIONREAD, &queued) != 0) {
    again = true;
    return true;
  }
  if (queued <= 0) return false;

  bool any = false;
  const Drained drained = readEvents(
      fd_,
      [&](const inotify_event& ev, std::string_view evName) {
        if ((ev.mask & IN_Q_OVERFLOW) != 0) {
          again = true;  // events were lost, some of them perhaps about the folders
          any = true;
          return;
        }
        if (ev.wd == fileWd_) {
          any = true;
          // The file's last name went: whatever takes the name is watched anew.
          if ((ev.mask & kGone) != 0) again = true;
          return;
        }
        bool known = false, gone = false, onTheWay = false;
        for (const Folder& f : folders_) {
          if (f.wd != ev.wd) continue;
          known = true;
          gone = gone || (ev.mask & kGone) != 0;
          onTheWay = onTheWay || (ev.len > 0 && evName == f.next);
        }
        if (!known || gone) {
          again = true;
          any = true;
          return;
        }
        if (ev.len == 0) {
          any = true;  // the folder's own attributes
          return;
        }
        // The name that leads on now names something else, or nothing: watch that instead. What
        // happens to the entry itself (its attributes, writes) is its own watch's business.
        if (onTheWay && (ev.mask & kNameReplaced) != 0) {
          any = true;
          again = true;
        }
      },
      kMaxReadsPerCall);
  // A queue that keeps filling, or a read that failed: start over with an empty queue.
  if (drained != Drained::empty) {
    again = true;
    return true;
  }
  return any;
}

}  // namespace libsystem

// The device's C names of the watch (see libsystem_names.h).

struct vyr_file_watch {
  libsystem::PathWatch watch;
};

vyr_file_watch* vyr_libsystem_file_watch_open(const char* path, size_t length) noexcept try {
  return new vyr_file_watch{libsystem::PathWatch(std::string_view(path, length))};
} catch (...) {
  return nullptr;
}

int vyr_libsystem_file_watch_changed(vyr_file_watch* watch) noexcept {
  return watch == nullptr || watch->watch.changed() ? 1 : 0;
}

int vyr_libsystem_file_watch_descriptor(const vyr_file_watch* watch) noexcept {
  return watch != nullptr ? watch->watch.descriptor() : -1;
}

void vyr_libsystem_file_watch_close(vyr_file_watch* watch) noexcept {
  delete watch;
}

namespace libsystem {

// ---- FolderWatch ----

namespace {

void logPollingOnce(int error) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  std::fprintf(stderr,
               "FolderWatch: cannot watch folders (%s); Darwin notifications are polled every "
               "%d ms instead\n",
               std::strerror(error), FolderWatch::kPollMilliseconds);
}

// What a folder's arrival looks like to inotify: a file closed after writing, or anything renamed
// onto a name. (A file created and not yet closed is not there yet.)
constexpr std::uint32_t kArrivals = IN_CLOSE_WRITE | IN_MOVED_TO;

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

FolderWatch::~FolderWatch() {
  const int epoll = descriptor_.exchange(-1);
  if (epoll >= 0) ::close(epoll);
  closeIfOpen(inotify_);
  closeIfOpen(timer_);
}

void FolderWatch::setUp() noexcept {
  if (descriptor() < 0) {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll >= 0) descriptor_.store(epoll, std::memory_order_release);
  }
  if (!polling_ && inotify_ < 0) {
    inotify_ = newInotify();
    if (inotify_ < 0) {
      startPolling(errno);
    } else if (descriptor() >= 0) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ::epoll_ctl(descriptor(), EPOLL_CTL_ADD, inotify_, &ev);
    }
  }
}

void FolderWatch::startPolling(int error) noexcept {
  logPollingOnce(error);
  polling_ = true;
  closeIfOpen(inotify_);
  wd_ = -1;
  timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_ < 0) return;  // arrivals() still lists the folder whenever it is called
  const timespec every{0, static_cast<long>(kPollMilliseconds) * 1000000L};
  const itimerspec period{every, every};
  ::timerfd_settime(timer_, 0, &period, nullptr);
  if (descriptor() >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ::epoll_ctl(descriptor(), EPOLL_CTL_ADD, timer_, &ev);
  }
}

bool FolderWatch::list(std::vector<std::pair<std::string, Stamp>>& out) const noexcept {
  out.clear();
  sim::Fd folder = sim::openFolder(sim::Area::Simulator, path_);
  if (!folder) return false;
  DIR* dir = ::fdopendir(folder.get());
  if (dir == nullptr) return false;
  folder.release();  // the listing owns it now
  bool ok = true;
  try {
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || e->d_name[1] == '.')) continue;
      struct stat st {};
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      const long long modified =
          static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
      out.emplace_back(e->d_name, Stamp{static_cast<unsigned long>(st.st_ino), modified});
    }
  } catch (...) {
    ok = false;
  }
  ::closedir(dir);
  return ok;
}

bool FolderWatch::watch(std::string_view path) noexcept {
  watching_ = false;
  try {
    path_.assign(path);
  } catch (...) {
    return false;
  }
  setUp();
  if (!polling_) {
    // Events of the folder watched before are dropped by their watch number.
    if (wd_ >= 0) ::inotify_rm_watch(inotify_, wd_);
    wd_ = -1;
    // Watched through the descriptor the door opened: a link planted in its place is not
    // followed.
    const sim::Fd opened = sim::openPath(sim::Area::Simulator, path_);
    if (!opened) return false;
    wd_ = watchDescriptor(inotify_, opened.get(), kArrivals | IN_ONLYDIR);
    if (wd_ >= 0) {
      watching_ = true;
      return true;
    }
    if (errno != ENOSPC && errno != ENOMEM) return false;
    startPolling(errno);
  }
  watching_ = list(listed_);
  return watching_;
}

std::vector<std::string> FolderWatch::arrivals(bool& everything) noexcept {
  everything = false;
  std::vector<std::string> arrived;
  try {
    const auto add = [&](std::string_view name) {
      if (std::find(arrived.begin(), arrived.end(), name) == arrived.end()) {
        arrived.emplace_back(name);
      }
    };
    if (!polling_) {
      if (inotify_ < 0) return arrived;
      readEvents(inotify_, [&](const inotify_event& ev, std::string_view name) {
        if ((ev.mask & IN_Q_OVERFLOW) != 0) everything = true;
        if (ev.wd != wd_ || wd_ < 0) return;  // a folder watched before
        if ((ev.mask & IN_IGNORED) != 0) {
          watching_ = false;  // the folder went away
          wd_ = -1;
        }
        if ((ev.mask & kArrivals) != 0 && !name.empty()) add(name);
      });
      return arrived;
    }
    if (timer_ >= 0) {
      std::uint64_t expirations = 0;
      while (::read(timer_, &expirations, sizeof expirations) > 0) {
      }
    }
    if (!watching_) return arrived;
    std::vector<std::pair<std::string, Stamp>> now;
    if (!list(now)) {
      watching_ = false;
      listed_.clear();
      return arrived;
    }
    for (const auto& entry : now) {
      const auto before = std::find_if(listed_.begin(), listed_.end(),
                                       [&](const auto& e) { return e.first == entry.first; });
      if (before == listed_.end() || !(before->second == entry.second)) add(entry.first);
    }
    listed_.swap(now);
  } catch (...) {
    everything = true;
  }
  return arrived;
}

namespace testing {

void setInotifyUnavailable(bool unavailable) {
  gInotifyUnavailable.store(unavailable, std::memory_order_relaxed);
}

}  // namespace testing

}  // namespace libsystem
