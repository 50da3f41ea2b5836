#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/system/libsystem.h"
#include "tests/support/temp_device.hpp"

namespace {

TEST(LibSystemConcurrency, CallsFromManyThreadsAreAllRecordedEachInItsOwnOrder) {
  vyrtest::TempDevice device;
  libsystem::testing::clearCalls();
  uint32_t counter = 0;
  libsystem::testing::setRandomSource([&counter] { return counter++; });

  constexpr int kThreads = 4;
  constexpr int kCalls = 200;
  std::vector<std::thread> threads;
  std::vector<std::vector<uint32_t>> drawn(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &drawn] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string path =
            "/User/Library/Caches/t" + std::to_string(t) + "-" + std::to_string(i);
        if (i % 2 == 0) {
          libsystem::unlink(path.c_str());
        } else {
          libsystem::system(("rm -rf " + path).c_str());
        }
        drawn[static_cast<std::size_t>(t)].push_back(libsystem::arc4random());
      }
    });
  }
  for (auto& t : threads) t.join();
  libsystem::testing::setRandomSource(nullptr);

  const std::vector<std::string> calls = libsystem::testing::calls();
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads * kCalls));
  std::vector<int> nextOf(kThreads, 0);
  for (const std::string& call : calls) {
    const std::size_t at = call.find("/t");
    ASSERT_NE(at, std::string::npos) << call;
    const int t = std::stoi(call.substr(at + 2));
    const int i = std::stoi(call.substr(call.find('-', at) + 1));
    EXPECT_EQ(i, nextOf[static_cast<std::size_t>(t)]++) << call;
  }
  // The test source was called once per draw, never concurrently: every number came out once.
  std::vector<bool> seen(kThreads * kCalls, false);
  for (const auto& values : drawn) {
    for (uint32_t v : values) {
      ASSERT_LT(v, seen.size());
      EXPECT_FALSE(seen[v]);
      seen[v] = true;
    }
  }
}

}  // namespace
