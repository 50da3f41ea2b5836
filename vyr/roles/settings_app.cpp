#include "vyr/roles/settings_app.hpp"
#include "vyr/base/out.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "device/confine.hpp"
#include "device/processes.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/system/libsystem.h"
#include "vyr/attach/process.hpp"
#include "vyr/roles/pane.hpp"
#include "vyr/roles/settings_messages.hpp"

namespace vyr::studio {
namespace {

using nlohmann::json;

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

PaneAnswer unreachable(const std::string& why) {
  return {PaneAnswer::Outcome::unreachable, PaneAnswer::Refusal::malformed,
          dump({{"error", "the Settings app cannot be reached: " + why}})};
}

// ANSWER with what the system calls of the action did, when it made any.
PaneAnswer withSteps(PaneAnswer answer, const std::vector<libsystem::Step>& steps) {
  if (steps.empty()) return answer;
  json body = json::parse(answer.body, nullptr, false);
  if (!body.is_object()) return answer;
  json lines = json::array();
  int failed = 0;
  for (const libsystem::Step& s : steps) {
    lines.push_back(s.call + " " + s.argument + ": " + s.outcome);
    if (s.failed) ++failed;
  }
  body["steps"] = std::move(lines);
  body["failed"] = failed;
  answer.body = dump(body);
  return answer;
}

PaneAnswer answer(PaneView& pane, const PaneRequest& request) {
  const std::string& op = request.op;
  if (op == "show") return {PaneAnswer::Outcome::ok, PaneAnswer::Refusal::malformed, pane.toJson()};
  if (op == "set") return pane.set(request.key, request.value);
  if (op == "profile") return pane.profile();
  if (op == "undo") return pane.undo();
  if (op == "reset") return pane.reset();
  if (op != "tap" && op != "respring") {
    return {PaneAnswer::Outcome::refused, PaneAnswer::Refusal::malformed,
            dump({{"error", "unknown request " + op.substr(0, 40)}})};
  }
  libsystem::takeJournal();
  // The journal is read once the tap has run, never before.
  PaneAnswer tapped = op == "tap" ? pane.tap(request.label) : pane.tapRightButton();
  return withSteps(std::move(tapped), libsystem::takeJournal());
}

}  // namespace

int runSettingsApp() {
  std::signal(SIGPIPE, SIG_IGN);
  // A studio that dies without ending its Settings app still takes it down.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (frontEndGone()) return 0;
  child::Channel channel = child::protocolChannel();
  if (!channel.open()) {
    vyr::out::print(stderr,
                    "vyr studio: the Settings app was started without the studio's socket\n");
    return 1;
  }
  // Joined first (a confined process could not reach the supervisor), then confined before the
  // pane's bundle is loaded.
  // The studio starts it again when it next needs it, not at once: a respring waits for nothing.
  if (!sim::registerProcess("Preferences")) {
    vyr::out::print(stderr, "vyr studio: the Settings app cannot join the device's processes: %s\n",
                    sim::supervisorProblem().c_str());
    return 1;
  }
  vyr::confineDeviceProcess();
  ns::AutoreleasePool pool;
  PaneView pane;
  for (;;) {
    pollfd input{channel.descriptor(), POLLIN, 0};
    if (::poll(&input, 1, -1) < 0 && errno != EINTR) return 0;
    child::Channel::Read read = channel.onReadable();
    for (const std::string& why : read.dropped) {
      vyr::out::print(stderr, "vyr studio: the Settings app dropped a message: %s\n", why.c_str());
    }
    for (const child::Message& message : read.messages) {
      ns::AutoreleasePool iteration;
      const Result<PaneRequest> request = decodePaneRequest(message);
      if (!request) {
        vyr::out::print(stderr, "vyr studio: the Settings app dropped a message: %s\n",
                        request.error().c_str());
        continue;
      }
      PaneAnswer reply;
      try {
        reply = answer(pane, *request);
      } catch (const std::exception& e) {
        reply = {PaneAnswer::Outcome::failed, PaneAnswer::Refusal::malformed,
                 dump({{"error", e.what()}})};
      }
      if (!channel.send(encodePaneReply({request->id, reply})) || !channel.flush(10000)) return 0;
    }
    if (read.ended) return 0;
  }
}

SettingsApp::SettingsApp(std::string exe, std::string device, Say say)
    : exe_(std::move(exe)),
      device_(std::move(device)),
      say_(std::move(say)),
      timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {}

SettingsApp::~SettingsApp() {
  closing_ = true;
  // What still waits is dropped uncompleted: its completions may reach what is being taken down
  // with this (a page would be told the pane cannot be reached when it is only being replaced).
  pending_ = child::Requests<PaneAnswer>();
  process_.stop();
}

Result<> SettingsApp::start() {
  Result<> started = process_.start(exe_, device_, {"role", "settings-app"});
  bad_.clear();
  return started;
}

bool SettingsApp::ended() {
  if (!process_.running()) return true;
  pollfd p{process_.exitDescriptor(), POLLIN, 0};
  const bool gone = !process_.channel().open() || (p.fd >= 0 && ::poll(&p, 1, 0) > 0);
  if (!gone) return false;
  bool clean = false;
  process_.reap("the Settings app", &clean, std::chrono::seconds(2));
  return true;
}

void SettingsApp::failAll(const std::string& why) {
  process_.stop();
  pending_.failAll(unreachable(why));
  armTimer();
}

void SettingsApp::ask(PaneRequest request, Done done) {
  if (closing_) {
    done(unreachable("the studio is stopping"));
    return;
  }
  // A Settings app that has ended (a respring elsewhere) is started again once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (ended()) {
      // What it had not answered before it ended, it never will.
      failAll("it ended");
      if (const Result<> started = start(); !started) {
        done(unreachable(started.error()));
        return;
      }
    }
    const std::uint64_t id =
        pending_.add(std::move(done), std::chrono::steady_clock::now() + kAnswer);
    request.id = id;
    if (process_.channel().send(encodePaneRequest(request)) && process_.channel().open()) {
      armTimer();
      return;
    }
    done = *pending_.take(id);
  }
  done(unreachable("it cannot be written to"));
}

