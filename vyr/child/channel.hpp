// One end of the protocol socket between a front end and a device process, in the framing of
// lines.hpp. Non-blocking: it never waits. The owner's loop polls descriptor() (for POLLIN, and
// for POLLOUT while wantsWrite()) and calls onReadable() / onWritable().
//
// Owns its descriptor. One thread at a time; never throws but std::bad_alloc.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/files.hpp"
#include "vyr/child/lines.hpp"

namespace vyr::child {

class Channel {
 public:
  Channel() = default;
  // Takes FD (a stream socket or a pipe end) and makes it non-blocking.
  explicit Channel(sim::Fd fd);
  Channel(Channel&&) noexcept = default;
  Channel& operator=(Channel&&) noexcept = default;

  bool open() const { return static_cast<bool>(fd_); }
  int descriptor() const { return fd_.get(); }
  // The events to poll for: POLLIN, with POLLOUT while something waits to be written.
  short events() const;
  bool wantsWrite() const { return !out_.empty(); }

  // Queues MESSAGE and writes what goes at once. False (nothing queued) when the channel is
  // closed or more than kMaxQueued bytes already wait: a peer that reads nothing is not given
  // more memory of ours to fill.
  bool send(const nlohmann::json& message);
  // Writes what waits and goes now; false when the peer is gone (the channel is then closed).
  bool onWritable();
  // Waits (at most TIMEOUT_MS) until everything queued is written; false when it could not be.
  // For the device process's side, which has nothing else to do meanwhile.
  bool flush(int timeoutMs);

  struct Read {
    std::vector<Message> messages;
    std::vector<std::string> dropped;  // one reason per message dropped (see droppedLine)
    bool ended = false;                // the peer closed its end (or it failed): closed here too
  };
  // Reads what is there now (at most a few reads' worth, so one busy peer cannot hold the loop),
  // and returns the messages it completes and the reasons of the lines it dropped.
  Read onReadable();

  void close() {
    fd_ = sim::Fd();
    out_.clear();
  }

  static constexpr std::size_t kMaxQueued = 4 * kMaxLine;

 private:
  sim::Fd fd_;
  LineReader reader_;
  std::string out_;
};

}  // namespace vyr::child
