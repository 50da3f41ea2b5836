#include "platform/preferences/domain.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <ctime>
#include <mutex>

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

// Serialises the writers of one device: a process-wide mutex for the threads of this process,
// and an exclusive flock on a lock file in the simulator's folder for other processes (two
// `vyr prefs set` at once). The lock file lives outside the device's own file system, so the
// preferences folder holds nothing the device would not. Without a lock file (no device, or the
// folder cannot be written) the writer goes on with the mutex alone: the replace is still atomic.
class WriterLock {
 public:
  explicit WriterLock(std::string_view domain) : guard_(mutex()) {
    if (sim::makeFolders(sim::Area::Simulator, "locks") != 0) return;
    file_ =
        sim::openOrCreate(sim::Area::Simulator, "locks/" + std::string(domain) + ".lock", O_RDWR);
    if (!file_) return;
    while (::flock(file_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  static std::mutex& mutex() {
    static std::mutex* m = new std::mutex();  // never destroyed: writers may run during exit
    return *m;
  }
  std::lock_guard<std::mutex> guard_;
  sim::Fd file_;  // closing drops the flock
};

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

  WriterLock lock(domain);
  int error = 0;
  ns::MutableDictionary dict(
      foundation::plist::readDictionary(*path, ns::MutableDictionary::cls(), &error));
  std::optional<std::string> kept;
  if (!dict) {
    if (error == foundation::plist::kNotPropertyList) {
      // Only bytes that are not a property list are set aside; the user's data in them stays.
      kept = keepUnreadable(*path, error);
      if (!kept) {
        return failed(error, "cannot keep the unreadable " + *path + ": " + sim::describe(error));
      }
    } else if (error != ENOENT) {
      return failed(error, "cannot read " + *path + ": " + sim::describe(error));
    }
    dict = ns::MutableDictionary::dictionary();
    dict.retain();
  }
  if (value != nullptr) {
    dict.setObjectForKey(value, key.get());
  } else {
    dict.removeObjectForKey(key.get());
  }
  const bool written = foundation::plist::writeDictionary(dict.get(), *path, &error);
  dict.release();
  if (!written) {
    // The unreadable file is still in place: its second name goes again.
    if (kept) sim::removeFile(sim::Area::Device, *kept);
    return failed(error, error == foundation::plist::kNotPropertyList
                             ? "the value cannot be stored in a property list"
                             : "cannot write " + *path + ": " + sim::describe(error));
  }
  WriteResult r;
  if (kept) r.setAside = *kept;
  return r;
}

}  // namespace

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
