#include "device/files/fd.hpp"

#include <unistd.h>

#include <cstring>

namespace sim {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

std::string describe(int error) {
  switch (error) {
    case 0:
      return "no error";
    case kSimulatorState:
      return "is the simulator's own state, out of the device's reach";
    case kNotRegularFile:
      return "is not a regular file (a FIFO, socket or device node)";
    case ENOTDIR:
      return "is not a folder, or has a file where a folder should be on its way";
    case ENODEV:
      return "cannot be reached: no device is attached";
    case EXDEV:
      return "lies outside the device";
    case ELOOP:
      return "is a symbolic link where none may be";
    case EFBIG:
      return "is too large";
    case kHardLinked:
      return "has another name (a hard link) where a file of its own is meant";
    default:
      return std::strerror(error);
  }
}

}  // namespace sim
