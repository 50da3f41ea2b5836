#include "device/processes.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "device/launchd.hpp"
#include "device/spawn.hpp"

namespace sim {
namespace {

// How long a starter waits for a supervisor it started to listen.
constexpr auto kStartWait = std::chrono::seconds(5);
// How long an answer may take beyond what a request itself waits for.
constexpr int kAnswerMs = 5000;

// The supervisor's executable: built and installed beside this library.
std::string supervisorExecutable() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&supervisorExecutable), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  path = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  return path + "/vyr-launchd";
}

// Starts a supervisor for KEY and waits for the starter process (which leaves the supervisor
// running on its own). Whether it was started.
bool startSupervisor(const std::string& runtime, const std::string& key) {
  const std::string exe = supervisorExecutable();
  if (exe.empty()) return false;
  SpawnOptions options;
  options.exe = exe;
  options.args = {runtime, key};
  options.err = Stdio::Null;
  const Spawned started = spawnProcess(options);
  if (started.pid < 0) return false;
  int status = 0;
  while (::waitpid(started.pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

Fd connectTo(int folder, const std::string& key) {
  Fd s(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The supervisor's socket is found only through the name it keeps in the runtime folder.
  const std::optional<std::string> name = launchd::socketName(folder, key);
  if (!name) return Fd::failure(ENOENT);
  const std::string path = launchd::socketPath(folder, *name);
  if (!s || path.size() >= sizeof address.sun_path) return Fd::failure(ENAMETOOLONG);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Fd::failure(errno);
  }
  return s;
}

// The notice MESSAGE is, if it is one ("ending SIG\tREASON").
std::optional<EndNotice> noticeOf(const std::string& message) {
  if (message.rfind(launchd::kEndingNotice, 0) != 0) return std::nullopt;
  const std::string rest = message.substr(std::strlen(launchd::kEndingNotice));
  const std::size_t tab = rest.find('\t');
  EndNotice e;
  e.signalNumber = std::atoi(rest.substr(0, tab).c_str());
  e.reason = tab == std::string::npos ? std::string() : rest.substr(tab + 1);
  return e;
}

// Sends REQUEST on S and returns the answer. Notices that come first are kept in *NOTICE.
std::optional<std::string> ask(int s, const std::string& request, int waitMs,
                               std::optional<EndNotice>* notice) {
  if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::string buffer(launchd::kMaxMessage, '\0');
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{s, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    std::string message(buffer.data(), static_cast<std::size_t>(n));
    if (std::optional<EndNotice> e = noticeOf(message)) {
      if (notice != nullptr) *notice = std::move(e);
      continue;
    }
    return message;
  }
}

std::mutex gProblemLock;
std::string* gProblem = nullptr;  // guarded by gProblemLock; never freed

void setProblem(const std::string& problem) {
  std::lock_guard<std::mutex> guard(gProblemLock);
  if (gProblem == nullptr) gProblem = new std::string();
  *gProblem = problem;
}

// The socket a device process was handed to join on, connected to the path it was given; taken
// once (a socket connects once), so later connections go the ordinary way.
Fd connectHanded() {
  const char* fdText = std::getenv("VYR_SIM_JOIN_FD");
  const char* path = std::getenv("VYR_SIM_SUPERVISOR");
  if (fdText == nullptr || path == nullptr) return Fd::failure(ENOENT);
  const int fd = std::atoi(fdText);
  const std::string where = path;
  ::unsetenv("VYR_SIM_JOIN_FD");
  ::unsetenv("VYR_SIM_SUPERVISOR");
  struct stat st {};
  if (fd < 3 || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return Fd::failure(EBADF);
  Fd s(fd);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (where.size() >= sizeof address.sun_path) return Fd::failure(ENAMETOOLONG);
  std::memcpy(address.sun_path, where.c_str(), where.size() + 1);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Fd::failure(errno);
  }
  return s;
}

// Connects to the attached device's supervisor and makes the first request HELLO ("join ..." or
// "control"); with START, starts a supervisor when none answers. A supervisor that is ending as
// the connection comes in drops it: then it is tried again.
Fd openConnection(const std::string& hello, bool start) {
  const std::string key = launchd::deviceKey();
  if (key.empty()) return Fd();
  if (Fd handed = connectHanded(); handed || handed.error() != ENOENT) {
    if (!handed) {
      setProblem("the device's supervisor cannot be reached from this process: " +
                 std::string(std::strerror(handed.error())));
      return Fd();
    }
    const auto answer = ask(handed.get(), hello, kAnswerMs, nullptr);
    if (answer && *answer == "ok") return handed;
    setProblem("the device's supervisor refused this process (" + answer.value_or("no answer") +
               ")");
    return Fd();
  }
  std::string runtime;
  std::string problem;
  const Fd folder = launchd::openRuntimeFolder(start, &runtime, &problem);
  if (!folder) {
    setProblem(problem);
    return Fd();
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartWait;
  bool started = false;
  for (int attempt = 0;; ++attempt) {
    Fd s = connectTo(folder.get(), key);
    if (s) {
      if (const auto answer = ask(s.get(), hello, kAnswerMs, nullptr)) {
        if (*answer == "ok") return s;
        setProblem("the device's supervisor refused this process (" + *answer + ")");
        return Fd();
      }
    } else if (!start) {
      return Fd();
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      setProblem(
          "the device's supervisor in " + runtime + " did not answer within " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kStartWait).count()) +
          " s");
      return Fd();
    }
    // Started again every so often: the one started may have lost the lock to a supervisor that
    // was just ending.
    if (!s && (!started || attempt % 50 == 0)) started = startSupervisor(runtime, key) || started;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// This process's own connection: the one it joined with.
struct Own {
  std::mutex lock;
  pid_t pid = 0;
  std::string key;
  Fd socket;
  std::optional<EndNotice> notice;
};
Own& own() {
  static Own* o = new Own();  // never destroyed: the connection lives as long as the process
  return *o;
}

// Whether this process's connection belongs to this process and its current device; call with
// the lock held.
bool ownConnectionUsable(Own& o) {
  return o.socket && o.pid == ::getpid() && o.key == launchd::deviceKey();
}

constexpr char kNotJoined[] =
    "this process has not joined its device: only a process of the device may list or signal "
    "the device's processes";

// Makes REQUEST on this process's connection: only a connection that joined the device is
// answered. "refused ..." when this process has not joined its device (nothing is asked then);
// none when the supervisor did not answer.
std::optional<std::string> request(const std::string& text, int waitMs = kAnswerMs) {
  Own& o = own();
  std::lock_guard<std::mutex> guard(o.lock);
  if (!ownConnectionUsable(o)) {
    setProblem(kNotJoined);
    return std::string("refused ") + kNotJoined;
  }
  return ask(o.socket.get(), text, waitMs, &o.notice);
}

// The "PID\tNAME" lines after an answer's first line.
std::vector<DeviceProcess> processLines(const std::string& answer) {
  std::vector<DeviceProcess> out;
  for (launchd::ListedProcess& p : launchd::listedProcesses(answer)) {
    out.push_back({p.pid, std::move(p.name)});
  }
  return out;
}

}  // namespace

RuntimeFolder runtimeFolder(bool create) {
  RuntimeFolder out;
  try {
    launchd::openRuntimeFolder(create, &out.path, &out.problem);
  } catch (...) {
    out.problem = "out of memory";
  }
  return out;
}

bool isPrivateFolder(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    errno = EPERM;
    return false;
  }
  return true;
}

std::string supervisorProblem() {
  std::lock_guard<std::mutex> guard(gProblemLock);
  return gProblem != nullptr ? *gProblem : std::string();
}

std::string supervisorSocketForChildren() {
  static std::mutex lock;
  static Fd* held = new Fd();  // never destroyed: kept for the life of the process
  static std::string* heldKey = new std::string();
  std::lock_guard<std::mutex> guard(lock);
  const std::string key = launchd::deviceKey();
  std::string runtime;
  std::string problem;
  const Fd folder = launchd::openRuntimeFolder(true, &runtime, &problem);
  if (!folder) setProblem(problem);
  if (key.empty() || !folder) return {};
  // A connection kept from before holds on while the supervisor answers it.
  pollfd p{held->get(), POLLIN, 0};
  const bool alive = *held && *heldKey == key && ::poll(&p, 1, 0) == 0;
  if (!alive) {
    *held = openConnection("control", true);
    *heldKey = key;
    if (!*held) return {};
  }
  const std::optional<std::string> name = launchd::socketName(folder.get(), key);
  if (!name) return {};
  return runtime + "/" + *name;
}

bool registerProcess(std::string_view name, Relaunch relaunch) {
  if (!launchd::validProcessName(name)) return false;
  const std::string hello =
      "join " + std::string(name) + (relaunch == Relaunch::ByParent ? "\tkept" : "\t");
  Own& o = own();
  std::lock_guard<std::mutex> guard(o.lock);
  if (ownConnectionUsable(o)) {
    const auto answer = ask(o.socket.get(), hello, kAnswerMs, &o.notice);
    return answer && *answer == "ok";
  }
  // A connection inherited from a parent, or made for another device, is not this process's.
  o.socket = Fd();
  o.notice.reset();
  Fd s = openConnection(hello, true);
  if (!s) return false;
  o.socket = std::move(s);
  o.pid = ::getpid();
  o.key = launchd::deviceKey();
  return true;
}

std::vector<DeviceProcess> runningProcesses() {
  const auto answer = request("list");
  if (!answer || answer->rfind("ok", 0) != 0) return {};
  return processLines(*answer);
}

Killed killallReport(std::string_view name, int signalNumber) {
  Killed out;
  if (signalNumber < 0 || signalNumber > SIGRTMAX || name.empty()) return out;
  const bool daemon = launchd::isSystemDaemon(name);
  const auto answer = request("killall " + std::to_string(signalNumber) + "\t" + std::string(name));
  // The supervisor this process joined is gone: no process is left; the virtual daemons still
  // run.
  if (!answer) {
    out.count = daemon ? 1 : 0;
    return out;
  }
  if (answer->rfind("ok ", 0) != 0) return out;
  out.count = std::atoi(answer->c_str() + 3);
  out.signalled = processLines(*answer);
  return out;
}

int killall(std::string_view name, int signalNumber) {
  return killallReport(name, signalNumber).count;
}

std::vector<DeviceProcess> startedSinceRespring(std::chrono::milliseconds wait) {
  const int ms = static_cast<int>(std::clamp<long long>(wait.count(), 0, 60000));
  const auto answer = request("started " + std::to_string(ms), ms + kAnswerMs);
  if (!answer || answer->rfind("ok", 0) != 0) return {};
  return processLines(*answer);
}

int supervisorDescriptor() {
  Own& o = own();
  std::lock_guard<std::mutex> guard(o.lock);
  return ownConnectionUsable(o) ? o.socket.get() : -1;
}

std::optional<EndNotice> takeEndNotice() {
  Own& o = own();
  std::lock_guard<std::mutex> guard(o.lock);
  if (ownConnectionUsable(o)) {
    std::string buffer(launchd::kMaxMessage, '\0');
    for (;;) {
      const ssize_t n = ::recv(o.socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n <= 0) break;
      if (std::optional<EndNotice> e =
              noticeOf(std::string(buffer.data(), static_cast<std::size_t>(n)))) {
        o.notice = std::move(e);
      }
    }
  }
  std::optional<EndNotice> out = std::move(o.notice);
  o.notice.reset();
  return out;
}

}  // namespace sim
