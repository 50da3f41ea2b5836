#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "vyr/child/channel.hpp"
#include "vyr/child/lines.hpp"
#include "vyr/child/requests.hpp"

namespace vyr::child {
namespace {

TEST(ChildFraming, LinesAreCappedAndAnOversizedOneIsDroppedUpToItsNewlineOnce) {
  LineReader reader(16);
  std::vector<Line> lines;
  reader.feed("{\"a\":", lines);
  reader.feed("1}\nsecond\n", lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "{\"a\":1}");
  EXPECT_EQ(lines[1].text, "second");

  // A flood with no newline: held no longer than the cap, said once, and the line after it
  // comes through whole.
  lines.clear();
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 1000; ++i) {
    reader.feed(chunk, lines);
    ASSERT_LE(reader.pending(), 16u);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].oversized);
  reader.feed("xx\nexactly sixteen!\n", lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].text, "exactly sixteen!");
  EXPECT_FALSE(lines[1].oversized);
  reader.feed("seventeen bytes!!\nok\n", lines);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(lines[2].oversized);
  EXPECT_EQ(lines[3].text, "ok");
}

TEST(ChildFraming, EveryMalformedLineIsRefusedWithAReasonNeverThrown) {
  std::string why;
  for (const char* bad : {"", "not json", "[1,2]", "{\"type\":7}", "{\"type\":null}", "{\"id\":1}",
                          "{\"type\":\"x\",\"id\":-1}", "{\"type\":\"x\",\"id\":1.5}",
                          "{\"type\":\"x\",\"id\":\"1\"}", "{\"type\":\"x\"} trailing"}) {
    why.clear();
    EXPECT_FALSE(parseMessage(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  // Nesting as deep as a whole line allows parses (or is refused) without exhausting the stack.
  const std::string deep = std::string(kMaxLine / 2, '[') + std::string(kMaxLine / 2, ']');
  EXPECT_FALSE(parseMessage(deep, &why));

  const auto ok = parseMessage("{\"type\":\"scene\",\"id\":18446744073709551615,\"x\":1}", &why);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->type, "scene");
  EXPECT_EQ(ok->id, 18446744073709551615u);
  EXPECT_EQ(ok->object.at("x"), 1);
  EXPECT_EQ(droppedLine("Spring\x1b[2J", "x"), "Spring\\e[2J sent a message that is dropped: x");

  BadMessages bad(3, std::chrono::seconds(10));
  const auto t0 = BadMessages::Clock::time_point();
  EXPECT_FALSE(bad.add(t0));
  EXPECT_FALSE(bad.add(t0 + std::chrono::seconds(1)));
  EXPECT_FALSE(bad.add(t0 + std::chrono::seconds(20)));  // the first two are out of the window
  EXPECT_FALSE(bad.add(t0 + std::chrono::seconds(21)));
  EXPECT_TRUE(bad.add(t0 + std::chrono::seconds(22)));
  EXPECT_FALSE(bad.add(t0 + std::chrono::seconds(23)));  // counted afresh
}

TEST(ChildFraming, AChannelNeitherBlocksNorGrowsOnAPeerThatFloodsOrReadsNothing) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Channel ours{sim::Fd(pair[0])};
  sim::Fd theirs(pair[1]);
  ASSERT_EQ(::fcntl(theirs.get(), F_SETFL, O_NONBLOCK), 0);

  // The peer reads nothing: sending stops at the cap, without waiting.
  int sent = 0;
  const nlohmann::json big = {{"type", "state"}, {"pad", std::string(64 * 1024, 'p')}};
  while (ours.send(big) && sent < 10000) ++sent;
  EXPECT_LT(sent, 10000);
  EXPECT_TRUE(ours.wantsWrite());

  // The peer floods a line with no end, then a good line, a wrong-typed one and one that is not
  // JSON: the reader keeps at most the cap and says each bad one once.
  const std::string flood(256 * 1024, 'z');
  std::vector<std::string> dropped;
  std::vector<Message> messages;
  const auto drain = [&] {
    Channel::Read r = ours.onReadable();
    for (auto& m : r.messages) messages.push_back(std::move(m));
    for (auto& d : r.dropped) dropped.push_back(std::move(d));
    return r.ended;
  };
  for (std::size_t written = 0; written <= kMaxLine + flood.size();) {
    const ssize_t n = ::write(theirs.get(), flood.data(), flood.size());
    if (n > 0) written += static_cast<std::size_t>(n);
    EXPECT_FALSE(drain());
  }
  const std::string tail = "\n{\"type\":\"scene\",\"id\":2}\n{\"type\":3}\nnope\n";
  ASSERT_EQ(::write(theirs.get(), tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
  EXPECT_FALSE(drain());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].id, 2u);
  ASSERT_EQ(dropped.size(), 3u);
  EXPECT_NE(dropped[0].find("longer than"), std::string::npos);

  // The peer goes: the channel says it ended and closes.
  theirs = sim::Fd();
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) ended = drain();
  EXPECT_TRUE(ended);
  EXPECT_FALSE(ours.open());
  EXPECT_FALSE(ours.send(big));
}

}  // namespace
}  // namespace vyr::child

