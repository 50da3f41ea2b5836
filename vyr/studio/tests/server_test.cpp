// The studio's two meeting points of threads: the news that every open page waits for, and the
// work that the server's threads hand to the main thread; and the server itself under hostile
// local traffic.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
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
      // As the server's streams read it: the version first, then what is new since.
      std::map<std::string, std::uint64_t> seen;
      const std::string final = "data: " + std::to_string(kPublished) + "\n\n";
      for (std::uint64_t version = 0; !hub.closed();) {
        hub.waitPast(version, 5s);
        version = hub.version();
        if (std::string news = hub.newsSince(seen); !news.empty()) last[i] = std::move(news);
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

  // A page that has seen everything waits; a wake ends its wait at once and leaves the hub open
  // (a server that stops), closing the hub ends every wait, now and later.
  for (const bool close : {false, true}) {
    const std::uint64_t seen = hub.version();
    std::thread waiting([&hub, seen] { hub.waitPast(seen, 60s); });
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    close ? hub.close() : hub.wake();
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(hub.closed(), close);
  }
  const auto start = std::chrono::steady_clock::now();
  hub.waitPast(hub.version(), 60s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// WORK's reply from QUEUE's main thread, waiting at most TIMEOUT for it (a 503 after that).
Reply runOnMain(MainThreadQueue& queue, std::function<Reply()> work,
                std::chrono::milliseconds timeout) {
  auto promise = std::make_shared<std::promise<Reply>>();
  std::future<Reply> reply = promise->get_future();
  queue.submit(std::move(work), [promise](Reply r) { promise->set_value(std::move(r)); });
  if (reply.wait_for(timeout) != std::future_status::ready) return {503, "no answer in time"};
  return reply.get();
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
        const Reply reply = runOnMain(
            queue,
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
    const Reply reply = runOnMain(
        queue,
        [&] {
          return Reply{200, std::to_string(++counter)};
        },
        10s);
    EXPECT_EQ(reply.status, 503);
  });
  for (;;) {
    pollfd fd{queue.descriptor(), POLLIN, 0};
    if (::poll(&fd, 1, 10) > 0) break;
  }
  queue.close();
  late.join();
  EXPECT_EQ(runOnMain(
                queue, [] { return Reply{}; }, 10s)
                .status,
            503);
  queue.runPending();
  EXPECT_EQ(counter, 200);
}

// A connection to 127.0.0.1:PORT, or -1.
int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// What arrives on FD until it holds WANTED or TIMEOUT passes.
std::string readUntil(int fd, std::string_view wanted, std::chrono::milliseconds timeout) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.find(wanted) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

class StudioServer : public ::testing::Test {
 protected:
  void SetUp() override {
    files_.html = "<p>the page</p>";
    files_.layout = "{}";
    Actions actions;
    actions.set = [](const std::string& body, const Answer& answer) { answer({200, body}); };
    // Answered when the test says, as a change the Settings app makes is.
    actions.tap = [this](const std::string&, const Answer& answer) {
      std::lock_guard lock(heldMutex_);
      held_ = answer;
    };
    actions.preview = [](const std::string& name, const std::string& body, const Answer& answer) {
      answer({200, name + " " + std::to_string(body.size()) + " bytes, last " + body.back()});
    };
    Limits limits;
    limits.headerDeadline = 2s;
    server_ = std::make_unique<Server>(files_, hub_, queue_, actions, limits);
    ASSERT_TRUE(server_->start(0, kToken));
    port_ = server_->address().port;
    main_ = std::thread([this] {
      while (!done_) {
        pollfd fd{queue_.descriptor(), POLLIN, 0};
        if (::poll(&fd, 1, 50) > 0) queue_.runPending();
      }
    });
  }
  void TearDown() override {
    server_->stop();
    done_ = true;
    main_.join();
  }
  // A POST of BODY to api/ACTION on a new connection; the connection.
  int post(const std::string& action, const std::string& body) {
    const int fd = connectTo(port_);
    sendAll(fd, request("POST /" + std::string(kToken) + "/api/" + action,
                        "Content-Type: application/json\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n") +
                    body);
    return fd;
  }
  Answer held() {
    std::lock_guard lock(heldMutex_);
    return held_;
  }
  std::string request(const std::string& line, const std::string& extra = "") {
    return line + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n" + extra + "\r\n";
  }
  // The time the page takes to answer, or a minute when it does not answer.
  std::chrono::milliseconds pageAnswers() {
    const auto start = std::chrono::steady_clock::now();
    const int fd = connectTo(port_);
    std::string got;
    if (fd >= 0 &&
        sendAll(fd, request("GET /" + std::string(kToken) + "/", "Connection: close\r\n"))) {
      got = readUntil(fd, "the page", 5s);
    }
    if (fd >= 0) ::close(fd);
    if (got.find("the page") == std::string::npos) return 60s;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  static constexpr char kToken[] = "0123456789abcdef0123456789abcdef0123456789abcdef";
  WebFiles files_;
  Hub hub_;
  MainThreadQueue queue_;
  std::unique_ptr<Server> server_;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread main_;
  std::mutex heldMutex_;
  Answer held_;
};

TEST_F(StudioServer, OpenPagesSlowClientsAndEndlessHeadersLeaveThePageAnswering) {
  hub_.publish("phone", "1");
  // 64 open pages: each stream gets the news, and none holds a thread.
  std::vector<int> streams;
  for (int i = 0; i < 64; ++i) {
    const int fd = connectTo(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, request("GET /" + std::string(kToken) + "/api/events")));
    streams.push_back(fd);
  }
  for (const int fd : streams)
    EXPECT_NE(readUntil(fd, "data: 1\n\n", 5s).find("data: 1"), std::string::npos);
  // 16 clients without a token that send their headers a byte at a time.
  std::vector<int> slow;
  for (int i = 0; i < 16; ++i) {
    const int fd = connectTo(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "GET / HTTP/1.1\r\nX-a: "));
    slow.push_back(fd);
  }
  // One client whose headers never end: it is cut off long before 200 MiB.
  std::atomic<std::size_t> flooded{0};
  std::thread flood([&] {
    const int fd = connectTo(port_);
    if (fd < 0) return;
    sendAll(fd, "GET / HTTP/1.1\r\n");
    const std::string line = "X-Flood: " + std::string(1000, 'a') + "\r\n";
    while (flooded < (200u << 20) && sendAll(fd, line)) flooded += line.size();
    ::close(fd);
  });
  std::chrono::milliseconds slowest{0};
  for (int round = 0; round < 3; ++round) {
    for (const int fd : slow) sendAll(fd, "a");
    slowest = std::max(slowest, pageAnswers());
    std::this_thread::sleep_for(1s);
  }
  flood.join();
  EXPECT_LT(slowest, 1s);
  EXPECT_LT(flooded.load(), 16u << 20);
  std::fprintf(stderr, "page answered in %lld ms at most; the flood was cut off after %zu bytes\n",
               static_cast<long long>(slowest.count()), flooded.load());
  // The news still reaches every open page at once.
  hub_.publish("phone", "2");
  for (const int fd : streams)
    EXPECT_NE(readUntil(fd, "data: 2\n\n", 2s).find("data: 2"), std::string::npos);
  // A change goes through, answered by the main thread.
  const int fd = connectTo(port_);
  const std::string body = R"({"key":"sig","value":"13"})";
  sendAll(fd, request("POST /" + std::string(kToken) + "/api/set",
                      "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n") +
                  body);
  EXPECT_NE(readUntil(fd, body, 5s).find("200 OK"), std::string::npos);
  ::close(fd);
  // Connections that never show the token cannot lock the page out: more than one client may
  // hold, saying nothing, leave room for the page (the oldest of them are ended), and a request
  // without the token ends its connection with its answer.
  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) {
    const int s = connectTo(port_);
    if (s >= 0) idle.push_back(s);
  }
  EXPECT_LT(pageAnswers(), 1s);
  int stillOpen = 0;
  for (const int s : idle) {
    pollfd p{s, POLLIN, 0};
    char byte = 0;
    if (::poll(&p, 1, 0) == 0 || ::recv(s, &byte, 1, MSG_DONTWAIT) > 0) ++stillOpen;
  }
  EXPECT_LE(stillOpen, 64);
  for (const int s : idle) ::close(s);
  const int wrong = connectTo(port_);
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(sendAll(wrong, request("GET /" + std::string(47, '0') + "1/api/state")));
  EXPECT_NE(readUntil(wrong, "never said", 3s).find("403"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
  ::close(wrong);

  // However steadily they trickle, the slow ones are cut off once their headers are overdue.
  for (const int s : slow) {
    pollfd p{s, POLLIN, 0};
    char byte = 0;
    EXPECT_TRUE(::poll(&p, 1, 5000) == 1 && ::recv(s, &byte, 1, 0) <= 0);
  }
  for (const int s : streams) ::close(s);
  for (const int s : slow) ::close(s);
}

// A page's connection that has shown the token in its request line keeps its place when more
// token-less connections than the table holds arrive before its headers are all in.
TEST_F(StudioServer, APageMidRequestKeepsItsPlaceInABurstOfTokenlessConnections) {
  const int page = connectTo(port_);
  ASSERT_GE(page, 0);
  ASSERT_TRUE(sendAll(page, "GET /" + std::string(kToken) + "/ HTTP/1.1\r\n"));
  std::this_thread::sleep_for(200ms);  // the daemon has read the request line
  std::vector<int> burst;
  for (int i = 0; i < 100; ++i) {
    const int s = connectTo(port_);
    if (s >= 0) burst.push_back(s);
  }
  std::this_thread::sleep_for(200ms);  // and taken in the burst
  ASSERT_TRUE(
      sendAll(page, "Host: 127.0.0.1:" + std::to_string(port_) + "\r\nConnection: close\r\n\r\n"));
  EXPECT_NE(readUntil(page, "the page", 5s).find("the page"), std::string::npos);
  ::close(page);
  for (const int s : burst) ::close(s);
}

// A change answered later than its work returns (once a child process replied) reaches its
// page, the main thread serving other changes meanwhile; one still unanswered when the server
// stops is answered by the stop rather than holding it, and its late answer then does nothing.
TEST_F(StudioServer, AChangeAnsweredLaterReachesItsPageAndAStopAnswersWhatIsLeft) {
  const auto heldSoon = [&] {
    for (int i = 0; i < 500 && !held(); ++i) std::this_thread::sleep_for(10ms);
    return static_cast<bool>(held());
  };
  const int later = post("tap", "{}");
  ASSERT_TRUE(heldSoon());
  const int meanwhile = post("set", R"({"now":1})");
  EXPECT_NE(readUntil(meanwhile, R"({"now":1})", 5s).find("200 OK"), std::string::npos);
  ::close(meanwhile);
  held()({200, R"({"tapped":"later"})"});
  EXPECT_NE(readUntil(later, "later", 5s).find("200 OK"), std::string::npos);
  ::close(later);

  {
    std::lock_guard lock(heldMutex_);
    held_ = nullptr;
  }
  const int left = post("tap", "{}");
  ASSERT_TRUE(heldSoon());
  const Answer lateAnswer = held();
  const auto stopping = std::chrono::steady_clock::now();
  server_->stop();
  // Its connection ends with the server, with the 503 when the daemon got to send it first.
  const std::string got = readUntil(left, "stopping", 5s);
  EXPECT_TRUE(got.empty() || got.find("503") != std::string::npos) << got;
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 4s);
  ::close(left);
  lateAnswer({200, "too late"});
}

