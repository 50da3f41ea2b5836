#include "platform/preferences/domain.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "device/device.hpp"

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
    const std::string folder = sim::simFolder();
    if (folder.empty()) return;
    ::mkdir((folder + "/locks").c_str(), 0755);
    const std::string path = folder + "/locks/" + std::string(domain) + ".lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the flock
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  static std::mutex& mutex() {
    static std::mutex* m = new std::mutex();  // never destroyed: writers may run during exit
    return *m;
  }
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

// Moves a file that could not be read as a dictionary out of the way, so that the user's data in
// it survives the write that replaces it.
void setAsideUnreadable(const std::string& devicePath) {
  const auto machine = sim::resolve(devicePath);
  if (!machine) return;
  struct stat st {};
  if (::lstat(machine->c_str(), &st) != 0) return;  // missing: nothing to keep
  std::rename(machine->c_str(), (*machine + ".unreadable").c_str());
}

}  // namespace

std::optional<std::string> domainFilePath(std::string_view domain) {
  if (!plainName(domain)) return std::nullopt;
  return "/var/mobile/Library/Preferences/" + std::string(domain) + ".plist";
}

objc::id readDomainValue(std::string_view domain, ns::String key) {
  const auto path = domainFilePath(domain);
  if (!path || !key) return nullptr;
  ns::Dictionary dict =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(path->c_str()));
  if (!dict) return nullptr;
  ns::Object value(dict.objectForKey(key.get()));
  value.retain();
  value.autorelease();
  dict.release();
  return value.get();
}

bool writeDomainValue(std::string_view domain, ns::String key, objc::id value) {
  const auto path = domainFilePath(domain);
  if (!path || !key) return false;
  ns::AutoreleasePool pool;
  const ns::String file = ns::String::withUTF8(path->c_str());

  WriterLock lock(domain);
  ns::MutableDictionary dict = ns::MutableDictionary::allocInitWithContentsOfFile(file);
  if (!dict) {
    setAsideUnreadable(*path);
    dict = ns::MutableDictionary::dictionary();
    dict.retain();
  }
  if (value != nullptr) {
    dict.setObjectForKey(value, key.get());
  } else {
    dict.removeObjectForKey(key.get());
  }
  const bool written = dict.writeToFile(file, true);
  dict.release();
  return written;
}

}  // namespace preferences