namespace vyr::child {
namespace {

TEST(ChildFraming, AReplyAfterItsDeadlineIsDroppedByIdNotTakenForTheNextRequest) {
  Requests<std::string> requests;
  std::vector<std::string> got;
  const auto t0 = Requests<std::string>::Clock::now();
  const auto first =
      requests.add([&](std::string r) { got.push_back("1:" + r); }, t0 + std::chrono::seconds(10));
  requests.expire(t0 + std::chrono::seconds(11), [](std::uint64_t) { return "late"; });
  const auto second =
      requests.add([&](std::string r) { got.push_back("2:" + r); }, t0 + std::chrono::seconds(30));
  EXPECT_NE(first, second);
  EXPECT_FALSE(requests.answer(first, "first's answer"));  // it came after its deadline
  EXPECT_TRUE(requests.answer(second, "second's answer"));
  EXPECT_FALSE(requests.answer(second, "again"));
  EXPECT_EQ(got, (std::vector<std::string>{"1:late", "2:second's answer"}));
  EXPECT_FALSE(requests.nextDeadline());

  // What a completion does (asking again) is not disturbed by the table, nor lost.
  requests.add(
      [&](std::string r) {
        got.push_back("3:" + r);
        requests.add([&](std::string s) { got.push_back("4:" + s); }, t0);
      },
      t0);
  requests.failAll("gone");
  ASSERT_TRUE(requests.nextDeadline());
  requests.expire(t0, [](std::uint64_t) { return "late"; });
  EXPECT_EQ(got.back(), "4:late");
  EXPECT_TRUE(requests.empty());

  // Over a channel, on the clock: a child answers the first request only after its deadline
  // passed and the next was sent. Its late reply arrives first and is dropped by its id.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Channel ours{sim::Fd(pair[0])};
  Channel child{sim::Fd(pair[1])};
  got.clear();
  const auto ask = [&](const char* name, std::chrono::milliseconds deadline) {
    const std::uint64_t id = requests.add([&got, name](std::string r) { got.push_back(name + r); },
                                          Requests<std::string>::Clock::now() + deadline);
    EXPECT_TRUE(ours.send({{"type", "ask"}, {"id", id}}));
    return id;
  };
  std::vector<Message> dropped;
  const auto serve = [&](int timeoutMs) {
    pollfd p{ours.descriptor(), POLLIN, 0};
    ::poll(&p, 1, timeoutMs);
    for (Message& m : ours.onReadable().messages) {
      if (!requests.answer(m.id.value_or(0), m.object.at("text").get<std::string>())) {
        dropped.push_back(m);
      }
    }
    requests.expire(Requests<std::string>::Clock::now(), [](std::uint64_t) { return "late"; });
  };
  const std::uint64_t slow = ask("a:", std::chrono::milliseconds(20));
  while (!requests.empty()) serve(5);
  const std::uint64_t next = ask("b:", std::chrono::seconds(10));
  std::vector<std::uint64_t> asked;
  while (asked.size() < 2) {
    pollfd p{child.descriptor(), POLLIN, 0};
    ::poll(&p, 1, 1000);
    for (Message& m : child.onReadable().messages) asked.push_back(m.id.value_or(0));
  }
  EXPECT_EQ(asked, (std::vector<std::uint64_t>{slow, next}));
  ASSERT_TRUE(child.send({{"type", "reply"}, {"id", slow}, {"text", "a's answer"}}));
  ASSERT_TRUE(child.send({{"type", "reply"}, {"id", next}, {"text", "b's answer"}}));
  while (!requests.empty()) serve(1000);
  EXPECT_EQ(got, (std::vector<std::string>{"a:late", "b:b's answer"}));
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].id, slow);
}

}  // namespace
}  // namespace vyr::child
