#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "platform/objc/runtime.hpp"
#include "platform/substrate/substrate.h"

namespace {

using objc::id;

int baseAnswer(id, SEL) {
  return 0;
}

// Hook K adds one to what it replaced, so after K+1 hooks the method answers K+1. A thread that
// runs hook K must find its slot filled (release in MSHookMessageEx, acquire here), or it would
// call a null IMP.
constexpr int kHooks = 64;
std::array<IMP, kHooks> gSlots{};

template <int K>
int chainedHook(id self, SEL cmd) {
  const IMP previous = std::atomic_ref<IMP>(gSlots[K]).load(std::memory_order_acquire);
  return objc::callImp<int>(previous, self, cmd) + 1;
}

template <int... K>
std::array<IMP, kHooks> hookTable(std::integer_sequence<int, K...>) {
  return {reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&chainedHook<K>))...};
}

TEST(MSHookMessageExConcurrency, CallersSeeTheOldOrTheNewAnswerWhileAnOwnMethodIsHooked) {
  const Class cls =
      objc::ClassBuilder("HookRaceTarget", nullptr).method("answer", &baseAnswer).finish();
  const id target = class_createInstance(cls, 0);
  const std::array<IMP, kHooks> hooks = hookTable(std::make_integer_sequence<int, kHooks>());

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<long> calls{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&] {
      int last = 0;
      long n = 0;
      while (!done.load(std::memory_order_acquire)) {
        const int answer = objc::send<"answer", int>(target);
        // Hooks only ever get added: answers never go back and never pass the last hook.
        if (answer < last || answer > kHooks) wrong.fetch_add(1);
        last = answer;
        ++n;
      }
      calls.fetch_add(n);
    });
  }
  for (int k = 0; k < kHooks; ++k) {
    MSHookMessageEx(cls, objc::sel<"answer">(), hooks[static_cast<std::size_t>(k)],
                    &gSlots[static_cast<std::size_t>(k)]);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  done.store(true, std::memory_order_release);
  for (auto& t : callers) t.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(calls.load(), 0);
  EXPECT_EQ((objc::send<"answer", int>(target)), kHooks);
  object_dispose(target);
}

}  // namespace
