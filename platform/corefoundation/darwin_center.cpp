#include "platform/corefoundation/darwin_center.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device/device.hpp"
#include "device/files.hpp"

namespace cf {
namespace {

constexpr std::size_t kMaxFileName = 200;  // leaves room for the temporary file's suffix
constexpr uint32_t kArrivals = IN_CLOSE_WRITE | IN_MOVED_TO;

constexpr char kNotifyFolder[] = "notify";
// A posted name's file outlives its delivery by this much, then the next post removes it: the
// folder holds the recently posted names, not every name ever posted.
constexpr time_t kKeepPostsSeconds = 60;

// Which device's notification folder this process uses, as a key for noticing a change of device
// (the folder itself is only ever reached through the door).
std::string notifyFolderKey() {
  const std::string sim = sim::simFolder();
  return sim.empty() ? sim : sim + "/notify";
}

bool makeNotifyFolder() {
  return sim::makeFolders(sim::Area::Simulator, kNotifyFolder) == 0;
}

void logNoWatchOnce(int error) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  std::fprintf(stderr, "CFNotificationCenter: cannot watch for Darwin notifications (%s)\n",
               std::strerror(error));
}

// Removes the files of names posted long ago (and temporary files of posters that died).
void sweep(int folder) {
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  const time_t now = std::time(nullptr);
  std::vector<std::string> old;
  while (const dirent* e = ::readdir(dir)) {
    struct stat st {};
    if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || e->d_name[1] == '.')) continue;
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        now - st.st_mtime > kKeepPostsSeconds) {
      old.emplace_back(e->d_name);
    }
  }
  for (const std::string& name : old) ::unlinkat(::dirfd(dir), name.c_str(), 0);
  ::closedir(dir);
}

bool keptAsIs(unsigned char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || (c == '.' && !first);
}

bool sameObserver(const Observer& a, const Observer& b) {
  return a.callback == b.callback && a.observer == b.observer;
}

}  // namespace

std::string transportFileName(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (keptAsIs(c, i == 0)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (out.size() <= kMaxFileName) return out;
  // '~' never appears in an encoding ('~' itself becomes %7E), so shortened names cannot meet
  // full ones.
  uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  out.resize(kMaxFileName - 17);
  out += '~';
  for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(hash >> shift) & 15];
  return out;
}

DarwinCenter& DarwinCenter::shared() {
  static DarwinCenter* center = new DarwinCenter();
  return *center;
}

bool DarwinCenter::addObserver(std::string_view name, const Observer& observer) {
  const std::string file = transportFileName(name);
  if (file.empty() || observer.callback == nullptr) return false;
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Observer>& observers = entries_[file];
  const bool known = std::any_of(observers.begin(), observers.end(),
                                 [&](const Observer& o) { return sameObserver(o, observer); });
  if (!known) observers.push_back(observer);
  ensureWatchLocked(true);
  return !known;
}

void DarwinCenter::ensureWatchLocked(bool create) {
  if (entries_.empty()) return;
  if (fd_.load(std::memory_order_relaxed) < 0) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
      logNoWatchOnce(errno);
      return;
    }
    fd_.store(fd, std::memory_order_release);
  }
  const std::string folder = notifyFolderKey();
  if (folder == watchedFolder_ && watch_ >= 0) return;
  const int fd = fd_.load(std::memory_order_relaxed);
  if (watch_ >= 0) ::inotify_rm_watch(fd, watch_);
  watch_ = -1;
  watchedFolder_ = folder;
  if (folder.empty() || (create && !makeNotifyFolder())) return;
  // Watched through the descriptor the door opened: a link planted in its place is not followed.
  const sim::Fd opened = sim::openPath(sim::Area::Simulator, kNotifyFolder);
  if (!opened) return;
  const std::string self = "/proc/self/fd/" + std::to_string(opened.get());
  watch_ = ::inotify_add_watch(fd, self.c_str(), kArrivals | IN_ONLYDIR);
  if (watch_ < 0 && (errno == ENOSPC || errno == ENOMEM)) logNoWatchOnce(errno);
}

void DarwinCenter::followDevice() {
  std::lock_guard<std::mutex> guard(lock_);
  ensureWatchLocked(true);
}

