#include "device/processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "device/device.hpp"

namespace sim {
namespace {

// Each entry is a file "<pid>-<start time>" holding the device name. Naming the file after the
// process's whole identity means a new process that reuses a pid writes an entry of its own and
// can never be confused with, or removed as, a stale one.
constexpr std::size_t kMaxName = 255;

struct KernelStat {
  char state = '?';
  unsigned long long startTime = 0;
};

std::string tableFolder() {
  const std::string folder = simFolder();
  return folder.empty() ? folder : folder + "/proc";
}

bool makeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool isDaemon(std::string_view name) {
  return name == "lsd" || name == "backboardd";
}

bool validName(std::string_view name) {
  if (name.empty() || name.size() > kMaxName || isDaemon(name)) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

// readFile() trusts the size that stat reports, which is 0 for the kernel's files.
std::optional<std::string> readProcFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[1024];
  ssize_t n = 0;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && out.size() < 16384) {
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (n < 0) return std::nullopt;
  return out;
}

// The state and start time the kernel reports for PID ("self" when PID is 0), or nothing when no
// such process exists.
std::optional<KernelStat> readKernelStat(pid_t pid) {
  const std::string path =
      pid == 0 ? std::string("/proc/self/stat") : "/proc/" + std::to_string(pid) + "/stat";
  const std::optional<std::string> text = readProcFile(path);
  // The command name (field 2) may hold spaces and parentheses: fields resume after the last ')'.
  const std::size_t close = text ? text->rfind(')') : std::string::npos;
  if (close == std::string::npos) return std::nullopt;
  std::vector<std::string_view> fields;
  std::string_view rest = std::string_view(*text).substr(close + 1);
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    fields.push_back(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  // Field 3 (state) is fields[0]; field 22 (start time) is fields[19].
  if (fields.size() < 20 || fields[0].empty()) return std::nullopt;
  KernelStat st;
  st.state = fields[0][0];
  char* end = nullptr;
  const std::string start(fields[19]);
  errno = 0;
  st.startTime = std::strtoull(start.c_str(), &end, 10);
  if (errno != 0 || end == start.c_str() || *end != '\0') return std::nullopt;
  return st;
}

bool parseNumber(std::string_view text, unsigned long long& out) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<unsigned long long>(c - '0');
    if (value > (~0ULL - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

std::string entryName(pid_t pid, unsigned long long startTime) {
  return std::to_string(pid) + "-" + std::to_string(startTime);
}

// The pid and start time an entry's file name stands for; nothing for any other file (the
// temporary files of an atomic write among them).
std::optional<DeviceProcess> parseEntryName(std::string_view file) {
  const std::size_t dash = file.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  unsigned long long pid = 0, start = 0;
  if (!parseNumber(file.substr(0, dash), pid) || !parseNumber(file.substr(dash + 1), start)) {
    return std::nullopt;
  }
  // pid 0 and 1 (and anything that does not fit) would make kill() reach far beyond one process.
  if (pid <= 1 || pid > 0x3fffffff) return std::nullopt;
  DeviceProcess p;
  p.pid = static_cast<pid_t>(pid);
  p.startTime = start;
  return p;
}

bool alive(const std::optional<KernelStat>& st, unsigned long long startTime) {
  // A zombie has ended: only its parent has yet to collect it.
  return st && st->startTime == startTime && st->state != 'Z' && st->state != 'X';
}

// This process's own entry, removed again at exit. Kept for good: the exit handler reads it.
struct OwnEntry {
  std::mutex lock;
  pid_t pid = 0;
  std::string path;
};
OwnEntry& ownEntry() {
  static OwnEntry* entry = new OwnEntry();
  return *entry;
}

void removeOwnEntry() {
  OwnEntry& own = ownEntry();
  std::lock_guard<std::mutex> guard(own.lock);
  // A forked child inherits this handler along with its parent's entry: only the owner removes.
  if (own.pid == ::getpid() && !own.path.empty()) ::unlink(own.path.c_str());
  own.path.clear();
}

// glibc's <sys/pidfd.h> of this generation lacks C++ linkage guards: call the kernel directly.
int openPidfd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}
bool sendThroughPidfd(int pidfd, int signalNumber) {
  return ::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0U) == 0;
}

// Signals exactly the process P recorded, never one that took its pid since: the pidfd pins the
// process that holds the pid when it is opened, and the start time read after that proves it is
// the recorded one.
bool signalProcess(const DeviceProcess& p, int signalNumber) {
  const int pidfd = openPidfd(p.pid);
  if (pidfd < 0) {
    if (errno != ENOSYS) return false;
    if (!alive(readKernelStat(p.pid), p.startTime)) return false;
    return ::kill(p.pid, signalNumber) == 0;
  }
  bool sent = false;
  if (alive(readKernelStat(p.pid), p.startTime)) {
    sent = signalNumber == 0 || sendThroughPidfd(pidfd, signalNumber);
  }
  ::close(pidfd);
  return sent;
}

bool endsProcess(int signalNumber) {
  switch (signalNumber) {
    case 0:
    case SIGCHLD:
    case SIGCONT:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

}  // namespace

bool registerProcess(std::string_view name) {
  if (!validName(name)) return false;
  const std::string folder = tableFolder();
  const std::optional<KernelStat> self = readKernelStat(0);
  if (folder.empty() || !self || !makeFolder(simFolder()) || !makeFolder(folder)) return false;

  const std::string path = folder + "/" + entryName(::getpid(), self->startTime);
  OwnEntry& own = ownEntry();
  std::lock_guard<std::mutex> guard(own.lock);
  if (!writeFileAtomically(path, std::string(name) + "\n")) return false;
  // An entry made for another device (or inherited from the parent) is not this one's to keep.
  if (own.pid == ::getpid() && !own.path.empty() && own.path != path) ::unlink(own.path.c_str());
  static const bool handlerInstalled = std::atexit(&removeOwnEntry) == 0;
  (void)handlerInstalled;
  own.pid = ::getpid();
  own.path = path;
  return true;
}

std::vector<DeviceProcess> runningProcesses() {
  std::vector<DeviceProcess> out;
  const std::string folder = tableFolder();
  if (folder.empty()) return out;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return out;
  while (const dirent* e = ::readdir(dir)) {
    std::optional<DeviceProcess> p = parseEntryName(e->d_name);
    if (!p) continue;
    const std::string path = folder + "/" + e->d_name;
    if (!alive(readKernelStat(p->pid), p->startTime)) {
      ::unlink(path.c_str());
      continue;
    }
    std::optional<std::string> name = readFile(path, kMaxName + 1);
    if (!name) continue;
    if (!name->empty() && name->back() == '\n') name->pop_back();
    if (!validName(*name)) continue;
    p->name = std::move(*name);
    out.push_back(std::move(*p));
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end(),
            [](const DeviceProcess& a, const DeviceProcess& b) { return a.pid < b.pid; });
  return out;
}

int killall(std::string_view name, int signalNumber) {
  if (signalNumber < 0 || signalNumber > SIGRTMAX) return 0;
  if (name == "lsd") return 1;
  const bool respring = name == "backboardd";
  if (respring && !endsProcess(signalNumber)) return 1;

  const pid_t self = ::getpid();
  int count = respring ? 1 : 0;
  for (const DeviceProcess& p : runningProcesses()) {
    if (p.pid == self || (!respring && p.name != name)) continue;
    if (signalProcess(p, signalNumber)) ++count;
  }
  return count;
}

}  // namespace sim
