// Makes arc4random deterministic for one test: it returns the given numbers in order (starting
// over after the last) and counts how often it was asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/system/libsystem.h"

namespace colourtest {

class ScriptedRandom {
 public:
  explicit ScriptedRandom(std::vector<std::uint32_t> values)
      : state_(std::make_shared<State>(State{std::move(values), 0})) {
    libsystem::testing::setRandomSource([state = state_] {
      const std::uint32_t v = state->values[state->drawn % state->values.size()];
      ++state->drawn;
      return v;
    });
  }
  ~ScriptedRandom() { libsystem::testing::setRandomSource({}); }
  ScriptedRandom(const ScriptedRandom&) = delete;
  ScriptedRandom& operator=(const ScriptedRandom&) = delete;

  std::size_t count() const { return state_->drawn; }

 private:
  struct State {
    std::vector<std::uint32_t> values;
    std::size_t drawn;
  };
  std::shared_ptr<State> state_;
};

}  // namespace colourtest