void DarwinCenter::post(std::string_view name) {
  const std::string file = transportFileName(name);
  if (file.empty() || !makeNotifyFolder()) return;
  {
    // A process that observes the name must be watching before its own post lands.
    std::lock_guard<std::mutex> guard(lock_);
    ensureWatchLocked(true);
  }
  const sim::Fd folder = sim::openFolder(sim::Area::Simulator, kNotifyFolder);
  if (!folder) return;
  // The file stays empty: a rename that replaces a file with unwritten data makes ext4 flush
  // that data first, which took milliseconds per post.
  std::string temp;
  if (!sim::createTempIn(folder.get(), file, temp)) return;
  if (::renameat(folder.get(), temp.c_str(), folder.get(), file.c_str()) != 0) {
    ::unlinkat(folder.get(), temp.c_str(), 0);
  }
  sweep(folder.get());
}

int DarwinCenter::descriptor() const {
  return fd_.load(std::memory_order_acquire);
}

std::vector<std::string> DarwinCenter::drain() {
  std::vector<std::string> arrived;
  const int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0) return arrived;
  bool overflow = false;
  std::vector<int> lostWatches;
  std::vector<int> watches;
  alignas(inotify_event) char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
      inotify_event ev{};
      std::memcpy(&ev, buf + at, sizeof ev);
      const char* evName = buf + at + sizeof ev;
      at += sizeof ev + ev.len;
      if ((ev.mask & IN_Q_OVERFLOW) != 0) overflow = true;
      if ((ev.mask & IN_IGNORED) != 0) lostWatches.push_back(ev.wd);
      if ((ev.mask & kArrivals) == 0 || ev.len == 0 || evName[0] == '.') continue;
      std::string file(evName, strnlen(evName, ev.len));
      if (std::find(arrived.begin(), arrived.end(), file) == arrived.end()) {
        arrived.push_back(std::move(file));
        watches.push_back(ev.wd);
      }
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  // Events of a folder watched before the device changed are not this device's.
  for (std::size_t i = arrived.size(); i-- > 0;) {
    if (watches[i] != watch_) arrived.erase(arrived.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (overflow) {
    // The kernel dropped events: any observed name may have been posted. A spurious delivery is
    // harmless to an observer; a lost one is not.
    arrived.clear();
    for (const auto& entry : entries_) arrived.push_back(entry.first);
  }
  if (std::find(lostWatches.begin(), lostWatches.end(), watch_) != lostWatches.end()) {
    // The folder went away (the device was removed or replaced): watch it again when it exists.
    watch_ = -1;
    ensureWatchLocked(false);
  }
  return arrived;
}

int DarwinCenter::deliverPending() {
  std::lock_guard<std::recursive_mutex> delivering(delivering_);
  {
    // Delivering never makes folders: it may run while a device folder is being removed.
    std::lock_guard<std::mutex> guard(lock_);
    ensureWatchLocked(false);
  }
  const std::vector<std::string> arrived = drain();
  if (arrived.empty()) return 0;

  std::vector<Observer> calls;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::string& file : arrived) {
      const auto it = entries_.find(file);
      if (it == entries_.end()) continue;
      calls.insert(calls.end(), it->second.begin(), it->second.end());
    }
  }
  CFNotificationCenterRef center = CFNotificationCenterGetDarwinNotifyCenter();
  for (const Observer& o : calls) {
    try {
      o.callback(center, const_cast<void*>(o.observer), o.name, nullptr, nullptr);
    } catch (...) {
      // A callback is C code to the centre; an exception from it must not end the delivery.
    }
  }
  return static_cast<int>(calls.size());
}

RunResult DarwinCenter::run(std::chrono::nanoseconds timeout, bool returnAfterHandled) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.empty()) return RunResult::finished;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (deliverPending() > 0 && returnAfterHandled) return RunResult::handledSource;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero()) return RunResult::timedOut;
    const int fd = descriptor();
    if (fd < 0) return RunResult::finished;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec wait{static_cast<time_t>(secs.count()),
                        static_cast<long>((left - secs).count())};
    pollfd p{fd, POLLIN, 0};
    ::ppoll(&p, 1, &wait, nullptr);
  }
}

}  // namespace cf
