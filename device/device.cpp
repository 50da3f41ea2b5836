#include "device/device.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "device/files/paths.hpp"
#include "device/files/writes.hpp"

namespace sim {
namespace {

constexpr std::size_t kMaxSettingsFile = 64 * 1024;

std::mutex gLock;
// Never freed or closed: read by code that may run during process exit, and a descriptor handed
// out as a duplicate stays valid for its holder even when the process attaches elsewhere.
std::string* gRoot = nullptr;
int gRootFd = -1;

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) == nullptr) return {};
  return buf;
}

// Opens ROOT's folder under the lock, once it exists (a device folder may be named before it is
// made).
void openRootLocked() {
  if (gRootFd >= 0 || gRoot == nullptr || gRoot->empty()) return;
  gRootFd = ::open(gRoot->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

struct IosSetting {
  std::string version;  // empty: not set
  std::string problem;
};

// kCFCoreFoundationVersionNumber of each release, from the device's CoreFoundation headers. The
// headers give 9.3 the number of 9.2. The 10.x numbers are not in the facts this table was written
// from: they are chosen as the newest known number, which is all that a reader of the number here
// (the respring, which asks whether it is 700 or more) can tell apart.
constexpr IosRelease kReleases[] = {
    {"5.0", 675.00, Interfaces::beforeIos7}, {"5.1", 690.10, Interfaces::beforeIos7},
    {"6.0", 793.00, Interfaces::beforeIos7}, {"6.1", 793.00, Interfaces::beforeIos7},
    {"7.0", 847.20, Interfaces::ios7},       {"7.1", 847.24, Interfaces::ios7},
    {"8.0", 1140.10, Interfaces::ios7},      {"8.1", 1141.14, Interfaces::ios7},
    {"8.2", 1142.16, Interfaces::ios7},      {"8.3", 1144.17, Interfaces::ios8_3},
    {"8.4", 1145.15, Interfaces::ios8_3},    {"9.0", 1240.10, Interfaces::ios9},
    {"9.1", 1241.11, Interfaces::ios9},      {"9.2", 1242.13, Interfaces::ios9},
    {"9.3", 1242.13, Interfaces::ios9},      {"10.0", 1242.13, Interfaces::ios10},
    {"10.1", 1242.13, Interfaces::ios10},    {"10.2", 1242.13, Interfaces::ios10},
    {"10.3", 1242.13, Interfaces::ios10},
};
constexpr const IosRelease& kDefaultRelease = kReleases[7];
static_assert(kDefaultRelease.version[0] == '8' && kDefaultRelease.version[2] == '1');

IosSetting readIosSetting() {
  IosSetting out;
  int error = 0;
  const auto text = readFile(Area::Simulator, "device.conf", kMaxSettingsFile, &error);
  if (!text) {
    if (error != ENOENT) out.problem = simFolder() + "/device.conf " + describe(error);
    return out;
  }
  std::size_t lineNumber = 0, at = 0;
  while (at < text->size()) {
    std::size_t end = text->find('\n', at);
    if (end == std::string::npos) end = text->size();
    std::string line = text->substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    if (line.rfind("ios=", 0) != 0) continue;
    std::string v = line.substr(4);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\r')) v.pop_back();
    if (findIosRelease(v) == nullptr) {
      out.version.clear();
      out.problem = simFolder() + "/device.conf, line " + std::to_string(lineNumber) +
                    ": 'ios=" + v + "' is not an iOS version the simulator knows (" +
                    knownIosVersions() + ")";
      return out;
    }
    out.version = v;
  }
  return out;
}

}  // namespace

void attachDevice(const std::string& root) {
  std::string absolute = canonical(root);
  if (absolute.empty()) absolute = root;
  std::lock_guard<std::mutex> guard(gLock);
  if (gRoot == nullptr) gRoot = new std::string();
  *gRoot = absolute;
  gRootFd = -1;
  openRootLocked();
}

std::string deviceRoot() {
  {
    std::lock_guard<std::mutex> guard(gLock);
    if (gRoot != nullptr) return *gRoot;
  }
  const char* env = std::getenv("VYR_DEVICE_ROOT");
  if (env == nullptr || *env == '\0') return {};
  attachDevice(env);
  std::lock_guard<std::mutex> guard(gLock);
  return *gRoot;
}

Fd rootDescriptor() noexcept {
  try {
    // ENODEV, not ENOENT: without a device nothing is missing, everything is out of reach.
    if (deviceRoot().empty()) return Fd::failure(ENODEV);
    std::lock_guard<std::mutex> guard(gLock);
    openRootLocked();
    if (gRootFd < 0) return Fd::failure(ENODEV);
    const int fd = ::fcntl(gRootFd, F_DUPFD_CLOEXEC, 0);
    return fd < 0 ? Fd::failure(errno) : Fd(fd);
  } catch (...) {
    return Fd::failure(ENOMEM);
  }
}

std::string simFolder() {
  const std::string root = deviceRoot();
  return root.empty() ? std::string() : root + "/.sim";
}

std::span<const IosRelease> iosReleases() {
  return kReleases;
}

const IosRelease* findIosRelease(std::string_view version) {
  for (const IosRelease& r : kReleases) {
    if (version == r.version) return &r;
  }
  return nullptr;
}

std::string knownIosVersions() {
  std::string out;
  for (const IosRelease& r : kReleases) {
    if (!out.empty()) out += ", ";
    out += r.version;
  }
  return out;
}

const IosRelease& iosRelease() {
  const IosRelease* r = findIosRelease(readIosSetting().version);
  return r != nullptr ? *r : kDefaultRelease;
}

std::string iosVersion() {
  return iosRelease().version;
}

int setIosVersion(const IosRelease& release) {
  try {
    int error = 0;
    const auto text = readFile(Area::Simulator, "device.conf", kMaxSettingsFile, &error);
    if (!text && error != ENOENT) return error;
    // Every line but the version's stays; the version goes where it was, else at the end.
    std::string out;
    bool written = false;
    std::size_t at = 0;
    const std::string current = text.value_or("");
    while (at < current.size()) {
      std::size_t end = current.find('\n', at);
      if (end == std::string::npos) end = current.size();
      const std::string line = current.substr(at, end - at);
      at = end + 1;
      if (line.rfind("ios=", 0) == 0) {
        if (written) continue;
        out += std::string("ios=") + release.version + "\n";
        written = true;
      } else {
        out += line + "\n";
      }
    }
    if (!written) out += std::string("ios=") + release.version + "\n";
    return writeFile(Area::Simulator, "device.conf", out);
  } catch (...) {
    return ENOMEM;
  }
}

std::string deviceSettingsProblem() {
  return readIosSetting().problem;
}

double coreFoundationVersion(const std::string& version) {
  const IosRelease* r = findIosRelease(version);
  return (r != nullptr ? *r : kDefaultRelease).coreFoundation;
}

}  // namespace sim
