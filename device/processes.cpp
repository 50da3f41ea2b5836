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
#include "device/files.hpp"

namespace sim {
namespace {

// Each entry is a regular file in the simulator's folder "proc", named "<pid>-<start time>" for the
// reader's benefit and holding the device name. Neither the name nor the content proves anything:
// anyone who can write to the device folder can forge both. The proof is a POSIX record lock that
// the registered process holds on its own entry for as long as it lives. The kernel drops it when
// the process ends (so a stale entry proves nothing), a forked child does not inherit it, and the
// kernel itself says which process holds it (F_GETLK), so the pid that is signalled never comes
// from a file. An entry must also have a single link, so that a lock some other program holds on
// a file of its own cannot be borrowed by linking that file into the table.
constexpr std::size_t kMaxName = 255;
constexpr char kTable[] = "proc";

struct KernelStat {
  char state = '?';
  unsigned long long startTime = 0;
};

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

std::string entryName(pid_t pid, unsigned long long startTime) {
  return std::to_string(pid) + "-" + std::to_string(startTime);
}

// Whether NAME has the shape of an entry's name (temporary files of a registration in progress
// and anything else are passed over).
bool looksLikeEntry(std::string_view name) {
  const std::size_t dash = name.find('-');
  const auto digits = [](std::string_view t) {
    return !t.empty() && t.size() <= 20 &&
           std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return dash != std::string_view::npos && digits(name.substr(0, dash)) &&
         digits(name.substr(dash + 1));
}

// This process's own entry: the open entry file whose lock is the proof, and the table folder it
// was made in. Kept for good: the exit handler reads it.
struct OwnEntry {
  std::mutex lock;
  pid_t pid = 0;
  Fd folder;
  Fd file;
  std::string fileName;
  std::string name;
  dev_t dev = 0;
  ino_t ino = 0;
};
OwnEntry& ownEntry() {
  static OwnEntry* entry = new OwnEntry();
  return *entry;
}

void removeOwnEntry() {
  OwnEntry& own = ownEntry();
  std::lock_guard<std::mutex> guard(own.lock);
  // A forked child inherits this handler and the descriptors, but not the lock: only the owner
  // removes.
  if (own.pid == ::getpid() && own.folder && !own.fileName.empty()) {
    struct stat st {};
    if (::fstatat(own.folder.get(), own.fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == own.dev && st.st_ino == own.ino) {
      ::unlinkat(own.folder.get(), own.fileName.c_str(), 0);
    }
  }
  own.fileName.clear();
}

// glibc's <sys/pidfd.h> of this generation lacks C++ linkage guards: call the kernel directly.
int openPidfd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}
bool sendThroughPidfd(int pidfd, int signalNumber) {
  return ::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0U) == 0;
}

// The pid of the process that holds the lock on the entry open as FD, as the kernel reports it; 0
// when nobody holds it.
pid_t lockHolder(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return probe.l_pid > 1 ? probe.l_pid : 0;
}

// A process proven to be a registered process of this device, pinned by a pidfd so that the pid
// cannot pass to another process before it is signalled.
struct Proven {
  DeviceProcess process;
  Fd pidfd;
};

// Checks the entry NAME of the table open as FOLDER. A proven entry yields its process; an entry
// that nobody holds (its process ended, or it was forged) is removed; anything else is passed
// over.
std::optional<Proven> prove(int folder, const std::string& name) {
  Fd entry(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!entry || ::fstat(entry.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    return std::nullopt;
  }
  const pid_t holder = lockHolder(entry.get());
  if (holder == 0) {
    // Only the file that was looked at: a registration may have just put a new one in its place.
    struct stat now {};
    if (::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
      ::unlinkat(folder, name.c_str(), 0);
    }
    return std::nullopt;
  }
  Fd pidfd(openPidfd(holder));
  // Still held by the same pid once the pidfd is open: the pidfd is that holder, not a process
  // that got its pid after it ended.
  if (!pidfd || lockHolder(entry.get()) != holder) return std::nullopt;
  std::optional<std::string> content = readOpenFile(entry.get(), kMaxName + 1);
  if (!content) return std::nullopt;
  if (!content->empty() && content->back() == '\n') content->pop_back();
  if (!validName(*content)) return std::nullopt;
  Proven out;
  out.process.pid = holder;
  out.process.name = std::move(*content);
  const std::optional<KernelStat> kernel = readKernelStat(holder);
  out.process.startTime = kernel ? kernel->startTime : 0;
  out.pidfd = std::move(pidfd);
  return out;
}

// Every proven process of the device's table, this one included, by ascending pid; entries of
// processes that ended are removed on the way.
std::vector<Proven> provenProcesses() {
  std::vector<Proven> out;
  Fd folder = openFolder(Area::Simulator, kTable);
  if (!folder) return out;
  const auto names = listFolder(Area::Simulator, kTable);
  if (!names) return out;
  OwnEntry& own = ownEntry();
  std::lock_guard<std::mutex> guard(own.lock);
  for (const std::string& name : *names) {
    if (!looksLikeEntry(name)) continue;
    struct stat st {};
    if (own.pid == ::getpid() && own.file &&
        ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == own.dev && st.st_ino == own.ino) {
      // This process's own entry is never opened here: closing any descriptor of a file drops
      // the process's record locks on it, and with them the proof.
      Proven self;
      self.process.pid = ::getpid();
      self.process.name = own.name;
      const std::optional<KernelStat> kernel = readKernelStat(0);
      self.process.startTime = kernel ? kernel->startTime : 0;
      out.push_back(std::move(self));
      continue;
    }
    if (std::optional<Proven> p = prove(folder.get(), name)) out.push_back(std::move(*p));
  }
  std::sort(out.begin(), out.end(),
            [](const Proven& a, const Proven& b) { return a.process.pid < b.process.pid; });
  return out;
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
  const std::optional<KernelStat> self = readKernelStat(0);
  if (!self || makeFolders(Area::Simulator, kTable) != 0) return false;
  Fd folder = openFolder(Area::Simulator, kTable);
  if (!folder) return false;
  const std::string fileName = entryName(::getpid(), self->startTime);

  OwnEntry& own = ownEntry();
  std::lock_guard<std::mutex> guard(own.lock);
  std::string temp;
  Fd file = createTempIn(folder.get(), fileName, temp);
  if (!file) return false;
  const std::string content = std::string(name) + "\n";
  struct flock hold {};
  hold.l_type = F_WRLCK;
  hold.l_whence = SEEK_SET;
  struct stat st {};
  // The lock is taken before the entry has its name, so a reader never finds it unproven.
  const bool made =
      ::write(file.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
      ::fcntl(file.get(), F_SETLK, &hold) == 0 && ::fstat(file.get(), &st) == 0 &&
      ::renameat(folder.get(), temp.c_str(), folder.get(), fileName.c_str()) == 0;
  if (!made) {
    ::unlinkat(folder.get(), temp.c_str(), 0);
    return false;
  }
  // An entry made for another device, or an earlier name of this process, is not this one's to
  // keep.
  if (own.pid == ::getpid() && own.folder && !own.fileName.empty()) {
    struct stat old {};
    if (::fstatat(own.folder.get(), own.fileName.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        old.st_dev == own.dev && old.st_ino == own.ino) {
      ::unlinkat(own.folder.get(), own.fileName.c_str(), 0);
    }
  }
  static const bool handlerInstalled = std::atexit(&removeOwnEntry) == 0;
  (void)handlerInstalled;
  own.pid = ::getpid();
  own.folder = std::move(folder);
  own.file = std::move(file);  // the old entry's descriptor closes, and its lock goes with it
  own.fileName = fileName;
  own.name = std::string(name);
  own.dev = st.st_dev;
  own.ino = st.st_ino;
  return true;
}

std::vector<DeviceProcess> runningProcesses() {
  std::vector<DeviceProcess> out;
  for (Proven& p : provenProcesses()) out.push_back(std::move(p.process));
  return out;
}

int killall(std::string_view name, int signalNumber) {
  if (signalNumber < 0 || signalNumber > SIGRTMAX) return 0;
  if (name == "lsd") return 1;
  const bool respring = name == "backboardd";
  if (respring && !endsProcess(signalNumber)) return 1;

  const pid_t self = ::getpid();
  int count = respring ? 1 : 0;
  for (Proven& p : provenProcesses()) {
    if (p.process.pid == self || (!respring && p.process.name != name)) continue;
    if (signalNumber == 0 || sendThroughPidfd(p.pidfd.get(), signalNumber)) ++count;
  }
  return count;
}

}  // namespace sim
