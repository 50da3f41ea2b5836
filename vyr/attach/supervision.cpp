#include "vyr/attach/supervision.hpp"

namespace vyr::attach {

Supervision::Decision Supervision::started(std::string message) {
  running_ = true;
  shown_ = false;
  restartDue_ = false;
  cannotStart_.clear();
  phase_ = Phase::starting;
  message_ = std::move(message);
  return {Action::none, {}, true};
}

Supervision::Decision Supervision::couldNotStart(std::string why) {
  running_ = false;
  return giveUp(std::move(why));
}

Supervision::Decision Supervision::shown() {
  shown_ = true;
  if (phase_ == Phase::running || phase_ == Phase::stopped) return {};
  phase_ = Phase::running;
  message_.clear();
  return {Action::none, {}, true};
}

Supervision::Decision Supervision::saidCannotStart(std::string why) {
  cannotStart_ = why;
  message_ = std::move(why);
  if (rules_.crashesBeforeGivingUp <= 1) return giveUp(cannotStart_);
  return {};
}

Supervision::Decision Supervision::ended(bool clean, const std::string& how,
                                         Clock::time_point now) {
  running_ = false;
  // It gave up before this end (the child said it cannot start): said once, not again here.
  if (phase_ == Phase::stopped) return {};
  const std::string said = cannotStart_.empty() ? how : cannotStart_;
  const bool respring = clean && cannotStart_.empty() && (shown_ || !rules_.respringOnlyAfterShown);
  cannotStart_.clear();
  if (respring) {
    phase_ = Phase::restarting;
    message_ = said + " (a respring ends the device's user interface); starting a new one";
    return restartAt(now + rules_.afterRespring);
  }
  crashes_.push_back(now);
  while (now - crashes_.front() > rules_.crashWindow) crashes_.pop_front();
  const int count = static_cast<int>(crashes_.size());
  if (count >= rules_.crashesBeforeGivingUp) {
    if (rules_.crashesBeforeGivingUp <= 1) return giveUp(said);
    return giveUp(said + ". It failed " + std::to_string(count) + " times in a row, so " +
                  rules_.supervisor + " does not start it again by itself.");
  }
  phase_ = Phase::restarting;
  message_ = said + "; starting a new SpringBoard";
  return restartAt(now + rules_.afterCrash);
}

Supervision::Decision Supervision::timer(Clock::time_point now) {
  if (!restartDue_ || now < restartAt_) return {};
  restartDue_ = false;
  return {Action::restart, restartAt_, false};
}

Supervision::Decision Supervision::stop(std::string why) {
  return giveUp(std::move(why));
}

bool Supervision::mayStartAgain() {
  if (running_ || restartDue_) return false;
  crashes_.clear();
  return true;
}

const char* Supervision::phaseName() const {
  switch (phase_) {
    case Phase::starting:
      return "starting";
    case Phase::running:
      return "running";
    case Phase::restarting:
      return "restarting";
    case Phase::stopped:
      break;
  }
  return "stopped";
}

Supervision::Decision Supervision::restartAt(Clock::time_point at) {
  restartDue_ = true;
  restartAt_ = at;
  return {Action::restart, at, true};
}

Supervision::Decision Supervision::giveUp(std::string why) {
  phase_ = Phase::stopped;
  message_ = std::move(why);
  restartDue_ = false;
  return {Action::giveUp, {}, true};
}

}  // namespace vyr::attach
