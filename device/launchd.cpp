#include "device/launchd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>

#include "device/device.hpp"
#include "device/processes.hpp"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5
#endif

namespace sim::launchd {
namespace {

using Clock = std::chrono::steady_clock;

// A supervisor with no connection for this long has nothing to supervise: it ends.
constexpr auto kIdleEnd = std::chrono::seconds(10);
// More connections than this are refused, so that a runaway client cannot use up descriptors.
constexpr std::size_t kMaxConnections = 512;
// Nor may one process hold more than this many: a device process needs one, a front end one
// more; a process that opens connections in a loop cannot fill the table for the others.
constexpr std::size_t kMaxPerProcess = 8;

Fd openPrivate(const std::string& path, bool create) {
  if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return Fd();
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || !isPrivateFolder(fd.get())) return Fd();
  return fd;
}

// The socket's name: 32 hexadecimal digits from the kernel's random source, so that nothing
// outside the runtime folder (a device folder's identity, a guess) leads to it.
std::optional<std::string> randomName() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name;
  for (const unsigned char b : bytes) {
    name += kDigits[b >> 4];
    name += kDigits[b & 0xf];
  }
  return name;
}

bool sendMessage(int fd, const std::string& text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
         static_cast<ssize_t>(text.size());
}

// Whether the process pinned by PIDFD has ended (its pidfd turns readable then).
bool ended(int pidfd) {
  pollfd p{pidfd, POLLIN, 0};
  return ::poll(&p, 1, 0) != 0;
}

struct Connection {
  Fd socket;
  Fd pidfd;  // the process that connected, pinned at accept
  pid_t pid = 0;
  std::string name;  // the device process it plays; empty for a control connection
  bool kept = false;
  bool dead = false;  // its process has ended: closed once the current round is done
  Clock::time_point joinedAt;
  // A "started" request waiting for the processes a respring ended to come back.
  std::optional<Clock::time_point> waitingUntil;
};

struct Ended {
  std::string name;
  bool kept = false;
};

class Supervisor {
 public:
  explicit Supervisor(Fd listener) : listener_(std::move(listener)) {}
  int run();

 private:
  void accept();
  // Answers one request of C; false when the connection is to be closed.
  bool answer(Connection& c);
  std::string killall(const Connection& from, int signalNumber, const std::string& name);
  bool respringDone() const;
  std::string startedSinceRespring() const;
  void answerWaiters(bool timedOut);
  void dropEnded();

  Fd listener_;
  std::list<Connection> connections_;
  std::optional<Clock::time_point> lastRespring_;
  std::vector<Ended> endedByRespring_;
  struct Started {
    pid_t pid;
    std::string name;
  };
  std::vector<Started> startedSince_;
};

void Supervisor::accept() {
  Fd s(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!s) return;
  if (connections_.size() >= kMaxConnections) return;
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(s.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid() ||
      cred.pid <= 0) {
    return;
  }
  const auto held = std::count_if(connections_.begin(), connections_.end(), [&](const auto& c) {
    return c.pid == cred.pid && !c.dead && !ended(c.pidfd.get());
  });
  if (static_cast<std::size_t>(held) >= kMaxPerProcess) return;
  int pidfd = -1;
  len = sizeof pidfd;
  // The kernel pins the connecting process; without that handle nothing could prove who it is.
  if (::getsockopt(s.get(), SOL_SOCKET, SO_PEERPIDFD, &pidfd, &len) != 0 || pidfd < 0) return;
  Connection c;
  c.socket = std::move(s);
  c.pidfd = Fd(pidfd);
  c.pid = cred.pid;
  connections_.push_back(std::move(c));
}

bool Supervisor::answer(Connection& c) {
  std::string buffer(kMaxMessage, '\0');
  const ssize_t n = ::recv(c.socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) return false;
  buffer.resize(static_cast<std::size_t>(n));
  const Request request = parseRequest(buffer);
  using Verb = Request::Verb;

  if (request.verb == Verb::Join) {
    if (!validProcessName(request.name)) {
      return sendMessage(c.socket.get(), "refused not a process name");
    }
    if (ended(c.pidfd.get())) return false;
    if (c.name != request.name) {
      c.joinedAt = Clock::now();
      if (lastRespring_) startedSince_.push_back({c.pid, request.name});
    }
    c.name = request.name;
    c.kept = request.kept;
    const bool sent = sendMessage(c.socket.get(), "ok");
    answerWaiters(false);
    return sent;
  }
  if (request.verb == Verb::Control) {
    return sendMessage(c.socket.get(), "ok");
  }
  // Only a process of the device may see or signal the device's processes: a connection that
  // joined as one. A control connection only keeps the supervisor running.
  if ((request.verb == Verb::List || request.verb == Verb::Killall ||
       request.verb == Verb::Started) &&
      c.name.empty()) {
    return sendMessage(c.socket.get(), "refused this connection has not joined the device");
  }
  if (request.verb == Verb::List) {
    dropEnded();
    std::vector<std::pair<pid_t, std::string>> out;
    for (const Connection& p : connections_) {
      if (!p.name.empty() && !p.dead) out.emplace_back(p.pid, p.name);
    }
    std::sort(out.begin(), out.end());
    std::string reply = "ok";
    for (const auto& [pid, name] : out) reply += "\n" + processLine(pid, name);
    return sendMessage(c.socket.get(), reply);
  }
  if (request.verb == Verb::Killall) {
    if (request.signalNumber < 0) return sendMessage(c.socket.get(), "ok 0");
    return sendMessage(c.socket.get(), killall(c, request.signalNumber, request.name));
  }
  if (request.verb == Verb::Started) {
    c.waitingUntil = Clock::now() + std::chrono::milliseconds(request.waitMs);
    if (respringDone() || request.waitMs == 0) {
      c.waitingUntil.reset();
      return sendMessage(c.socket.get(), startedSinceRespring());
    }
    return true;
  }
  return sendMessage(c.socket.get(), "refused unknown request");
}

