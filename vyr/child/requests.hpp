// The requests a front end has sent a device process and awaits replies to, by id: each reply
// completes the request of its own id, and a request not answered by its deadline is completed
// with a failure, so that a reply coming after it finds no request and is dropped, never taken
// for the answer to another.
//
// Header only (REPLY is the role's reply type). One thread; what a completion does (even asking
// again) never disturbs the table.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

namespace vyr::child {

template <typename Reply>
class Requests {
 public:
  using Clock = std::chrono::steady_clock;
  using Done = std::function<void(Reply)>;

  // A new id (never 0, never one given before) for a request DONE completes, by DEADLINE.
  std::uint64_t add(Done done, Clock::time_point deadline) {
    const std::uint64_t id = next_++;
    waiting_.emplace(id, Waiting{std::move(done), deadline});
    return id;
  }
  // Completes request ID with REPLY; false (REPLY dropped) when none of that id waits.
  bool answer(std::uint64_t id, Reply reply) {
    const auto it = waiting_.find(id);
    if (it == waiting_.end()) return false;
    Done done = std::move(it->second.done);
    waiting_.erase(it);
    done(std::move(reply));
    return true;
  }
  // Takes request ID back uncompleted (it could not be sent): its completion, or nothing.
  std::optional<Done> take(std::uint64_t id) {
    const auto it = waiting_.find(id);
    if (it == waiting_.end()) return std::nullopt;
    Done done = std::move(it->second.done);
    waiting_.erase(it);
    return done;
  }
  // Completes every request whose deadline is not after NOW with what LATE makes of its id.
  template <typename Late>
  void expire(Clock::time_point now, Late late) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (it->second.deadline > now) {
        ++it;
        continue;
      }
      const std::uint64_t id = it->first;
      Done done = std::move(it->second.done);
      it = waiting_.erase(it);
      done(late(id));
    }
  }
  // Completes every request with REPLY (the process is gone).
  void failAll(const Reply& reply) {
    std::map<std::uint64_t, Waiting> all;
    all.swap(waiting_);
    for (auto& [id, waiting] : all) waiting.done(reply);
  }
  // The earliest deadline, or nothing when none waits.
  std::optional<Clock::time_point> nextDeadline() const {
    std::optional<Clock::time_point> first;
    for (const auto& [id, waiting] : waiting_) {
      if (!first || waiting.deadline < *first) first = waiting.deadline;
    }
    return first;
  }
  bool empty() const { return waiting_.empty(); }

 private:
  struct Waiting {
    Done done;
    Clock::time_point deadline;
  };
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, Waiting> waiting_;
};

}  // namespace vyr::child
