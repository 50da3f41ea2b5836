// The device folder held by its identity, for the front ends that outlive one SpringBoard
// (`vyr show --watch`, the studio): a folder that is moved while they run is followed to its new
// name, and one that is deleted is noticed at once, rather than a new empty device being made at
// the old name when SpringBoard is started again.
//
// Not thread-safe: one thread asks.
#pragma once

#include <sys/types.h>

#include <string>

#include "device/files.hpp"

namespace vyr::show {

class HeldFolder {
 public:
  // Holds the folder at PATH (which must exist) by a descriptor, and watches it for being moved
  // or deleted.
  explicit HeldFolder(const std::string& path);
  explicit operator bool() const { return static_cast<bool>(folder_); }

  // Where the folder is now. A folder moved since the last call is said once (moved), with its
  // new name, which path() then gives.
  enum class State { here, moved, gone };
  struct Where {
    State state = State::gone;
    std::string path;  // the name to reach it by
  };
  Where where();

  // A descriptor that is readable when the folder may have been moved or deleted (then call
  // changed()); -1 when the kernel cannot watch it, and where() is then asked before each start.
  int descriptor() const { return watch_.get(); }
  // Reads what the descriptor holds; where() then says what became of the folder.
  void changed();

  // The name the folder was last known by.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  sim::Fd folder_;
  sim::Fd watch_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace vyr::show