std::string Supervisor::killall(const Connection& from, int signalNumber, const std::string& name) {
  const KillallPlan plan = planKillall(name, signalNumber);
  if (plan.daemonOnly) return "ok 1";
  dropEnded();
  const bool respring = plan.respring;
  const bool ending = plan.ending;
  const std::string reason = "killall " + name;
  int count = respring ? 1 : 0;
  std::string listed;
  std::vector<Ended> endedNow;
  for (Connection& p : connections_) {
    if (p.dead || p.name.empty() || (!respring && p.name != name)) continue;
    // Never the process that asks, as killall never signals itself.
    if (&p == &from || (p.pid == from.pid && !ended(from.pidfd.get()))) continue;
    if (ending)
      sendMessage(p.socket.get(), kEndingNotice + std::to_string(signalNumber) + "\t" + reason);
    if (::syscall(SYS_pidfd_send_signal, p.pidfd.get(), signalNumber, nullptr, 0U) != 0) {
      continue;  // ESRCH: it has ended; no other process is reached
    }
    ++count;
    listed += "\n" + processLine(p.pid, p.name);
    if (ending) endedNow.push_back({p.name, p.kept});
  }
  if (ending) {
    lastRespring_ = Clock::now();
    endedByRespring_ = std::move(endedNow);
    startedSince_.clear();
  }
  return "ok " + std::to_string(count) + listed;
}

bool Supervisor::respringDone() const {
  if (!lastRespring_) return true;
  for (const Ended& e : endedByRespring_) {
    if (!e.kept) continue;
    const bool back = std::any_of(connections_.begin(), connections_.end(), [&](const auto& c) {
      return !c.dead && c.name == e.name && c.joinedAt >= *lastRespring_ && !ended(c.pidfd.get());
    });
    if (!back) return false;
  }
  return true;
}

std::string Supervisor::startedSinceRespring() const {
  std::string reply = "ok";
  for (const Started& s : startedSince_) reply += "\n" + processLine(s.pid, s.name);
  return reply;
}

void Supervisor::answerWaiters(bool timedOut) {
  const auto now = Clock::now();
  const bool done = respringDone();
  for (Connection& c : connections_) {
    if (!c.waitingUntil || (!done && !(timedOut && now >= *c.waitingUntil))) continue;
    c.waitingUntil.reset();
    sendMessage(c.socket.get(), startedSinceRespring());
  }
}

void Supervisor::dropEnded() {
  // Only marked: the main loop may be walking the list, and erases them itself.
  for (Connection& c : connections_) {
    if (!c.dead && ended(c.pidfd.get())) c.dead = true;
  }
}

int Supervisor::run() {
  std::signal(SIGPIPE, SIG_IGN);
  auto lastActive = Clock::now();
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({listener_.get(), POLLIN, 0});
    for (const Connection& c : connections_) {
      fds.push_back({c.socket.get(), POLLIN, 0});
      fds.push_back({c.pidfd.get(), POLLIN, 0});
    }
    auto wake = lastActive + kIdleEnd;
    for (const Connection& c : connections_) {
      if (c.waitingUntil) wake = std::min(wake, *c.waitingUntil);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
    const int timeout = static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, 60000));
    if (::poll(fds.data(), fds.size(), connections_.empty() ? timeout : std::min(timeout, 60000)) <
        0) {
      if (errno == EINTR) continue;
      return 1;
    }
    std::size_t i = 1;
    for (auto it = connections_.begin(); it != connections_.end(); i += 2) {
      const short socketEvents = fds[i].revents;
      const short processEvents = fds[i + 1].revents;
      bool keep = processEvents == 0 && !it->dead;
      if (keep && (socketEvents & POLLIN) != 0) keep = answer(*it) && !it->dead;
      if (keep && (socketEvents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
          (socketEvents & POLLIN) == 0) {
        keep = false;
      }
      it = keep ? std::next(it) : connections_.erase(it);
    }
    // Those found ended while others were answered.
    connections_.remove_if([](const Connection& c) { return c.dead; });
    if ((fds[0].revents & POLLIN) != 0) accept();
    answerWaiters(true);
    if (!connections_.empty()) {
      lastActive = Clock::now();
    } else if (Clock::now() >= lastActive + kIdleEnd) {
      return 0;
    }
  }
}

}  // namespace

