#include "platform/preferences/domain.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <thread>

#include "device/device.hpp"
#include "device/files.hpp"
#include "platform/foundation/plist_io.hpp"

namespace preferences {
namespace {

bool plainName(std::string_view domain) {
  if (domain.empty() || domain.size() > 255 || domain.front() == '.') return false;
  for (char c : domain) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

thread_local std::optional<WriteResult> tLastWrite;

std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
  return text;
}

constexpr char kPreferencesFolder[] = "/var/mobile/Library/Preferences";
constexpr char kUnreadableMark[] = ".unreadable-";

// Gives the unreadable file at PATH a second name beside it, never replacing an earlier copy;
// the name, or nothing with ERROR set.
std::optional<std::string> keepUnreadable(const std::string& path, int& error) {
  const std::string stem = path + kUnreadableMark + utcStamp();
  for (int n = 0; n < 1000; ++n) {
    const std::string name = n == 0 ? stem : stem + "-" + std::to_string(n);
    error = sim::linkFile(sim::Area::Device, path, name);
    if (error == 0) return name;
    if (error != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

WriteResult failed(int error, std::string problem) {
  WriteResult r;
  r.error = error;
  r.problem = std::move(problem);
  return r;
}

WriteResult write(std::string_view domain, ns::String key, objc::id value) {
  const auto path = domainFilePath(domain);
  if (!path) return failed(EINVAL, "'" + std::string(domain) + "' is not a preferences domain");
  if (!key) return failed(EINVAL, "no key");
  ns::AutoreleasePool pool;

  const WritersLock lock(domain);
  if (!lock) return failed(lock.error(), lock.problem());
  namespace plist = foundation::plist;
  plist::Update u = plist::updateDictionaryFile(*path, key.get(), value, false);
  std::optional<std::string> kept;
  if (u.error == ENOENT && u.reading) {
    u = plist::updateDictionaryFile(*path, key.get(), value, true);
  } else if (u.error == plist::kNotPropertyList && u.reading) {
    // Only bytes that are not a property list are set aside; the user's data in them stays.
    int error = 0;
    kept = keepUnreadable(*path, error);
    if (!kept)
      return failed(error, "cannot keep the unreadable " + *path + ": " + sim::describe(error));
    u = plist::updateDictionaryFile(*path, key.get(), value, true);
  }
  if (u.error != 0) {
    // The unreadable file is still in place: its second name goes again.
    if (kept) sim::removeFile(sim::Area::Device, *kept);
    if (u.error == plist::kNotExact) return failed(u.error, u.problem + ": nothing was written");
    if (u.error == plist::kNotPropertyList) {
      return failed(u.error, "the value cannot be stored in a property list");
    }
    return failed(u.error, (u.reading ? "cannot read " : "cannot write ") + *path + ": " +
                               sim::describe(u.error));
  }
  WriteResult r;
  if (kept) r.setAside = *kept;
  return r;
}

// The threads of this process take the lock one after another; never destroyed, since writers
// may run during exit.
std::timed_mutex& writersMutex() {
  static std::timed_mutex* m = new std::timed_mutex();
  return *m;
}

// Who holds the flock on the file of ST, as the kernel's lock table says: "process 1234 (vyr)",
// or "another process" when the table does not tell.
std::string lockHolder(const struct stat& st) {
  std::ifstream table("/proc/locks");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream in(line);
    std::string number, kind, mode, access, id;
    long pid = 0;
    if (!(in >> number >> kind) || kind == "->" || kind != "FLOCK") continue;
    if (!(in >> mode >> access >> pid >> id)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(id.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (inode != st.st_ino || major != ::major(st.st_dev) || minor != ::minor(st.st_dev)) continue;
    if (pid <= 0 || pid == ::getpid()) continue;
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
  }
  return "another process";
}

}  // namespace

// How deep this thread holds the writers' lock, and of which domain. A writer inside a change
// that already holds it (an undo step taken around the pane's own write) takes it again at once
// rather than waiting for itself.
// The domain is kept in a plain array: a writer may run during exit, after a thread's objects
// are gone.
thread_local int tHeldDepth = 0;
thread_local std::array<char, 256> tHeldDomain{};

bool heldByThisThread(std::string_view domain) {
  return tHeldDepth > 0 && domain.size() < tHeldDomain.size() &&
         std::string_view(tHeldDomain.data()) == domain;
}

WritersLock::WritersLock(std::string_view domain) {
  try {
    if (heldByThisThread(domain)) {
      nested_ = true;
      ++tHeldDepth;
      return;
    }
    take(domain);
    if (error_ == 0 && domain.size() < tHeldDomain.size()) {
      std::copy(domain.begin(), domain.end(), tHeldDomain.begin());
      tHeldDomain[domain.size()] = '\0';
      tHeldDepth = 1;
    }
  } catch (...) {
    fail(ENOMEM, "out of memory");
  }
}

void WritersLock::take(std::string_view domain) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(kWaitSeconds);
  const std::string wait = std::to_string(kWaitSeconds) + " s";
  if (!plainName(domain)) return fail(EINVAL, "'" + std::string(domain) + "' is not a domain");
  if (!writersMutex().try_lock_until(deadline)) {
    return fail(EWOULDBLOCK, "another writer of this process held the settings for over " + wait +
                                 ": nothing was changed");
  }
  threadLocked_ = true;
  const std::string folderName = sim::simFolder() + "/locks";
  const auto refuse = [&](int error, const std::string& what) {
    fail(error, "the writers' lock cannot be taken safely: " + what + ": nothing was changed");
  };
  if (const int error = sim::makeFolders(sim::Area::Simulator, "locks", 0700); error != 0) {
    return refuse(error, folderName + " " + sim::describe(error));
  }
  const sim::Fd folder = sim::openFolder(sim::Area::Simulator, "locks");
  struct stat st {};
  if (!folder) return refuse(folder.error(), folderName + " " + sim::describe(folder.error()));
  if (::fstat(folder.get(), &st) != 0)
    return refuse(errno, folderName + " " + sim::describe(errno));
  if (st.st_uid != ::geteuid()) return refuse(EPERM, folderName + " belongs to another user");
  if ((st.st_mode & 077) != 0 && ::fchmod(folder.get(), 0700) != 0) {
    return refuse(errno, folderName + " is open to other users and cannot be closed to them");
  }
  const std::string name = std::string(domain) + ".lock";
  const std::string fileName = folderName + "/" + name;
  sim::Fd file = sim::openOrCreateIn(folder.get(), name, O_RDWR, 0600);
  if (!file) return refuse(file.error(), fileName + " " + sim::describe(file.error()));
  if (::fstat(file.get(), &st) != 0) return refuse(errno, fileName + " " + sim::describe(errno));
  if (st.st_uid != ::geteuid()) return refuse(EPERM, fileName + " belongs to another user");
  if ((st.st_mode & 077) != 0 && ::fchmod(file.get(), 0600) != 0) {
    return refuse(errno, fileName + " is open to other users and cannot be closed to them");
  }
  for (;;) {
    if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
      fd_ = file.release();
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return refuse(errno, fileName + " " + sim::describe(errno));
    }
    if (Clock::now() >= deadline) {
      return fail(EWOULDBLOCK, "the settings are being written by " + lockHolder(st) +
                                   ", which has held the writers' lock for over " + wait +
                                   ": nothing was changed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

WritersLock::~WritersLock() {
  if (tHeldDepth > 0 && (nested_ || error_ == 0)) --tHeldDepth;
  if (nested_) return;
  if (fd_ >= 0) ::close(fd_);
  if (threadLocked_) writersMutex().unlock();
}

void WritersLock::fail(int error, std::string problem) {
  error_ = error;
  problem_ = std::move(problem);
}

std::optional<std::string> domainFilePath(std::string_view domain) {
  if (!plainName(domain)) return std::nullopt;
  return std::string(kPreferencesFolder) + "/" + std::string(domain) + ".plist";
}

std::optional<std::string> newestUnreadableCopy(std::string_view domain) {
  if (!plainName(domain)) return std::nullopt;
  // The copies are named by their UTC time, so the newest sorts last.
  const std::string prefix = std::string(domain) + ".plist" + kUnreadableMark;
  std::string newest;
  for (const std::string& name : sim::listFolder(sim::Area::Device, kPreferencesFolder)
                                     .value_or(std::vector<std::string>{})) {
    if (name.rfind(prefix, 0) == 0 && name > newest) newest = name;
  }
  if (newest.empty()) return std::nullopt;
  return std::string(kPreferencesFolder) + "/" + newest;
}

objc::id readDomainValue(std::string_view domain, ns::String key) {
  const auto path = domainFilePath(domain);
  if (!path || !key) return nullptr;
  const ns::Owned<ns::Dictionary> dict =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(path->c_str()));
  if (!dict) return nullptr;
  // The value outlives the dictionary in the caller's pool.
  ns::Object value(dict->objectForKey(key.get()));
  value.retain();
  value.autorelease();
  return value.get();
}

WriteResult writeDomainValue(std::string_view domain, ns::String key, objc::id value) {
  try {
    tLastWrite = write(domain, key, value);
  } catch (...) {
    tLastWrite = failed(ENOMEM, "out of memory");
  }
  return *tLastWrite;
}

std::optional<WriteResult> lastDomainWrite() {
  return tLastWrite;
}

void forgetLastDomainWrite() {
  tLastWrite.reset();
}

}  // namespace preferences
