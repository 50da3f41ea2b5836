#include "vyr/child/channel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vyr::child {

Channel::Channel(sim::Fd fd) : fd_(std::move(fd)) {
  if (fd_) {
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
  }
}

short Channel::events() const {
  return static_cast<short>(POLLIN | (wantsWrite() ? POLLOUT : 0));
}

bool Channel::send(const nlohmann::json& message) {
  if (!fd_ || out_.size() > kMaxQueued) return false;
  out_ += encodeMessage(message);
  onWritable();
  return true;
}

bool Channel::onWritable() {
  while (fd_ && !out_.empty()) {
    // MSG_NOSIGNAL on a socket; a pipe's writer ignores SIGPIPE or ends with it, as any writer.
    ssize_t n = ::send(fd_.get(), out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd_.get(), out_.data(), out_.size());
    if (n > 0) {
      out_.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    close();
    return false;
  }
  return static_cast<bool>(fd_);
}

bool Channel::flush(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (fd_ && !out_.empty()) {
    if (!onWritable()) return false;
    if (out_.empty()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_.get(), POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
  }
  return static_cast<bool>(fd_);
}

Channel::Read Channel::onReadable() {
  Read result;
  if (!fd_) {
    result.ended = true;
    return result;
  }
  std::vector<Line> lines;
  char buffer[65536];
  for (int reads = 0; reads < 16; ++reads) {
    const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n > 0) {
      reader_.feed(std::string_view(buffer, static_cast<std::size_t>(n)), lines);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    result.ended = true;  // the end, or a failure that will not pass
    break;
  }
  for (Line& line : lines) {
    if (line.oversized) {
      result.dropped.push_back("a line longer than " + std::to_string(kMaxLine) + " bytes");
      continue;
    }
    std::string why;
    if (auto message = parseMessage(line.text, &why)) {
      result.messages.push_back(std::move(*message));
    } else {
      result.dropped.push_back(why);
    }
  }
  if (result.ended) close();
  return result;
}

}  // namespace vyr::child
