#include "vyr/attach/process.hpp"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "device/confine.hpp"
#include "device/device.hpp"
#include "device/processes.hpp"
#include "device/spawn.hpp"
#include "platform/substrate/loader.hpp"
#include "vyr/attach/install.hpp"
#include "vyr/base/out.hpp"
#include "vyr/child/process.hpp"
#include "vyr/roles/command_messages.hpp"

namespace vyr {
namespace {

// The longest line of output printed whole; the rest of a longer one follows on lines of its
// own, so a device process that never ends its line cannot make the front end hold its output.
constexpr std::size_t kRelayLine = 1 << 20;
// The most text one "out" message carries: with its escapes, well within a protocol line.
constexpr std::size_t kOutPiece = 64 * 1024;

// Writes the whole lines of PENDING (all of it at END) to standard output, spelt out.
void flushLines(std::string& pending, bool end) {
  std::size_t nl;
  while ((nl = pending.find('\n')) != std::string::npos || pending.size() >= kRelayLine ||
         (end && !pending.empty())) {
    const std::size_t cut = nl != std::string::npos ? nl : std::min(pending.size(), kRelayLine);
    vyr::out::lines(stdout, std::string(pending, 0, cut) + "\n");
    std::fflush(stdout);
    pending.erase(0, nl != std::string::npos ? cut + 1 : cut);
  }
}

// The device side's channel to its front end: open in a device process that was handed one.
child::Channel& frontEnd() {
  static child::Channel channel = isDeviceProcess() ? child::protocolChannel() : child::Channel();
  return channel;
}

// Sends MESSAGE to the front end and waits until it is written, as a write to a pipe would: the
// device side has nothing else to do meanwhile. Dropped only when the front end is gone.
void sendToFrontEnd(const nlohmann::json& message) {
  child::Channel& channel = frontEnd();
  if (!channel.send(message)) return;
  while (channel.open() && channel.wantsWrite()) channel.flush(1000);
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
  if (isDeviceProcess()) {
    frontEnd();  // its protocol socket claimed (close-on-exec) before anything else runs
    return true;
  }
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

std::optional<int> handOverToDeviceProcess(const char* name, const std::vector<std::string>& args,
                                           bool forwardInput) {
  if (!runsDeviceSideHere()) {
    std::vector<std::string> command{name};
    command.insert(command.end(), args.begin(), args.end());
    return runAsDeviceProcess(command, forwardInput);
  }
  if (isDeviceProcess()) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (frontEndGone()) return 1;
  }
  return std::nullopt;
}

int runAsDeviceProcess(const std::vector<std::string>& command, bool forwardInput) {
  const std::string exe = sim::ownExecutable();
  if (exe.empty()) {
    vyr::out::print(stderr, "vyr: cannot find its own executable: %s\n", std::strerror(errno));
    return 1;
  }
  child::Process process;
  if (const Result<void> started = process.start(exe, sim::deviceRoot(), command); !started) {
    vyr::out::print(stderr, "vyr: cannot start the device's process: %s\n",
                    started.error().c_str());
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  child::Channel& channel = process.channel();
  // Standard input, cut into the lines the command takes; read again only once what was read
  // has gone to the process, so that one that reads nothing does not make this one hold more.
  child::LineReader input(kLongestInput);
  bool inputOpen = forwardInput;
  std::optional<int> done;
  std::string pending;  // output that is no whole line yet
  child::BadMessages bad;
  bool tooMany = false;
  std::vector<char> buffer(64 * 1024);
  // Once the process has ended, what it sent is read to the end of its socket, for a short
  // while at most.
  std::optional<std::chrono::steady_clock::time_point> exited;
  while (channel.open() && !done && !tooMany) {
    int timeout = -1;
    if (exited) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *exited + std::chrono::seconds(2) - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      timeout = static_cast<int>(left.count());
    }
    pollfd fds[3] = {{inputOpen && !channel.wantsWrite() ? STDIN_FILENO : -1, POLLIN, 0},
                     {channel.descriptor(), channel.events(), 0},
                     {exited ? -1 : process.exitDescriptor(), POLLIN, 0}};
    if (::poll(fds, 3, timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n > 0) {
        std::vector<child::Line> lines;
        input.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
        for (const child::Line& line : lines) {
          channel.send(command::encodeInput({line.text, line.oversized, false}));
        }
      } else if (n == 0 || errno != EINTR) {
        inputOpen = false;
        channel.send(command::encodeInput({{}, false, true}));
      }
    }
    if ((fds[1].revents & POLLOUT) != 0) channel.onWritable();
    if ((fds[2].revents & POLLIN) != 0) exited = std::chrono::steady_clock::now();
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    child::Channel::Read read = channel.onReadable();
    for (const child::Message& message : read.messages) {
      const Result<command::Output> output = command::decodeOutput(message);
      if (!output) {
        read.dropped.push_back(output.error());
      } else if (output->done) {
        done = output->status;
      } else if (!done) {
        pending += output->text;
        flushLines(pending, false);
      }
    }
    for (const std::string& why : read.dropped) {
      vyr::out::print(stderr, "vyr: %s\n", child::droppedLine("the device's process", why).c_str());
      tooMany = tooMany || bad.add(child::BadMessages::Clock::now());
    }
  }
  flushLines(pending, true);
  if (tooMany) {
    vyr::out::print(stderr,
                    "vyr: the device's process keeps sending messages of no use: it is ended\n");
    process.stop(std::chrono::milliseconds(500));
    process.waitOutput();
    return 1;
  }
  // After its last message the process ends on its own; one that lingers is of no use.
  bool clean = false;
  int status = 0;
  const std::string end =
      process.reap("the device's process", &clean, std::chrono::seconds(10), &status);
  process.waitOutput();
  if (done) return *done;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) return WEXITSTATUS(status);
  // It ended well without saying how its command ended: that is no success.
  vyr::out::print(stderr, "vyr: %s before its command finished\n", end.c_str());
  return 1;
}

void printOutput(std::string_view text) {
  if (!frontEnd().open()) {
    vyr::out::lines(stdout, text);
    return;
  }
  while (!text.empty()) {
    // Cut between characters, never inside one, so that each piece stays UTF-8.
    std::size_t cut = std::min(text.size(), kOutPiece);
    while (cut < text.size() && cut > kOutPiece - 4 &&
           (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) {
      --cut;
    }
    sendToFrontEnd(command::encodeOutput(text.substr(0, cut)));
    text.remove_prefix(cut);
  }
}

void printOutputF(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = vyr::out::formatList(format, args);
  va_end(args);
  if (!text.empty()) printOutput(text);
}

void flushOutput() {
  if (!frontEnd().open()) std::fflush(stdout);
}

int commandDone(int status) {
  if (frontEnd().open()) sendToFrontEnd(command::encodeDone(status));
  return status;
}

CommandInput::CommandInput(std::size_t max) : reader_(max) {}

int CommandInput::descriptor() const {
  return frontEnd().open() ? frontEnd().descriptor() : STDIN_FILENO;
}

std::vector<child::Line> CommandInput::read(bool* ended) {
  std::vector<child::Line> lines;
  *ended = false;
  child::Channel& channel = frontEnd();
  if (!channel.open()) {
    char buffer[64 * 1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return lines;
    if (n <= 0) {
      *ended = true;
      return lines;
    }
    reader_.feed(std::string_view(buffer, static_cast<std::size_t>(n)), lines);
    return lines;
  }
  child::Channel::Read read = channel.onReadable();
  for (const child::Message& message : read.messages) {
    const Result<command::Input> input = command::decodeInput(message);
    if (!input) {
      read.dropped.push_back(input.error());
    } else if (input->end) {
      *ended = true;
    } else if (!*ended) {
      lines.push_back({input->line, input->isLong});
    }
  }
  for (const std::string& why : read.dropped) {
    vyr::out::print(stderr, "%s\n", child::droppedLine("the front end", why).c_str());
  }
  if (read.ended) *ended = true;
  return lines;
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
    vyr::out::print(stderr, "MS:Error: %s\n", why.c_str());
  }
  return {};
}

}  // namespace vyr
