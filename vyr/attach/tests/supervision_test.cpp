#include "vyr/attach/supervision.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace vyr::attach {
namespace {

using namespace std::chrono_literals;
using Action = Supervision::Action;
using Phase = Supervision::Phase;

// The studio's rules and `vyr show`'s, as their loops set them.
SupervisionRules studio() {
  return {3, 30s, 400ms, 1500ms, false, "the studio"};
}
SupervisionRules show() {
  return {1, 0s, 0ms, 0ms, true, "vyr show"};
}

const Supervision::Clock::time_point t0{};

TEST(Supervision, CrashesGiveUpOnlyWithinTheirWindow) {
  Supervision s(studio());
  s.started("up");
  Supervision::Decision d = s.ended(false, "it crashed", t0);
  EXPECT_EQ(d.action, Action::restart);
  EXPECT_EQ(d.at, t0 + 1500ms);
  EXPECT_EQ(s.message(), "it crashed; starting a new SpringBoard");
  s.started("up");
  EXPECT_EQ(s.ended(false, "it crashed", t0 + 20s).action, Action::restart);
  s.started("up");
  // The first crash has left the window: two crashes in 30 s, not three.
  EXPECT_EQ(s.ended(false, "it crashed", t0 + 31s).action, Action::restart);
  s.started("up");
  d = s.ended(false, "it crashed", t0 + 40s);
  EXPECT_EQ(d.action, Action::giveUp);
  EXPECT_TRUE(d.publish);
  EXPECT_EQ(s.phase(), Phase::stopped);
  EXPECT_EQ(s.message(),
            "it crashed. It failed 3 times in a row, so the studio does not start it again by "
            "itself.");
  // Asked to start again, the crashes are forgotten: the next one restarts.
  EXPECT_TRUE(s.mayStartAgain());
  s.started("up");
  EXPECT_FALSE(s.mayStartAgain());
  EXPECT_EQ(s.ended(false, "it crashed", t0 + 41s).action, Action::restart);
}

TEST(Supervision, ARespringRestartsWithoutCountingAsACrash) {
  Supervision s(studio());
  s.started("up");
  s.ended(false, "it crashed", t0);
  s.started("up");
  s.ended(false, "it crashed", t0 + 1s);
  for (int i = 0; i < 5; ++i) {
    s.started("up");
    const Supervision::Decision d = s.ended(true, "it ended", t0 + 2s);
    EXPECT_EQ(d.action, Action::restart);
    EXPECT_EQ(d.at, t0 + 2s + 400ms);
    EXPECT_EQ(s.phaseName(), std::string("restarting"));
  }
  EXPECT_EQ(s.message(),
            "it ended (a respring ends the device's user interface); starting a new one");
  s.started("up");
  EXPECT_EQ(s.ended(false, "it crashed", t0 + 3s).action, Action::giveUp);

  // `vyr show`: a respring restarts at once, but only one that showed its screens ended by one.
  Supervision watch(show());
  watch.started("");
  EXPECT_TRUE(watch.shown().publish);
  EXPECT_FALSE(watch.shown().publish);
  const Supervision::Decision again = watch.ended(true, "it ended", t0);
  EXPECT_EQ(again.action, Action::restart);
  EXPECT_LE(again.at, t0);
  watch.started("");
  EXPECT_EQ(watch.ended(true, "it ended", t0 + 1s).action, Action::giveUp);
  EXPECT_EQ(watch.message(), "it ended");
}

TEST(Supervision, AChildThatCannotStartIsACrashInItsOwnWordsAndGivingUpIsSaidOnce) {
  Supervision s(studio());
  s.started("up");
  EXPECT_EQ(s.saidCannotStart("no sandbox").action, Action::none);
  // Its end is clean, but it is no respring.
  EXPECT_EQ(s.ended(true, "it ended", t0).action, Action::restart);
  EXPECT_EQ(s.message(), "no sandbox; starting a new SpringBoard");
  s.started("up");
  EXPECT_EQ(s.ended(true, "it ended", t0 + 1s).action, Action::restart);  // a respring again

  Supervision watch(show());
  watch.started("");
  const Supervision::Decision d = watch.saidCannotStart("no sandbox");
  EXPECT_EQ(d.action, Action::giveUp);
  EXPECT_EQ(watch.message(), "no sandbox");
  const Supervision::Decision end = watch.ended(true, "it ended", t0);
  EXPECT_EQ(end.action, Action::none);
  EXPECT_FALSE(end.publish);
  EXPECT_EQ(watch.message(), "no sandbox");
}

TEST(Supervision, ADueRestartComesOnceAndBlocksAStartAgain) {
  Supervision s(studio());
  s.started("up");
  s.ended(true, "it ended", t0);
  EXPECT_FALSE(s.mayStartAgain());
  EXPECT_EQ(s.timer(t0 + 399ms).action, Action::none);
  EXPECT_EQ(s.timer(t0 + 400ms).action, Action::restart);
  EXPECT_EQ(s.timer(t0 + 500ms).action, Action::none);
  EXPECT_TRUE(s.mayStartAgain());
  // Stopped for the loop's own reason, no restart stays due.
  s.started("up");
  s.ended(true, "it ended", t0 + 1s);
  s.stop("gone");
  EXPECT_EQ(s.timer(t0 + 2s).action, Action::none);
}

}  // namespace
}  // namespace vyr::attach
