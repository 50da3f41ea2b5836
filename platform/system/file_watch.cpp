// The file-change watch: one inotify descriptor watching the folders from the device's root down
// to the file's folder, each for the one name in it that leads to the file.
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include "device/device.hpp"
#include "platform/system/libsystem.h"

namespace libsystem {
namespace {

// What a folder on the way reports: the next folder appears, goes, is renamed or changes
// permissions; the folder itself goes or moves. A link on the way is not followed (IN_DONT_FOLLOW
// with IN_ONLYDIR refuses it), since its target's changes would not reach the watch.
constexpr std::uint32_t kWayEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                     IN_DONT_FOLLOW;
// The file's folder also reports writes to the file: IN_MODIFY for each write or truncation, so
// that a reader that ran between a writer's write() and close() does not keep a half-written
// file; IN_CLOSE_WRITE when the writer is done.
constexpr std::uint32_t kFileFolderEvents = kWayEvents | IN_MODIFY | IN_CLOSE_WRITE;
// A watched folder that is gone, moved or unmounted: the chain must be set up again.
constexpr std::uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
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

// The components of device path PATH below the device's root, as sim::resolve reads them;
// nothing for the root itself.
std::optional<std::vector<std::string>> components(std::string_view path) {
  auto parts = sim::deviceComponents(path);
  if (!parts || parts->empty()) return std::nullopt;
  return parts;
}

bool isLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
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
  return any || fileIsLink_;
}

bool FileWatch::rewatch() noexcept {
  // Only this process's reference goes: after a fork the parent keeps its descriptor and watches.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  blind_ = true;
  fileIsLink_ = false;
  folders_.clear();
  const std::optional<unsigned> generation = forkGeneration();
  if (!generation) return false;
  forkGeneration_ = *generation;
  try {
    const std::string root = sim::deviceRoot();
    const std::optional<std::vector<std::string>> parts = components(devicePath_);
    if (root.empty() || !parts) return false;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    folders_.reserve(parts->size());
    // Each folder is watched before the next one is looked at, so a folder that appears or goes
    // in between is reported by the watch one level up.
    std::string path = root;
    for (std::size_t i = 0; i < parts->size(); ++i) {
      const bool holdsFile = i + 1 == parts->size();
      const int wd =
          ::inotify_add_watch(fd_, path.c_str(), holdsFile ? kFileFolderEvents : kWayEvents);
      if (wd < 0) {
        const int error = errno;
        // Below the root, a folder that is missing or not a folder means there is no file; the
        // watch one level up reports when that changes. The root itself must be there, and a
        // link on the way cannot be followed.
        const bool absent = (error == ENOENT || error == ENOTDIR) && i > 0 && !isLink(path);
        blind_ = !absent;
        return absent;
      }
      folders_.push_back(Folder{wd, (*parts)[i], holdsFile});
      path += '/';
      path += (*parts)[i];
    }
    fileIsLink_ = isLink(path);
    filePath_ = std::move(path);
    blind_ = false;
    return true;
  } catch (...) {
    return false;  // out of memory: stay blind and try again at the next call
  }
}

bool FileWatch::drain(bool& again) noexcept {
  int queued = 0;
  if (::ioctl(fd_, FIONREAD, &queued) != 0) {
    again = true;
    return true;
  }
  if (queued <= 0) return false;

  bool any = false;
  bool fileReplaced = false;
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
      const Folder* folder = nullptr;
      for (const Folder& f : folders_) {
        if (f.wd == ev.wd) folder = &f;
      }
      if (folder == nullptr || (ev.mask & kFolderGone) != 0) {
        again = true;
        any = true;
        continue;
      }
      if (ev.len == 0) {
        any = true;  // the folder's own permissions
        continue;
      }
      if (std::string_view(name, ::strnlen(name, ev.len)) != folder->next) continue;
      any = true;
      if (!folder->holdsFile) {
        again = true;
      } else if ((ev.mask & kNameReplaced) != 0) {
        fileReplaced = true;
      }
    }
  }
  // The name may now be a symbolic link, whose target's changes no watch here would see.
  if (fileReplaced && !again) fileIsLink_ = isLink(filePath_);
  return any;
}

}  // namespace libsystem
