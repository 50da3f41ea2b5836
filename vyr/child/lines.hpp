// The one framing between a front end and the device processes it starts: lines of JSON on a
// socket of their own (never a process's standard output, which any library loaded there can
// write to). Each line is one object with a string "type", and an "id" (a whole number) when it
// is a request or the reply to one. A line is at most kMaxLine bytes; a longer one is dropped up
// to its newline, unread, so that a process that never ends its line cannot make its reader hold
// more than that.
//
// Everything here works on bytes and values alone, with no descriptor: the channel
// (channel.hpp) feeds it. Not thread-safe; never throws but std::bad_alloc.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyr::child {

inline constexpr std::size_t kMaxLine = std::size_t{1} << 20;

// A line as it came: its text, or (when it was longer than the cap) nothing but that fact.
struct Line {
  std::string text;
  bool oversized = false;  // TEXT is empty: the line was dropped
};

// Cuts a stream of bytes into lines of at most MAX bytes (the newline not counted). A second
// oversized line is reported as a second Line; the bytes of a dropped line are never kept.
class LineReader {
 public:
  explicit LineReader(std::size_t max = kMaxLine) : max_(max) {}
  // Appends to OUT every line that DATA completes.
  void feed(std::string_view data, std::vector<Line>& out);
  // The bytes of an unfinished line held now (at most MAX).
  std::size_t pending() const { return pending_.size(); }

 private:
  std::size_t max_;
  std::string pending_;
  bool skipping_ = false;  // inside an oversized line, until its newline
};

// One message: its type, its id when it carries one, and the whole object (the type's codec
// reads the rest).
struct Message {
  std::string type;
  std::optional<std::uint64_t> id;
  nlohmann::json object;
};

// LINE as a message, or nothing, with WHY set to a few words (not JSON, no object, no string
// "type", an "id" that is no whole number).
std::optional<Message> parseMessage(std::string_view line, std::string* why);

// OBJECT as one line, newline included; text that is not UTF-8 is replaced, never thrown on.
std::string encodeMessage(const nlohmann::json& object);

// What is said of a message dropped from NAME: one line, its text spelt out, without newline.
std::string droppedLine(std::string_view name, std::string_view why);

// Counts the bad messages of one process: once LIMIT of them come within WINDOW, the process is
// of no use (it is ended and started again).
class BadMessages {
 public:
  using Clock = std::chrono::steady_clock;
  explicit BadMessages(int limit = 16, Clock::duration window = std::chrono::seconds(10))
      : limit_(limit), window_(window) {}
  // Counts one at NOW; true when that makes LIMIT within WINDOW (the count then starts afresh).
  bool add(Clock::time_point now);
  void clear() { times_.clear(); }

 private:
  int limit_;
  Clock::duration window_;
  std::deque<Clock::time_point> times_;
};

}  // namespace vyr::child
