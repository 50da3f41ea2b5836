#include "device/device.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace sim {
namespace {

std::mutex gLock;
std::string* gRoot = nullptr;  // never freed: read by code that may run during process exit

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) == nullptr) return {};
  return buf;
}

bool within(const std::string& path, const std::string& root) {
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

}  // namespace

void attachDevice(const std::string& root) {
  std::string absolute = canonical(root);
  if (absolute.empty()) absolute = root;
  std::lock_guard<std::mutex> guard(gLock);
  if (gRoot == nullptr) gRoot = new std::string();
  *gRoot = absolute;
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

std::optional<std::vector<std::string>> deviceComponents(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  // ".." may never climb above the device's own root.
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    i = j + 1;
  }
  if (!parts.empty() && parts[0] == "User") {
    parts.erase(parts.begin());
    parts.insert(parts.begin(), {"var", "mobile"});
  }
  return parts;
}

std::optional<std::string> resolve(std::string_view path) {
  auto lexical = deviceComponents(path);
  if (!lexical) return std::nullopt;
  const std::string root = deviceRoot();
  if (root.empty()) return std::nullopt;
  std::vector<std::string>& parts = *lexical;
  if (parts.empty()) return root;

  // Then the folders on the way must stay inside the device once symbolic links are followed.
  // The last component is left as it is, so that a link itself can be removed.
  std::string leaf = parts.back();
  parts.pop_back();
  std::string existing = root;
  std::size_t used = 0;
  for (; used < parts.size(); ++used) {
    std::string next = existing + "/" + parts[used];
    struct stat st {};
    if (lstat(next.c_str(), &st) != 0) break;
    existing = next;
  }
  std::string real = canonical(existing);
  if (real.empty() || !within(real, canonical(root))) return std::nullopt;
  for (std::size_t k = used; k < parts.size(); ++k) real += "/" + parts[k];
  return real + "/" + leaf;
}

std::string simFolder() {
  const std::string root = deviceRoot();
  return root.empty() ? std::string() : root + "/.sim";
}

std::string iosVersion() {
  const std::string folder = simFolder();
  if (!folder.empty()) {
    std::ifstream in(folder + "/device.conf");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("ios=", 0) == 0) {
        std::string v = line.substr(4);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\r')) v.pop_back();
        if (!v.empty()) return v;
      }
    }
  }
  return "8.1";
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

bool writeFileAtomically(const std::string& path, std::string_view data) {
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer, which would stall the reader (a host's
  // user interface) for good; a regular file reads the same either way.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > limit) {
    ::close(fd);
    return std::nullopt;
  }
  std::string out;
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  // The file may have shrunk or grown while it was read: keep what was there.
  out.resize(done);
  return out;
}

}  // namespace sim
