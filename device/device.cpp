#include "device/device.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "device/files.hpp"

namespace sim {
namespace {

constexpr std::size_t kMaxSettingsFile = 64 * 1024;
constexpr char kDefaultIos[] = "8.1";

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

bool plausibleVersion(const std::string& v) {
  int major = 0, minor = 0;
  char extra = 0;
  const int n = std::sscanf(v.c_str(), "%d.%d%c", &major, &minor, &extra);
  return (n == 1 || n == 2) && major >= 1 && major <= 99 && minor >= 0 && minor <= 99 &&
         v.find_first_not_of("0123456789.") == std::string::npos;
}

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
    if (!plausibleVersion(v)) {
      out.version.clear();
      out.problem = simFolder() + "/device.conf, line " + std::to_string(lineNumber) +
                    ": 'ios=" + v + "' is not an iOS version such as 8.1";
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

std::string iosVersion() {
  const IosSetting setting = readIosSetting();
  return setting.version.empty() ? std::string(kDefaultIos) : setting.version;
}

std::string deviceSettingsProblem() {
  return readIosSetting().problem;
}

double coreFoundationVersion(const std::string& version) {
  // kCFCoreFoundationVersionNumber of each release, from the device's CoreFoundation headers.
  static const struct {
    int major, minor;
    double number;
  } kTable[] = {
      {3, 0, 478.47},  {3, 1, 478.52},  {3, 2, 478.61},  {4, 0, 550.32},  {4, 1, 550.38},
      {4, 2, 550.52},  {4, 3, 550.58},  {5, 0, 675.00},  {5, 1, 690.10},  {6, 0, 793.00},
      {6, 1, 793.00},  {7, 0, 847.20},  {7, 1, 847.24},  {8, 0, 1140.10}, {8, 1, 1141.14},
      {8, 2, 1142.16}, {8, 3, 1144.17}, {8, 4, 1145.15}, {9, 0, 1240.10}, {9, 1, 1241.11},
      {9, 2, 1242.13}, {9, 3, 1280.30},
  };
  int major = 0, minor = 0;
  if (std::sscanf(version.c_str(), "%d.%d", &major, &minor) < 1) return 1141.14;
  // An unlisted release counts as the newest listed one not after it.
  double number = kTable[0].number;
  for (const auto& row : kTable) {
    if (row.major < major || (row.major == major && row.minor <= minor)) number = row.number;
  }
  return number;
}

}  // namespace sim
