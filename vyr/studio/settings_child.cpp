#include "vyr/studio/settings_child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "device/confine.hpp"
#include "device/processes.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/system/libsystem.h"
#include "vyr/process.hpp"
#include "vyr/show/child_process.hpp"
#include "vyr/studio/pane.hpp"

namespace vyr::studio {
namespace {

using nlohmann::json;

// How long an answer may take: a respring from the pane runs its steps first.
constexpr int kAnswerMs = 10000;

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

Reply unreachable(const std::string& why) {
  return {503, dump({{"error", "the Settings app cannot be reached: " + why}})};
}

// REPLY with what the system calls of the action did, when it made any.
Reply withSteps(Reply reply, const std::vector<libsystem::Step>& steps) {
  if (steps.empty()) return reply;
  json body = json::parse(reply.json, nullptr, false);
  if (!body.is_object()) return reply;
  json lines = json::array();
  int failed = 0;
  for (const libsystem::Step& s : steps) {
    lines.push_back(s.call + " " + s.argument + ": " + s.outcome);
    if (s.failed) ++failed;
  }
  body["steps"] = std::move(lines);
  body["failed"] = failed;
  return {reply.status, dump(body)};
}

Reply answer(PaneView& pane, const std::string& op, const std::string& body) {
  if (op == "show") return {200, pane.toJson()};
  if (op == "set") return pane.set(body);
  if (op == "profile") return pane.profile();
  if (op == "undo") return pane.undo(body);
  if (op == "reset") return pane.reset(body);
  if (op != "tap" && op != "respring") {
    return {400, dump({{"error", "unknown request " + op.substr(0, 40)}})};
  }
  libsystem::takeJournal();
  // The journal is read once the tap has run, never before.
  Reply reply = op == "tap" ? pane.tap(body) : pane.tapRightButton(body);
  return withSteps(std::move(reply), libsystem::takeJournal());
}

}  // namespace

int runSettingsApp() {
  std::signal(SIGPIPE, SIG_IGN);
  // A studio that dies without ending its Settings app still takes it down.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (frontEndGone()) return 0;
  // Joined first (a confined process could not reach the supervisor), then confined before the
  // pane's bundle is loaded.
  // The studio starts it again when it next needs it, not at once: a respring waits for nothing.
  if (!sim::registerProcess("Preferences")) {
    std::fprintf(stderr, "vyr studio: the Settings app cannot join the device's processes: %s\n",
                 sim::supervisorProblem().c_str());
    return 1;
  }
  vyr::confineDeviceProcess();
  ns::AutoreleasePool pool;
  PaneView pane;
  for (std::string line; std::getline(std::cin, line);) {
    ns::AutoreleasePool iteration;
    const json request = json::parse(line, nullptr, false);
    Reply reply{400, dump({{"error", "not a request"}})};
    if (request.is_object() && request.value("op", json()).is_string() &&
        request.value("body", json()).is_string()) {
      try {
        reply = answer(pane, request["op"].get<std::string>(), request["body"].get<std::string>());
      } catch (const std::exception& e) {
        reply = {500, dump({{"error", e.what()}})};
      }
    }
    const std::string out = dump({{"status", reply.status}, {"body", reply.json}}) + "\n";
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0) return 0;
  }
  return 0;
}

SettingsApp::~SettingsApp() {
  stop();
}

std::string SettingsApp::start() {
  stop();
  const Result<show::ChildProcess> child =
      show::startChild(exe_, device_, {"studio", "--settings-app"});
  if (!child) return child.error();
  pid_ = child->pid;
  in_ = child->in;
  out_ = child->out;
  pending_.clear();
  return {};
}

void SettingsApp::stop() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  in_ = out_ = -1;
  if (pid_ <= 0) return;
  // Its input has ended: it ends by itself, else it is ended.
  int status = 0;
  for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
    if (i == 100) ::kill(pid_, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

Reply SettingsApp::ask(const std::string& op, const std::string& body) {
  const std::string line = dump({{"op", op}, {"body", body}}) + "\n";
  // A Settings app that has ended (a respring elsewhere) is started again once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (pid_ <= 0 || attempt > 0) {
      if (const std::string err = start(); !err.empty()) return unreachable(err);
    }
    if (::write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) continue;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
    bool ended = false;
    while (!ended) {
      const std::size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        const json reply = json::parse(pending_.substr(0, nl), nullptr, false);
        pending_.erase(0, nl + 1);
        if (reply.is_object() && reply.value("status", json()).is_number_integer() &&
            reply.value("body", json()).is_string()) {
          return {reply["status"].get<int>(), reply["body"].get<std::string>()};
        }
        return unreachable("it answered something else than a reply");
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return unreachable("no answer within " + std::to_string(kAnswerMs) + " ms");
      char buffer[65536];
      const ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ended = true;
      } else {
        pending_.append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  return unreachable("it ended");
}

}  // namespace vyr::studio