pollfd SettingsApp::pollEntry() {
  child::Channel& channel = process_.channel();
  return {channel.open() ? channel.descriptor() : -1, channel.events(), 0};
}

void SettingsApp::onEvents(short revents, bool timerFired) {
  if (timerFired) {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(timer_.get(), &expirations, sizeof expirations);
  }
  child::Channel& channel = process_.channel();
  if ((revents & POLLOUT) != 0) channel.onWritable();
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    child::Channel::Read read = channel.onReadable();
    std::vector<std::string> bad = std::move(read.dropped);
    for (const child::Message& message : read.messages) {
      Result<PaneReply> reply = decodePaneReply(message);
      if (!reply) {
        bad.push_back(reply.error());
        continue;
      }
      PaneReply answered = *std::move(reply);
      if (!pending_.answer(answered.id, std::move(answered.answer)) && say_) {
        // Late (its request was answered unreachable at its deadline), or never asked: not an
        // answer.
        say_(child::droppedLine(
            "the Settings app",
            "a reply to request " + std::to_string(answered.id) + ", which waits no longer"));
      }
    }
    bool restart = false;
    const auto now = child::BadMessages::Clock::now();
    for (const std::string& why : bad) {
      if (say_) say_(child::droppedLine("the Settings app", why));
      restart = bad_.add(now) || restart;
    }
    if (restart) {
      if (say_) {
        say_(
            "the Settings app keeps sending messages that are dropped: it is ended, and started "
            "again when next asked");
      }
      failAll("it sent messages that are dropped");
    } else if (read.ended) {
      failAll("it ended");
    }
  }
  expire();
}

void SettingsApp::expire() {
  pending_.expire(std::chrono::steady_clock::now(), [](std::uint64_t) {
    return unreachable("no answer within " + std::to_string(kAnswer.count()) + " ms");
  });
  armTimer();
}

void SettingsApp::armTimer() {
  if (!timer_) return;
  itimerspec when{};
  if (const auto first = pending_.nextDeadline()) {
    const auto left =
        std::max(std::chrono::nanoseconds(1), std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  *first - std::chrono::steady_clock::now()));
    when.it_value.tv_sec = static_cast<time_t>(left.count() / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(left.count() % 1000000000);
  }
  ::timerfd_settime(timer_.get(), 0, &when, nullptr);
}

}  // namespace vyr::studio
