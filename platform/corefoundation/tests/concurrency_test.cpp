#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "tests/support/temp_device.hpp"

namespace {

constexpr int kNames = 4;
constexpr int kObservers = 8;

std::atomic<bool> gInCallback{false};
std::atomic<int> gOverlaps{0};
std::atomic<int> gCalls[kObservers];

void onNotify(CFNotificationCenterRef, void* observer, CFStringRef, const void*, CFDictionaryRef) {
  if (gInCallback.exchange(true)) gOverlaps.fetch_add(1);
  static_cast<std::atomic<int>*>(observer)->fetch_add(1);
  std::this_thread::yield();
  gInCallback.store(false);
}

CFStringRef nameOf(int i) {
  return __CFStringMakeConstantString(("test.race." + std::to_string(i)).c_str());
}

TEST(DarwinNotificationsConcurrency, RegisteringPostingAndDeliveringFromManyThreads) {
  vyrtest::TempDevice device;
  CFNotificationCenterRef center = CFNotificationCenterGetDarwinNotifyCenter();
  // One observer before the threads start, so that the descriptor exists for the deliverers.
  CFNotificationCenterAddObserver(center, &gCalls[0], &onNotify, nameOf(0), nullptr,
                                  CFNotificationSuspensionBehaviorCoalesce);

  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 1; i < kObservers; ++i) {
      CFNotificationCenterAddObserver(center, &gCalls[i], &onNotify, nameOf(i % kNames), nullptr,
                                      CFNotificationSuspensionBehaviorCoalesce);
      // Twice: the second registration must add nothing.
      CFNotificationCenterAddObserver(center, &gCalls[i], &onNotify, nameOf(i % kNames), nullptr,
                                      CFNotificationSuspensionBehaviorCoalesce);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < 200; ++i) {
        CFNotificationCenterPostNotification(center, nameOf((i + p) % kNames), nullptr, nullptr, 1);
      }
    });
  }
  for (int d = 0; d < 2; ++d) {
    threads.emplace_back([&, d] {
      while (!done.load()) {
        if (d == 0) {
          cfsim::deliverPendingNotifications();
        } else {
          CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, 0);
        }
      }
    });
  }
  for (std::size_t i = 0; i < 3; ++i) threads[i].join();
  done.store(true);
  for (std::size_t i = 3; i < threads.size(); ++i) threads[i].join();

  // One more post of every name now that every observer is in: each observer runs exactly once
  // for it.
  int before[kObservers];
  for (int i = 0; i < kObservers; ++i) before[i] = gCalls[i].load();
  for (int n = 0; n < kNames; ++n) {
    CFNotificationCenterPostNotification(center, nameOf(n), nullptr, nullptr, 1);
  }
  EXPECT_EQ(cfsim::deliverPendingNotifications(), kObservers);
  for (int i = 0; i < kObservers; ++i) EXPECT_EQ(gCalls[i].load(), before[i] + 1) << i;
  EXPECT_EQ(gOverlaps.load(), 0);
  EXPECT_GT(gCalls[0].load(), 1);
}

}  // namespace
