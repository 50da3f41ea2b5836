#include "vyr/attach/process.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/confine.hpp"
#include "device/device.hpp"
#include "device/processes.hpp"
#include "device/spawn.hpp"
#include "platform/substrate/loader.hpp"
#include "vyr/attach/install.hpp"
#include "vyr/base/printable.hpp"
#include "vyr/child/process.hpp"

namespace vyr {
namespace {

// The longest line relayed whole; the rest of a longer one follows on lines of its own, so a
// device process that never ends its line cannot make the front end hold its output.
constexpr std::size_t kRelayLine = 1 << 20;

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Writes the whole lines of PENDING (all of it at END) to standard output, spelt out.
void flushLines(std::string& pending, bool end) {
  std::size_t nl;
  while ((nl = pending.find('\n')) != std::string::npos || pending.size() >= kRelayLine ||
         (end && !pending.empty())) {
    const std::size_t cut = nl != std::string::npos ? nl : std::min(pending.size(), kRelayLine);
    writeAll(STDOUT_FILENO, printable(std::string_view(pending).substr(0, cut)) + "\n");
    pending.erase(0, nl != std::string::npos ? cut + 1 : cut);
  }
}

}  // namespace

sim::Confinement confineDeviceProcess() {
  sim::ConfineOptions options;
  options.payload = payloadFolder();
  return sim::confineToDevice(options);
}

bool isDeviceProcess() {
  const char* value = std::getenv(sim::kDeviceProcessVariable);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool runsDeviceSideHere() {
  if (isDeviceProcess()) return true;
  const std::string why = sim::whyNoSandbox();
  if (why.empty()) return false;
  ::setenv(sim::kSandboxVariable, ("none: " + why).c_str(), 1);
  return true;
}

bool frontEndGone() {
  const char* sandbox = std::getenv(sim::kSandboxVariable);
  // Inside the sandbox the parent is the sandbox's own first process, pid 1.
  if (sandbox != nullptr && std::strcmp(sandbox, "namespaces") == 0) return false;
  return ::getppid() == 1;
}

int runAsDeviceProcess(const std::vector<std::string>& command) {
  const std::string exe = sim::ownExecutable();
  if (exe.empty()) {
    std::fprintf(stderr, "vyr: cannot find its own executable: %s\n", std::strerror(errno));
    return 1;
  }
  sim::SpawnOptions options = child::deviceCommand(exe, sim::deviceRoot(), command);
  options.in = sim::Stdio::Pipe;
  options.out = sim::Stdio::Pipe;
  options.payload = payloadFolder();
  sim::Spawned child = sim::spawnProcess(options);
  if (child.pid < 0) {
    std::fprintf(stderr, "vyr: cannot start the device's process: %s\n",
                 printable(child.error).c_str());
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  ::fcntl(child.in.get(), F_SETFL, O_NONBLOCK);
  // What came from standard input and has not gone to the process yet, and what came from the
  // process and is not a whole line yet; standard input is read again once the first is gone.
  std::string toChild;
  std::string fromChild;
  bool inputOpen = true;
  std::vector<char> buffer(64 * 1024);
  while (child.out) {
    pollfd fds[3] = {{inputOpen && toChild.empty() ? STDIN_FILENO : -1, POLLIN, 0},
                     {!toChild.empty() ? child.in.get() : -1, POLLOUT, 0},
                     {child.out.get(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n > 0) {
        toChild.assign(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        inputOpen = false;
      }
    }
    if ((fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = ::write(child.in.get(), toChild.data(), toChild.size());
      if (n > 0) {
        toChild.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        toChild.clear();  // it no longer reads: what it was sent is dropped, as by a closed pipe
        inputOpen = false;
      }
    }
    if (!inputOpen && toChild.empty()) child.in = sim::Fd();
    if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::read(child.out.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        child.out = sim::Fd();
      } else {
        fromChild.append(buffer.data(), static_cast<std::size_t>(n));
        flushLines(fromChild, false);
      }
    }
  }
  flushLines(fromChild, true);
  child.in = sim::Fd();
  int status = 0;
  while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  child.errors.wait();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

Result<> startUiProcess(const std::string& name, sim::Relaunch relaunch) {
  // Joined first: a confined process could not reach the supervisor any more.
  if (!sim::registerProcess(name, relaunch)) {
    const std::string problem = sim::supervisorProblem();
    return failed("cannot register process " + name + " on the device" +
                  (problem.empty() ? std::string() : ": " + problem));
  }
  // Before anything of the device is read as code: a planted library's constructor runs confined.
  confineDeviceProcess();
  substrate::ProcessIdentity identity{name, {"com.apple.UIKit", "com.apple.Foundation"}};
  if (name == "SpringBoard") {
    identity.bundles.push_back("com.apple.springboard");
    // SpringBoard's own classes are part of its executable: they exist before anything is injected.
    const std::string lib = payloadFolder() + "/libSpringBoard.so";
    if (dlopen(lib.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE) == nullptr) {
      return failed(std::string("cannot load SpringBoard: ") + dlerror());
    }
  } else {
    identity.bundles.push_back("com.apple." + name);
  }
  // The substrate logs each library it could not load and goes on without it, as on the device.
  for (const std::string& why : substrate::injectLibraries(identity).failures) {
    std::fprintf(stderr, "MS:Error: %s\n", printable(why).c_str());
  }
  return {};
}

}  // namespace vyr