// A profile to preview takes up to 64 KiB, sent at once or in chunks of unknown length; every
// other path keeps its 4 KiB, and a body over its path's limit is refused, never cut short.
TEST_F(StudioServer, AProfileOfUpTo64KiBReachesThePreviewAndNoOtherPathTakesMoreThan4KiB) {
  const auto send = [&](const std::string& path, const std::string& headers,
                        const std::string& body, std::string_view wanted) {
    const int fd = connectTo(port_);
    sendAll(fd, request("POST /" + std::string(kToken) + path, headers) + body);
    std::string got = readUntil(fd, wanted, 5s);
    ::close(fd);
    return got;
  };
  const auto length = [](std::size_t n) { return "Content-Length: " + std::to_string(n) + "\r\n"; };
  const std::string plist = "Content-Type: application/x-plist\r\n";
  std::string profile(kMaxProfileBody, 'x');
  profile.back() = 'z';
  EXPECT_NE(
      send("/api/preview?name=my%20theme.plist", plist + length(profile.size()), profile, "last z")
          .find("my theme.plist 65536 bytes, last z"),
      std::string::npos);
  // In chunks, without a length: counted as they come.
  std::string chunked;
  for (std::size_t sent = 0; sent <= kMaxProfileBody; sent += 0x1000) {
    chunked += "1000\r\n" + std::string(0x1000, 'x') + "\r\n";
  }
  chunked += "0\r\n\r\n";
  EXPECT_NE(send("/api/preview", plist + "Transfer-Encoding: chunked\r\n", chunked, "65536 bytes")
                .find("413"),
            std::string::npos);
  profile += 'x';
  EXPECT_NE(
      send("/api/preview", plist + length(profile.size()), profile, "65536 bytes").find("413"),
      std::string::npos);
  const std::string json = R"({"key":"sig","value":")" + std::string(kMaxBody, '1') + "\"}";
  EXPECT_NE(send("/api/set", "Content-Type: application/json\r\n" + length(json.size()), json,
                 "4096 bytes")
                .find("413"),
            std::string::npos);
  // The profile goes as a property list, which no page of another site may send unasked.
  EXPECT_NE(send("/api/preview", "Content-Type: text/plain\r\n" + length(3), "abc", "property")
                .find("415"),
            std::string::npos);
}

TEST_F(StudioServer, ATakenPortIsNamedAndNeverShared) {
  Server second(files_, hub_, queue_, Actions{});
  ASSERT_TRUE(second.start(port_, "ff"));
  EXPECT_NE(second.address().port, port_);
  // The ports after ours may be held by other programs of the machine at the time: each one
  // skipped is named, ours first.
  const std::vector<int> taken = second.takenPorts();
  ASSERT_FALSE(taken.empty());
  EXPECT_EQ(taken.front(), port_);
  for (std::size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], port_ + static_cast<int>(i));
  EXPECT_EQ(second.address().port, port_ + static_cast<int>(taken.size()));
  second.stop();
  // The hub is borrowed: stopping one server leaves it open for the other's pages.
  EXPECT_FALSE(hub_.closed());
}

}  // namespace
}  // namespace vyr::studio
