#include "platform/corefoundation/darwin_center.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "device/device.hpp"
#include "device/files.hpp"

namespace cf {
namespace {

constexpr std::size_t kMaxFileName = 200;  // leaves room for the temporary file's suffix

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

// Removes the files of names posted long ago (and temporary files of posters that died).
void sweep(int folder) {
  const time_t now = std::time(nullptr);
  for (const std::string& name : sim::listFolderAt(folder).value_or(std::vector<std::string>{})) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        now - st.st_mtime > kKeepPostsSeconds) {
      ::unlinkat(folder, name.c_str(), 0);
    }
  }
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
  const std::string folder = notifyFolderKey();
  if (folder == watchedFolder_ && watch_.watching()) return;
  watchedFolder_ = folder;
  if (folder.empty() || (create && !makeNotifyFolder())) return;
  watch_.watch(kNotifyFolder);
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
  const sim::Fd made = sim::createTempIn(folder.get(), file, temp);
  if (!made) return;
  // Each post's file is told apart from the one before by its time to the nanosecond, also by
  // an observer that polls (the inode number of a file just replaced may come back at once).
  timespec now[2]{};
  ::clock_gettime(CLOCK_REALTIME, &now[0]);
  now[1] = now[0];
  ::futimens(made.get(), now);
  if (::renameat(folder.get(), temp.c_str(), folder.get(), file.c_str()) != 0) {
    ::unlinkat(folder.get(), temp.c_str(), 0);
  }
  sweep(folder.get());
}

int DarwinCenter::descriptor() const {
  return watch_.descriptor();
}

std::vector<std::string> DarwinCenter::drain() {
  std::lock_guard<std::mutex> guard(lock_);
  bool everything = false;
  std::vector<std::string> arrived = watch_.arrivals(everything);
  if (everything) {
    // Arrivals were lost: any observed name may have been posted. A spurious delivery is harmless
    // to an observer; a lost one is not.
    arrived.clear();
    for (const auto& entry : entries_) arrived.push_back(entry.first);
  }
  // The folder went away (the device was removed or replaced): watch it again when it exists.
  if (!watch_.watching()) ensureWatchLocked(false);
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
    if (fd < 0) {
      // Not even a descriptor to wait on: look again at the polling interval.
      const auto step = std::chrono::milliseconds(libsystem::FolderWatch::kPollMilliseconds);
      std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(left, step));
      continue;
    }
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec wait{static_cast<time_t>(secs.count()),
                        static_cast<long>((left - secs).count())};
    pollfd p{fd, POLLIN, 0};
    ::ppoll(&p, 1, &wait, nullptr);
  }
}

}  // namespace cf
