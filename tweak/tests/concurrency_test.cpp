// Hooks called on several threads while the settings change under them.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "tweak/tests/tweak_fixture.hpp"

namespace vyrtest {
namespace {

using Concurrency = TweakProcess;

TEST_F(Concurrency, HooksStaySafeWhileTheSettingsChange) {
  writePrefs({{"bat", "<integer>2</integer>"}});
  start();
  // The colours any answer may have: the palette entries the writer cycles through, the custom
  // colour, and the custom colour's fallback for the moments the file is gone.
  const double grey = 161.0f / 255.0f;
  const std::set<Rgba> allowed = {bytes(0, 122, 255), bytes(255, 59, 48), bytes(76, 217, 100),
                                  bytes(255, 0, 255), Rgba{grey, grey, grey, 1.0}};
  // The first read happens before anything rewrites the file, so no call ever sees the value at
  // load (light grey), which the file never held.
  ASSERT_EQ(rgba(resolveElementColour(ElementId::bat).colour), bytes(0, 122, 255));
  std::atomic<bool> stop{false};
  std::atomic<long> answers{0};
  std::atomic<long> unexpected{0};

  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&] {
      ns::AutoreleasePool outer;
      objc::id attrs =
          objc::send<"new">(objc::getClass("UIStatusBarNewUIForegroundStyleAttributes"));
      objc::id spinner = objc::send<"new">(objc::getClass("UIActivityIndicatorView"));
      while (!stop.load()) {
        ns::AutoreleasePool pool;
        objc::id c = objc::send<"_batteryColorForCapacity:lowCapacity:charging:", objc::id>(
            attrs, cg(0.5), cg(0.2), objc::no);
        if (allowed.count(rgba(c)) == 0) unexpected.fetch_add(1);
        objc::send<"setColor:", void>(spinner, c);
        answers.fetch_add(1);
      }
      ns::Object(attrs).release();
      ns::Object(spinner).release();
    });
  }
  std::thread notifier([&] {
    while (!stop.load()) {
      ns::AutoreleasePool pool;
      reloadSettings(nullptr, nullptr, nullptr, nullptr, nullptr);
    }
  });

  const char* indices[] = {"<integer>2</integer>", "<integer>13</integer>", "<integer>9</integer>"};
  for (int round = 0; round < 60; ++round) {
    const bool custom = round % 4 == 3;
    writePrefs({{"ENABLED4", custom ? "<true/>" : "<false/>"},
                {"vyrColor4", "<string>#ff00ff</string>"},
                {"bat", indices[round % 3]}});
    if (round % 10 == 5) removePrefs();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop.store(true);
  for (auto& t : callers) t.join();
  notifier.join();
  EXPECT_GT(answers.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
}

// A caller never gets a file older than one whose writing had completed before the call: the
// first thread to learn of a change makes the others wait for the new read, not use the old one.
TEST_F(Concurrency, NoCallSeesAFileOlderThanTheLastCompletedWrite) {
  auto version = [](int v) {
    char text[32];
    std::snprintf(text, sizeof text, "<string>#0000%02x</string>", v);
    return std::string(text);
  };
  writePrefs({{"ENABLED4", "<true/>"}, {"vyrColor4", version(1)}});
  start();
  std::atomic<int> written{1};
  std::atomic<bool> stop{false};
  std::atomic<long> answers{0};
  std::atomic<long> stale{0};

  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&] {
      ns::AutoreleasePool outer;
      objc::id attrs =
          objc::send<"new">(objc::getClass("UIStatusBarNewUIForegroundStyleAttributes"));
      while (!stop.load()) {
        ns::AutoreleasePool pool;
        const int before = written.load(std::memory_order_acquire);
        const Rgba seen =
            rgba(objc::send<"_batteryColorForCapacity:lowCapacity:charging:", objc::id>(
                attrs, cg(0.5), cg(0.2), objc::no));
        // Only the blue byte varies; the writes replace the file whole, so no read finds it
        // missing or half written.
        if (seen[0] != 0 || seen[1] != 0 || static_cast<int>(seen[2] * 255 + 0.5) < before) {
          stale.fetch_add(1);
        }
        answers.fetch_add(1);
      }
      ns::Object(attrs).release();
    });
  }
  const std::string file = prefsPath(device_);
  for (int v = 2; v <= 200; ++v) {
    std::ofstream(file + ".new", std::ios::trunc)
        << xmlPlist({{"ENABLED4", "<true/>"}, {"vyrColor4", version(v)}});
    std::filesystem::rename(file + ".new", file);
    written.store(v, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stop.store(true);
  for (auto& t : callers) t.join();
  EXPECT_GT(answers.load(), 0);
  EXPECT_EQ(stale.load(), 0);
}

}  // namespace
}  // namespace vyrtest
