// What the door's own sources share (device/files/*.cpp and device/library.cpp); callers include
// device/files.hpp instead.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "device/files/paths.hpp"

namespace sim::door {

// The frame of every entry point of the door, which never throws: runs BODY and turns an
// exception (the door's own code raises only bad_alloc) into ENOMEM in the shape BODY returns:
// the errno itself, a failed Fd, or nothing (an empty optional, false, null) with ERROR (when not
// null) set to ENOMEM.
template <typename Body>
auto guarded(Body&& body, int* error = nullptr) noexcept -> std::invoke_result_t<Body&> {
  using Result = std::invoke_result_t<Body&>;
  try {
    return body();
  } catch (...) {
    if (error != nullptr) *error = ENOMEM;
    if constexpr (std::is_same_v<Result, int>) {
      return ENOMEM;
    } else if constexpr (std::is_same_v<Result, Fd>) {
      return Fd::failure(ENOMEM);
    } else {
      return Result{};
    }
  }
}

// The simulator's folder in the device folder.
inline constexpr char kSimulatorFolder[] = ".sim";

// The identity of a file: its device and inode.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  static Identity of(const struct stat& st) { return Identity{st.st_dev, st.st_ino}; }
  bool same(const struct stat& st) const { return st.st_dev == dev && st.st_ino == ino; }
};

// A path split into the folder that holds its last component and that component.
struct Split {
  std::string folder;  // "/" for a component of the root, "." for a relative single name
  std::string leaf;    // empty for the root itself
};

bool hasNul(std::string_view path);
// Whether NAME is one component that may be created: not empty, ".", "..", nor with '/' or NUL.
bool isOneName(std::string_view name);

// Splits PATH; trailing slashes are dropped. Nothing for an empty path or one with a NUL.
std::optional<Split> split(std::string_view path);

// The simulator's folder, opened beneath ROOT without following a link; its identity too.
Fd simulatorFolder(int root, Identity* id = nullptr);

// Opens PATH of AREA with FLAGS (O_CLOEXEC added); FOLLOW says whether a link at the last
// component is followed.
Fd openIn(Area area, std::string_view path, int flags, bool follow);

// The folder holding the last component of PATH, opened for *at calls, and that component.
// Refuses an empty last component (the root itself), "." and ".." (EINVAL).
Fd openContainer(Area area, std::string_view path, std::string& leaf);

// Opens the object open as FD (an O_PATH descriptor) again with FLAGS, through /proc/self/fd: the
// very object that was checked, never what its name leads to now.
int reopen(int fd, int flags);

// The names in the folder open as FOLDER ("." and ".." left out); nothing with ERROR set when it
// cannot be read. FOLDER stays open and its position untouched (the listing reads a descriptor
// of its own).
std::optional<std::vector<std::string>> namesIn(int folder, int& error);

}  // namespace sim::door
