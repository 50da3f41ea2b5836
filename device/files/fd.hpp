// Descriptors of the door (device/files.hpp): the owned descriptor every opening returns, and the
// errno values by which the door refuses what it will not touch.
#pragma once

#include <cerrno>
#include <string>

namespace sim {

// An owned file descriptor, or the errno of the failure that produced none.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  static Fd failure(int error) noexcept {
    Fd f;
    f.error_ = error;
    return f;
  }
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.fd_), error_(other.error_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // The errno of the failure; 0 while a descriptor is held.
  int error() const noexcept { return fd_ >= 0 ? 0 : error_; }
  // Gives up ownership.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
  int error_ = EBADF;
};

// Something other than a regular file (a FIFO, socket or device node) where a file is meant.
inline constexpr int kNotRegularFile = EMEDIUMTYPE;
// A device path that reaches the simulator's own folder.
inline constexpr int kSimulatorState = EPERM;
// Something other than a folder where a folder is meant.
inline constexpr int kNotFolder = ENOTDIR;
// A file with more than one name where a file of one name is meant (a hard link planted there
// may be a file outside the device).
inline constexpr int kHardLinked = EMLINK;

// The words for ERROR, as "is not a regular file (a FIFO, socket or device)" or strerror's.
std::string describe(int error);

}  // namespace sim
