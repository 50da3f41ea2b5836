#include "vyr/show/springboard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "device/files.hpp"
#include "platform/foundation/facade.hpp"
#include "tweak/elements.hpp"
#include "vyr/process.hpp"
#include "vyr/show/child_process.hpp"
#include "vyr/show/report.hpp"
#include "vyr/show/sources.hpp"
#include "vyr/show/watch.hpp"

namespace vyr::show {
namespace {

using nlohmann::json;

// Whether the settings file is there and reads as the library reads it: "ok", "missing" (the
// defaults apply), "unreadable" (the hooks keep what they read last), "unreachable" (the
// preferences folder itself cannot be reached).
std::string settingsFileState() {
  const sim::Fd at = sim::openPath(sim::Area::Device, kPreferencesPath);
  if (!at) return at.error() == ENOENT ? "missing" : "unreachable";
  ns::AutoreleasePool pool;
  const auto dict =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(kPreferencesPath));
  return dict ? "ok" : "unreadable";
}

json answerJson(const Answer& a) {
  json colour = nullptr;
  if (a.colour) colour = {a.colour->red, a.colour->green, a.colour->blue, a.colour->alpha};
  return {{"colour", colour}, {"hostsOwn", a.hostsOwn}};
}

json barJson(const BarColours& b) {
  return {{"signal", answerJson(b.signal)},
          {"foreground", answerJson(b.foreground)},
          {"text", answerJson(b.text)},
          {"battery", answerJson(b.battery)},
          {"activity", answerJson(b.activity)}};
}

// What the SpringBoard shows in STATE, as one line of JSON: every colour of the scene, the table
// of sources (which only this process, with the library's settings, can name), and the facts
// around them.
std::string sceneJson(const DeviceState& state, const char* reason) {
  const Scene scene = askSpringBoard(state);
  json rows = json::array();
  for (const Row& row : tableRows(scene, &describeSource)) {
    rows.push_back({{"screen", row.screen},
                    {"item", row.item},
                    {"element", row.element},
                    {"source", row.source},
                    {"value", row.value}});
  }
  json out = {{"type", "scene"},
              {"reason", reason},
              {"pid", ::getpid()},
              {"ios", scene.iosVersion},
              {"state",
               {{"battery", state.batteryPercent},
                {"charging", state.charging},
                {"style", styleName(state.homeStyle)}}},
              {"lockStyle", styleName(scene.lockStyle)},
              {"lockStyleHostsOwn", scene.lockStyleHostsOwn},
              {"settingsFile", settingsFileState()},
              {"notes", scene.notes},
              {"rows", rows},
              {"scene",
               {{"battery", state.batteryPercent},
                {"charging", state.charging},
                {"homeStyle", state.homeStyle},
                {"home", barJson(scene.home)},
                {"refresh", answerJson(scene.refresh)},
                {"lockStyle", scene.lockStyle},
                {"lock", barJson(scene.lock)},
                {"legibility", answerJson(scene.legibility)}}}};
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool writeLine(const std::string& line) {
  return std::fputs((line + "\n").c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
}

int startFailure(const std::string& message) {
  writeLine(json{{"type", "error"}, {"message", message}}.dump(-1, ' ', false,
                                                               json::error_handler_t::replace));
  return 1;
}

// "state 15 1 light" as a device state, or nothing.
std::optional<DeviceState> parseState(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  std::string style;
  DeviceState state;
  int charging = 0;
  if (!(in >> verb >> state.batteryPercent >> charging >> style) || verb != "state") {
    return std::nullopt;
  }
  if (state.batteryPercent < 0 || state.batteryPercent > 100) return std::nullopt;
  if (style != "default" && style != "light") return std::nullopt;
  state.charging = charging != 0;
  state.homeStyle = style == "default" ? kStyleDefault : kStyleLight;
  return state;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

int runSpringBoard(sim::Relaunch relaunch) {
  // Before SpringBoard starts anything that could run on another thread.
  SettingsWatch watch;
  std::signal(SIGPIPE, SIG_IGN);
  // A front end that dies without ending its SpringBoard still takes it down.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (frontEndGone()) return 0;

  if (const Result<void> started = startUiProcess("SpringBoard", relaunch); !started) {
    return startFailure(started.error());
  }
  followCustomSwitches();
  if (const Result<void> started = watch.start(); !started) return startFailure(started.error());

  std::optional<DeviceState> state;
  std::string pending;
  for (;;) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const auto event = watch.next(std::span<pollfd>(&input, 1));
    if (event == SettingsWatch::Event::stop) return 0;
    if (event == SettingsWatch::Event::changed) {
      if (state && !writeLine(sceneJson(*state, "settings"))) return 0;
      continue;
    }
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return 0;  // the studio has gone
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (line == "quit") return 0;
      if (const auto next = parseState(line)) {
        state = next;
        if (!writeLine(sceneJson(*state, "state"))) return 0;
      }
    }
  }
}

SpringBoard::~SpringBoard() {
  stop();
}

std::string SpringBoard::start(const std::string& exe, const std::string& device,
                               const std::vector<std::string>& command, const DeviceState& state) {
  stop();
  const Result<ChildProcess> child = startChild(exe, device, command);
  if (!child) return "cannot start SpringBoard (" + child.error() + ")";
  pid_ = child->pid;
  in_ = child->in;
  out_ = child->out;
  ::fcntl(in_, F_SETFL, O_NONBLOCK);
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
  pending_.clear();
  send(state);
  return {};
}

void SpringBoard::send(const DeviceState& state) {
  if (in_ < 0) return;
  const std::string line = "state " + std::to_string(state.batteryPercent) + " " +
                           (state.charging ? "1 " : "0 ") + styleName(state.homeStyle) + "\n";
  // A line this short goes in whole or not at all; one that cannot go now is dropped, never
  // waited for: the next state line or the next start says it again.
  [[maybe_unused]] const ssize_t n = ::write(in_, line.data(), line.size());
}

std::vector<std::string> SpringBoard::readLines(bool* ended) {
  *ended = false;
  std::vector<std::string> lines;
  if (out_ < 0) {
    *ended = running();
    return lines;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n > 0) {
      pending_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) *ended = true;
    break;
  }
  for (std::size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
    lines.push_back(pending_.substr(0, nl));
    pending_.erase(0, nl + 1);
  }
  return lines;
}

std::string SpringBoard::reap(bool* clean) {
  *clean = false;
  closePipes();
  if (pid_ <= 0) return "SpringBoard is not running";
  const pid_t pid = pid_;
  pid_ = -1;
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 200 && (done = ::waitpid(pid, &status, WNOHANG)) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    // It closed its output but does not end: it is of no use any more.
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  const std::string who = "SpringBoard (pid " + std::to_string(pid) + ")";
  if (done < 0) return who + " ended";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    *clean = true;
    return who + " ended";
  }
  if (WIFEXITED(status)) return who + " stopped with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const char* name = ::strsignal(sig);
    return who + " crashed: signal " + std::to_string(sig) + " (" + (name ? name : "unknown") + ")";
  }
  return who + " ended";
}

void SpringBoard::stop() {
  if (pid_ <= 0) {
    closePipes();
    return;
  }
  if (in_ >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(in_, "quit\n", 5);
  }
  closePipes();
  int status = 0;
  const auto waitFor = [&](int tenths) {
    for (int i = 0; i < tenths * 10; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  if (!waitFor(20)) {
    ::kill(pid_, SIGTERM);
    if (!waitFor(10)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  pid_ = -1;
}

void SpringBoard::closePipes() {
  closeFd(in_);
  closeFd(out_);
}

}  // namespace vyr::show
