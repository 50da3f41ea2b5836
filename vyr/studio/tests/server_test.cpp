// The studio's two meeting points of threads: the news that every open page waits for, and the
// work that the server's threads hand to the main thread.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vyr/studio/server.hpp"

namespace vyr::studio {
namespace {

using namespace std::chrono_literals;

TEST(StudioHub, EveryWaitingPageGetsTheLatestNewsAndCloseEndsEveryWait) {
  Hub hub;
  constexpr int kPublished = 300;
  std::vector<std::thread> pages;
  std::vector<std::string> last(4);
  for (std::size_t i = 0; i < last.size(); ++i) {
    pages.emplace_back([&hub, &last, i] {
      std::map<std::string, std::uint64_t> seen;
      const std::string final = "data: " + std::to_string(kPublished) + "\n\n";
      while (auto news = hub.news(seen, 5s)) {
        if (!news->empty()) last[i] = *news;
        if (last[i].ends_with(final)) return;
      }
    });
  }
  for (int n = 1; n <= kPublished; ++n) hub.publish("phone", std::to_string(n));
  for (auto& page : pages) page.join();
  for (const std::string& news : last) {
    EXPECT_EQ(news, "event: phone\ndata: 300\n\n");
  }
  EXPECT_EQ(hub.snapshot(), R"({"settings":null,"phone":300,"status":null})");

  // A page that has seen everything waits; closing the hub ends its wait at once.
  std::map<std::string, std::uint64_t> seen;
  ASSERT_TRUE(hub.news(seen, 0ms));
  std::thread waiting([&] { EXPECT_FALSE(hub.news(seen, 60s)); });
  std::this_thread::sleep_for(20ms);
  const auto start = std::chrono::steady_clock::now();
  hub.close();
  waiting.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(hub.news(seen, 0ms));
}

TEST(StudioMainThreadQueue, WorkRunsOnTheMainThreadAndCloseRefusesTheRest) {
  MainThreadQueue queue;
  const std::thread::id mainThread = std::this_thread::get_id();
  int counter = 0;  // touched by the main thread only
  std::atomic<int> answered{0};
  std::vector<std::thread> servers;
  for (int t = 0; t < 4; ++t) {
    servers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        const Reply reply = queue.run(
            [&] {
              const bool onMain = std::this_thread::get_id() == mainThread;
              return Reply{onMain ? 200 : 500, std::to_string(++counter)};
            },
            10s);
        if (reply.status == 200) ++answered;
      }
    });
  }
  while (answered.load() < 200) {
    pollfd fd{queue.descriptor(), POLLIN, 0};
    if (::poll(&fd, 1, 1000) > 0) queue.runPending();
  }
  for (auto& server : servers) server.join();
  EXPECT_EQ(counter, 200);

  // Work that waits when the queue closes is answered 503 and never runs; later work too.
  std::thread late([&] {
    const Reply reply = queue.run([&] { return Reply{200, std::to_string(++counter)}; }, 10s);
    EXPECT_EQ(reply.status, 503);
  });
  for (;;) {
    pollfd fd{queue.descriptor(), POLLIN, 0};
    if (::poll(&fd, 1, 10) > 0) break;
  }
  queue.close();
  late.join();
  EXPECT_EQ(queue.run([] { return Reply{}; }, 10s).status, 503);
  queue.runPending();
  EXPECT_EQ(counter, 200);
}

}  // namespace
}  // namespace vyr::studio
