#include "vyr/child/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vyr/base/printable.hpp"

namespace vyr::child {

sim::SpawnOptions deviceCommand(const std::string& exe, const std::string& device,
                                const std::vector<std::string>& command) {
  sim::SpawnOptions options;
  options.exe = exe;
  options.args = {"--device", device};
  options.args.insert(options.args.end(), command.begin(), command.end());
  options.err = sim::Stdio::Pipe;
  options.escapeLine = [](std::string_view line) { return printable(line); };
  options.deviceProcess = true;
  options.device = device;
  return options;
}

Result<void> Process::start(const std::string& exe, const std::string& device,
                            const std::vector<std::string>& command) {
  stop();
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return failed(std::string("no socket pair: ") + std::strerror(errno));
  }
  sim::Fd ours(pair[0]);
  const sim::Fd theirs(pair[1]);
  sim::SpawnOptions options = deviceCommand(exe, device, command);
  options.in = sim::Stdio::Null;
  options.out = sim::Stdio::Errors;
  options.protocol = theirs.get();
  sim::Spawned spawned = sim::spawnProcess(options);
  if (spawned.pid < 0) return failed(spawned.error);
  pid_ = spawned.pid;
  pidfd_ = sim::Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  channel_ = Channel(std::move(ours));
  return {};
}

std::optional<int> Process::waitEnd(std::chrono::milliseconds wait) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) return status;
    if (done < 0 && errno != EINTR) return 0;  // not ours to reap any more
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (!pidfd_) {
      // No pidfd (a kernel before 5.3): the one place that polls, in short steps.
      ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left.count(), 10)));
      continue;
    }
    pollfd p{pidfd_.get(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
}

std::string Process::reap(const std::string& name, bool* clean, std::chrono::milliseconds wait) {
  *clean = false;
  channel_.close();
  if (pid_ <= 0) return name + " is not running";
  std::optional<int> status = waitEnd(wait);
  if (!status) {
    ::kill(pid_, SIGKILL);
    status = waitEnd(std::chrono::hours(1));
  }
  const pid_t pid = pid_;
  pid_ = -1;
  pidfd_ = sim::Fd();
  return describeEnd(name, pid, status.value_or(0), clean);
}

void Process::stop(std::chrono::milliseconds grace) {
  channel_.close();
  if (pid_ <= 0) return;
  if (!waitEnd(grace)) {
    ::kill(pid_, SIGTERM);
    if (!waitEnd(grace)) {
      ::kill(pid_, SIGKILL);
      waitEnd(std::chrono::hours(1));
    }
  }
  pid_ = -1;
  pidfd_ = sim::Fd();
}

std::string describeEnd(const std::string& name, pid_t pid, int status, bool* clean) {
  *clean = false;
  const std::string who = name + " (pid " + std::to_string(pid) + ")";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    *clean = true;
    return who + " ended";
  }
  if (WIFEXITED(status)) return who + " stopped with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const char* signame = ::strsignal(sig);
    return who + " crashed: signal " + std::to_string(sig) + " (" +
           (signame != nullptr ? signame : "unknown") + ")";
  }
  return who + " ended";
}

Channel protocolChannel() {
  // Only a process started with a protocol socket has one there; anything else at that number
  // (or nothing) is not taken for it.
  struct stat st {};
  if (::fstat(sim::kProtocolFd, &st) != 0 || !S_ISSOCK(st.st_mode)) return Channel();
  ::fcntl(sim::kProtocolFd, F_SETFD, FD_CLOEXEC);
  return Channel(sim::Fd(sim::kProtocolFd));
}

}  // namespace vyr::child
