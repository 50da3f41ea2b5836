#include "vyr/studio/instance.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>

#include "device/files.hpp"
#include "device/launchd.hpp"
#include "device/processes.hpp"
#include "vyr/studio/requests.hpp"

namespace vyr::studio {
namespace {

constexpr std::size_t kMaxFile = 4096;
constexpr auto kStartingPatience = std::chrono::seconds(10);

std::string why(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// The text of NAME in folder DIR (not following a link), or nothing when it is missing.
std::optional<std::string> readPrivate(int dir, const std::string& name) {
  const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat s {};
  std::string text;
  if (::fstat(fd, &s) == 0 && S_ISREG(s.st_mode) && s.st_uid == ::geteuid()) {
    char buffer[kMaxFile];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

std::optional<int> portOf(const std::string& url) {
  static const std::regex form(R"(http://127\.0\.0\.1:(\d{1,5})/[0-9a-f]+/\n?)");
  std::smatch m;
  if (!std::regex_match(url, m, form)) return std::nullopt;
  const int port = std::stoi(m[1]);
  return port > 0 && port <= 65535 ? std::optional(port) : std::nullopt;
}

}  // namespace

Result<std::string> privateFolder() {
  // The same folder as the device supervisors', whatever the environment says.
  const sim::RuntimeFolder folder = sim::runtimeFolder(true);
  if (!folder.problem.empty()) {
    return failed(folder.problem + " (the studio keeps its access token there)");
  }
  return folder.path;
}

Result<Instance> Instance::claim(const std::optional<std::string>& folder) {
  std::string path;
  if (folder) {
    path = *folder;
  } else {
    auto made = privateFolder();
    if (!made) return failed(made.error());
    path = *made;
  }
  Instance instance;
  instance.folder_ = path;
  instance.dir_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (instance.dir_ < 0 || !sim::isPrivateFolder(instance.dir_)) {
    return failed(path + " is not a private folder of this user");
  }
  // The device is known by its folder's identity, not by a path that may name another later:
  // the key its supervisor goes by. The studio's files have carried "device-" before it from
  // the first, so a studio started by an earlier build is still found.
  const std::string key = sim::launchd::deviceKey();
  if (key.empty()) return failed("the device's folder cannot be opened");
  instance.key_ = "device-" + key;

  const std::string lockName = instance.key_ + ".lock";
  const int lock =
      ::openat(instance.dir_, lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0) return failed(why("cannot open " + path + "/" + lockName));
  // Another studio of the device that runs holds the lock: its address, once it serves it.
  const auto deadline = std::chrono::steady_clock::now() + kStartingPatience;
  while (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      const std::string error = why("cannot lock " + path + "/" + lockName);
      ::close(lock);
      return failed(error);
    }
    const auto serving = readPrivate(instance.dir_, instance.key_ + ".serving");
    if (serving && portOf(*serving)) {
      ::close(lock);
      instance.runningUrl_ = serving->substr(0, serving->find('\n'));
      return instance;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::close(lock);
      return failed("another studio of this device is starting and has no address yet");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto last = readPrivate(instance.dir_, instance.key_ + ".url");
  instance.lock_ = lock;
  // Whatever the last studio said it served is history now.
  ::unlinkat(instance.dir_, (instance.key_ + ".serving").c_str(), 0);
  if (last) instance.lastPort_ = portOf(*last);

  // A new token at every start: a page of the studio before is refused (and says so) rather
  // than driving this one, whoever took the port while no studio held it and saw its requests.
  const auto token = newToken();
  if (!token) return failed("cannot make an access token: the kernel's random source failed");
  instance.token_ = *token;
  // A token an older studio kept here is of no use to anyone any more.
  ::unlinkat(instance.dir_, (instance.key_ + ".token").c_str(), 0);
  return instance;
}

Instance::Instance(Instance&& other) noexcept
    : dir_(std::exchange(other.dir_, -1)),
      lock_(std::exchange(other.lock_, -1)),
      folder_(std::move(other.folder_)),
      key_(std::move(other.key_)),
      token_(std::move(other.token_)),
      runningUrl_(std::move(other.runningUrl_)),
      lastPort_(other.lastPort_) {}

Instance::~Instance() {
  if (lock_ >= 0) {
    ::unlinkat(dir_, (key_ + ".serving").c_str(), 0);
    ::close(lock_);  // ends the lock
  }
  if (dir_ >= 0) ::close(dir_);
}

Result<> Instance::writePrivate(const std::string& name, const std::string& text) {
  // A new file only this user may read, renamed over NAME: a reader finds the old or the new.
  const std::string temporary = name + ".new-" + std::to_string(::getpid());
  ::unlinkat(dir_, temporary.c_str(), 0);
  const int fd =
      ::openat(dir_, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return failed(why("cannot write " + folder_ + "/" + name));
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::renameat(dir_, temporary.c_str(), dir_, name.c_str()) != 0) {
    const std::string error = why("cannot write " + folder_ + "/" + name);
    ::unlinkat(dir_, temporary.c_str(), 0);
    return failed(error);
  }
  return {};
}

Result<> Instance::record(const std::string& url) {
  if (auto written = writePrivate(key_ + ".url", url + "\n"); !written) return written;
  // A second studio takes the address from here, which only a studio that serves it writes.
  return writePrivate(key_ + ".serving", url + "\n");
}

Result<std::string> Instance::opener(const std::string& url) {
  const std::string name = key_ + ".html";
  const std::string page =
      "<!doctype html>\n<html><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"refresh\" content=\"0; url=" +
      url +
      "\">\n"
      "<title>VYR studio</title></head>\n<body><script>location.replace(\"" +
      url + "\");</script>\n<p><a href=\"" + url + "\">Open VYR studio</a></p></body></html>\n";
  if (auto written = writePrivate(name, page); !written) return failed(written.error());
  return folder_ + "/" + name;
}

}  // namespace vyr::studio
