// The library in a host under load: several threads call every hook while one thread posts the
// settings-changed notification, one delivers it (the host's run loop) and one rewrites the
// preferences file in place, by rename, and deletes it. Run under ThreadSanitizer (no data race)
// and AddressSanitizer (no use after free); here it checks that every answer is a colour the file
// held (or a documented fallback), never one of another element or from a file not yet written.
//
// Its length is VYR_STRESS_SECONDS (default 3); the figures it reaches are printed at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/rounds/host_round.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "tweak/resolve.hpp"

namespace vyrtest {
namespace {

using vyrfuzz::Rgba;

// The element of each hook in install order: sig, sbsig, txt, bat, txt, bat, bat, lod, lod, rec.
constexpr int kElementOf[vyrfuzz::kElementHooks] = {1, 2, 3, 4, 3, 4, 4, 5, 5, 6};
// Hooks that hand a colour to the host (the initialiser and the setters) rather than answer one.
constexpr bool kGivesHostColour[vyrfuzz::kElementHooks] = {true,  true,  false, false, false,
                                                           false, false, true,  true,  true};

double seconds() {
  const char* knob = std::getenv("VYR_STRESS_SECONDS");
  const double s = knob != nullptr ? std::atof(knob) : 0.0;
  return s > 0 ? s : 3.0;
}

// Version K of the file: every element switched on with preset 1 + (K + N) % 15, except lod
// switched off every fifth version; the custom switches of a third of the elements on; each
// custom colour #1N GG BB names its element N and its version (GG BB = K modulo 65536); "lssame"
// alternating.
std::string version(long k) {
  std::string out = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n";
  const char* enable[] = {"sigs", "sbsigs", "text", "batt", "load", "recents"};
  const char* preset[] = {"sig", "sbsig", "txt", "bat", "lod", "rec"};
  for (int n = 1; n <= 6; ++n) {
    const bool on = !(n == 5 && k % 5 == 4);
    out += "<key>" + std::string(enable[n - 1]) + "</key>" + (on ? "<true/>" : "<false/>");
    out += "<key>" + std::string(preset[n - 1]) + "</key><integer>" +
           std::to_string(1 + (k + n) % 15) + "</integer>";
    out +=
        "<key>ENABLED" + std::to_string(n) + "</key>" + ((k + n) % 3 == 0 ? "<true/>" : "<false/>");
    char colour[16];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", 0x10 + n,
                  static_cast<int>((k >> 8) & 0xFF), static_cast<int>(k & 0xFF));
    out += "<key>vyrColor" + std::to_string(n) + "</key><string>" + colour + "</string>\n";
  }
  out += std::string("<key>lssame</key>") + (k % 2 == 0 ? "<true/>" : "<false/>");
  return out + "</dict>\n</plist>\n";
}

int byteOf(double component) {
  const double scaled = component * 255.0;
  const long rounded = std::lround(scaled);
  // Colour strings make each component in single precision: anything else is no such byte.
  const double exact = static_cast<double>(static_cast<float>(rounded) / 255.0f);
  return rounded >= 0 && rounded <= 255 && exact == component ? static_cast<int>(rounded) : -1;
}

struct Counters {
  std::atomic<long> calls{0};  // hook calls, lock screen included
  std::atomic<long> customAnswers{0};
  std::atomic<long> wrong{0};
  std::atomic<long> inPlace{0};
  std::atomic<long> renamed{0};
  std::atomic<long> deleted{0};
  std::atomic<long> posted{0};
  std::atomic<long> delivered{0};  // reloads the run loop ran
};

TEST(Stress, HooksAnswerColoursTheFileHeldWhileItChangesUnderThem) {
  vyrfuzz::startHost();
  std::vector<Rgba> known;  // the palette, the fallbacks and the host's own colours
  {
    ns::AutoreleasePool pool;
    for (int i = 1; i <= 15; ++i) known.push_back(ui::Color(presetPaletteColour(i)).components());
  }
  const double grey = static_cast<float>(161) / 255.0f;
  known.push_back({grey, grey, grey, 1.0});        // the custom colour's fallback
  known.push_back({1, 1, 1, 1});                   // the host's text colour on dark styles
  known.push_back(vyrfuzz::hostArgumentColour());  // what the host gives the setters

  // The rewriter's progress: STARTED is the version being written (or deleted), FLOOR the last
  // one completed. A colour read during a call must be of a version from the FLOOR at its start
  // (nothing older survives a completed rewrite) to the STARTED at its end.
  std::atomic<long> started{0};
  std::atomic<long> floor{0};
  vyrfuzz::writeByRename(vyrfuzz::kPrefsFile, version(0));
  vyrfuzz::reloadAsNotified();

  Counters count;
  std::atomic<bool> stop{false};
  const auto check = [&](const vyrfuzz::HostAnswers& a, long from, long to) {
    for (std::size_t h = 0; h < vyrfuzz::kElementHooks; ++h) {
      if (!a.asked[h]) continue;  // this release has no such method
      const auto& c = a.colours[h];
      bool ok = false;
      if (c) {
        for (const Rgba& k : known) ok = ok || *c == k;
        const int r = byteOf((*c)[0]), g = byteOf((*c)[1]), b = byteOf((*c)[2]);
        if (!ok && r == 0x10 + kElementOf[h] && g >= 0 && b >= 0 && (*c)[3] == 1.0) {
          // A custom colour: of this element, and of a version current during the call: the
          // first version from FROM on with these 16 bits must not be later than TO.
          const long bits = (g << 8) | b;
          const long first = from + ((bits - (from & 0xFFFF)) & 0xFFFF);
          ok = first <= to;
          count.customAnswers.fetch_add(1, std::memory_order_relaxed);
        }
      }
      // No colour is wrong too: every version's indices name palette entries. Only the first few
      // wrong answers are reported; the count says how many there were.
      if (!ok && count.wrong.fetch_add(1) < 10) {
        ADD_FAILURE() << "hook " << h << " answered "
                      << (c ? std::to_string((*c)[0]) + " " + std::to_string((*c)[1]) + " " +
                                  std::to_string((*c)[2]) + " " + std::to_string((*c)[3])
                            : std::string("no colour"))
                      << " while versions " << from << " to " << to << " were current"
                      << (kGivesHostColour[h] ? " (given to the host)" : "");
      }
    }
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        const long from = floor.load();
        const vyrfuzz::HostAnswers a = vyrfuzz::callEveryHook();
        const long to = started.load();
        count.calls.fetch_add(vyrfuzz::kElementHooks + 1, std::memory_order_relaxed);
        check(a, from, to);
      }
    });
  }
  threads.emplace_back([&] {  // the pane, posting
    while (!stop.load(std::memory_order_relaxed)) {
      CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                           CFSTR("com.belvorin.VYR/settingschanged"), nullptr,
                                           nullptr, 1);
      count.posted.fetch_add(1, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  threads.emplace_back([&] {  // the host's run loop, delivering
    ns::AutoreleasePool pool;
    while (!stop.load(std::memory_order_relaxed)) {
      ns::AutoreleasePool inner;
      constexpr std::int32_t kHandledSource = 4;  // kCFRunLoopRunHandledSource
      if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, 1) == kHandledSource) {
        count.delivered.fetch_add(1, std::memory_order_relaxed);
      }
    }
  });
  threads.emplace_back([&] {  // the writer
    for (long k = 1; !stop.load(std::memory_order_relaxed); ++k) {
      started.store(k);
      switch (k % 4) {
        case 0:
          vyrfuzz::removeFile(vyrfuzz::kPrefsFile);
          count.deleted.fetch_add(1, std::memory_order_relaxed);
          break;
        case 1:
          vyrfuzz::writeInPlace(vyrfuzz::kPrefsFile, version(k));
          count.inPlace.fetch_add(1, std::memory_order_relaxed);
          break;
        default:
          vyrfuzz::writeByRename(vyrfuzz::kPrefsFile, version(k));
          count.renamed.fetch_add(1, std::memory_order_relaxed);
      }
      floor.store(k);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::this_thread::sleep_for(std::chrono::duration<double>(seconds()));
  stop.store(true);
  for (auto& t : threads) t.join();

  std::printf(
      "stress: %.1f s, 3 calling threads, %ld hook calls (%ld custom colours), %ld rewrites "
      "(%ld in place, %ld by rename, %ld deletions), %ld notifications posted, %ld delivered\n",
      seconds(), count.calls.load(), count.customAnswers.load(),
      count.inPlace.load() + count.renamed.load() + count.deleted.load(), count.inPlace.load(),
      count.renamed.load(), count.deleted.load(), count.posted.load(), count.delivered.load());
  EXPECT_EQ(count.wrong.load(), 0);
  // Enough of each kind of event for the run to mean something.
  EXPECT_GT(count.calls.load(), 1000);
  EXPECT_GT(count.customAnswers.load(), 0);
  EXPECT_GT(count.deleted.load(), 10);
  EXPECT_GT(count.delivered.load(), 10);
}

}  // namespace
}  // namespace vyrtest