Fd openRuntimeFolder(bool create, std::string* path, std::string* problem) {
  std::string ignored;
  std::string& why = problem != nullptr ? *problem : ignored;
  // The home folder of the password database, never $HOME: sudo, cron and a login shell of the
  // same user all come to the same folder.
  std::string home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && entry.pw_dir != nullptr && entry.pw_dir[0] == '/') {
    home = entry.pw_dir;
  }
  if (home.empty()) {
    why = "user " + std::to_string(::geteuid()) +
          " has no home folder in the password database, beneath which VYR keeps its runtime "
          "folder";
    return Fd();
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  const std::string base = (home == "/" ? std::string() : home) + "/.local/state/vyr";
  if (path != nullptr) *path = base;
  const auto fail = [&](const std::string& what) {
    why = "the runtime folder " + base + " cannot be used: " + what;
    return Fd();
  };
  Fd at(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at) return fail(home + ": " + std::strerror(errno));
  std::string sofar = home == "/" ? std::string() : home;
  for (const char* name : {".local", "state", "vyr"}) {
    sofar += std::string("/") + name;
    if (create && ::mkdirat(at.get(), name, 0700) != 0 && errno != EEXIST) {
      return fail("cannot make " + sofar + ": " + std::strerror(errno));
    }
    Fd next(::openat(at.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return fail(sofar + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(next.get(), &st) != 0) return fail(sofar + ": " + std::strerror(errno));
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
      return fail(sofar + " belongs to another user (uid " + std::to_string(st.st_uid) + ")");
    }
    at = std::move(next);
  }
  if (!isPrivateFolder(at.get())) {
    struct stat st {};
    ::fstat(at.get(), &st);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return fail("it is not this user's alone (owner uid " + std::to_string(st.st_uid) + ", mode " +
                mode +
                "); VYR keeps its supervisors' sockets and the studio's token only in a "
                "folder of the user's own, mode 0700");
  }
  why.clear();
  return at;
}

std::string deviceKey() {
  const Fd root = rootDescriptor();
  struct stat st {};
  if (!root || ::fstat(root.get(), &st) != 0) return {};
  return std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::optional<std::string> socketName(int folder, const std::string& key) {
  const std::string file = key + ".name";
  const Fd fd(::openat(folder, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0) {
    return std::nullopt;
  }
  char text[33] = {};
  const ssize_t n = ::read(fd.get(), text, 32);
  if (n != 32 || !isRandomName(std::string_view(text, 32))) return std::nullopt;
  return std::string(text, 32) + ".sock";
}

std::string socketPath(int folder, std::string_view name) {
  return "/proc/self/fd/" + std::to_string(folder) + "/" + std::string(name);
}

int serve(const std::string& runtime, const std::string& key) {
  if (key.empty() || key.find('/') != std::string::npos || key[0] == '.') return 1;
  const Fd folder = openPrivate(runtime, false);
  if (!folder) return 1;
  const std::string lockName = key + ".lock";
  const std::string nameFile = key + ".name";
  const Fd lock(
      ::openat(folder.get(), lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock) return 1;
  // Whoever holds the lock serves; a second starter has nothing to do.
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? 0 : 1;

  // A socket left by a supervisor that ended without removing it answers nobody: remove it.
  if (const auto stale = socketName(folder.get(), key)) {
    ::unlinkat(folder.get(), stale->c_str(), 0);
  }
  const auto name = randomName();
  if (!name) return 1;
  const std::string socketFile = *name + ".sock";
  Fd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath(folder.get(), socketFile);
  if (!listener || path.size() >= sizeof address.sun_path) return 1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const mode_t mask = ::umask(077);
  const int bound =
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::umask(mask);
  struct stat own {};
  if (bound != 0 || ::listen(listener.get(), 64) != 0 ||
      ::fstatat(folder.get(), socketFile.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0) {
    return 1;
  }
  // The name is published only once the socket listens, and whole: a reader sees the old name
  // or the new one, written beside it and renamed over it.
  const std::string staging = nameFile + ".new";
  ::unlinkat(folder.get(), staging.c_str(), 0);
  const Fd file(::openat(folder.get(), staging.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file || ::fchmod(file.get(), 0600) != 0 ||
      ::write(file.get(), name->data(), name->size()) != static_cast<ssize_t>(name->size()) ||
      ::renameat(folder.get(), staging.c_str(), folder.get(), nameFile.c_str()) != 0) {
    ::unlinkat(folder.get(), staging.c_str(), 0);
    ::unlinkat(folder.get(), socketFile.c_str(), 0);
    return 1;
  }
  const int status = Supervisor(std::move(listener)).run();
  // Only the socket this supervisor made, and its name; the lock is still held, so no successor
  // made another.
  struct stat now {};
  if (::fstatat(folder.get(), socketFile.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
      now.st_dev == own.st_dev && now.st_ino == own.st_ino) {
    ::unlinkat(folder.get(), socketFile.c_str(), 0);
  }
  if (socketName(folder.get(), key) == socketFile) {
    ::unlinkat(folder.get(), nameFile.c_str(), 0);
  }
  return status;
}

}  // namespace sim::launchd
