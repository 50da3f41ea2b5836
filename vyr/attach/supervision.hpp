// What a front end does when the SpringBoard it keeps running ends: start it again after a
// respring, as the device's launchd does, count crashes, give up when they come too often. The
// policy alone: it starts no process and reads no clock; its loop (`vyr show`, the studio) hands
// it what happened and the time, and carries out what it decides (start a process, arm a timer,
// say the status line).
//
// Not thread-safe: the loop's thread asks.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <utility>

namespace vyr::attach {

struct SupervisionRules {
  // Crashes within crashWindow at which it gives up (1: the first crash ends the supervision).
  int crashesBeforeGivingUp = 1;
  std::chrono::milliseconds crashWindow{0};
  // How long after an end the child is started again (0: at once).
  std::chrono::milliseconds afterRespring{0};
  std::chrono::milliseconds afterCrash{0};
  // Whether a clean end is a respring only once the child has shown its screens: a child that
  // ends cleanly before it ever answered would only do so again.
  bool respringOnlyAfterShown = false;
  // Who does not start it again, in the line said on giving up after several crashes.
  std::string supervisor = "the supervisor";
};

class Supervision {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Phase { starting, running, restarting, stopped };
  enum class Action { none, restart, giveUp };
  struct Decision {
    Action action = Action::none;
    Clock::time_point at{};  // restart: when; at or before the event's time means at once
    bool publish = false;    // the phase or the status line changed
  };

  explicit Supervision(SupervisionRules rules) : rules_(std::move(rules)) {}

  // A child was started (again); MESSAGE is the status line saying so. Publishes.
  Decision started(std::string message);
  // No child could be started: WHY. Nothing runs and nothing is started again. Gives up.
  Decision couldNotStart(std::string why);
  // The running child showed its screens: publishes when that makes it running.
  Decision shown();
  // The running child said it cannot start (WHY), and ends: its end is a crash said as WHY. Gives
  // up at once when the rules allow no crash, as there is nothing to wait for; else nothing until
  // it ends.
  Decision saidCannotStart(std::string why);
  // The running child ended at NOW: CLEAN when its status says a respring or a stop ended it (not
  // a crash), HOW its end in words. A respring restarts it (never counted as a crash); a crash
  // restarts it or, at the rules' count within their window, gives up. Always publishes.
  Decision ended(bool clean, const std::string& how, Clock::time_point now);
  // A timer went off at NOW: restarts when a restart was due by then (once: a second call
  // decides nothing).
  Decision timer(Clock::time_point now);
  // Ends the supervision for a reason of the loop's own (the device folder gone): nothing is
  // started again. Publishes.
  Decision stop(std::string why);
  // Asked to start again after it gave up: false while a child runs or a restart is due; else
  // the crashes are forgotten and the caller starts one (then calls started()).
  bool mayStartAgain();

  Phase phase() const { return phase_; }
  const char* phaseName() const;
  const std::string& message() const { return message_; }
  bool restartDue() const { return restartDue_; }

 private:
  Decision restartAt(Clock::time_point at);
  Decision giveUp(std::string why);

  SupervisionRules rules_;
  Phase phase_ = Phase::starting;
  std::string message_;
  bool running_ = false;
  bool shown_ = false;
  bool restartDue_ = false;
  Clock::time_point restartAt_{};
  std::string cannotStart_;  // what the running child said, when it said it cannot start
  std::deque<Clock::time_point> crashes_;
};

}  // namespace vyr::attach
