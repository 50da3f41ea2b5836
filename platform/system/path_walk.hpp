// The walk of the device's kqueue file watch (file_watch_darwin.cpp): how a path is resolved and
// what is watched on the way, apart from the kernel calls, so that the same decisions are built and
// tested on Linux (tests/path_walk_test.cpp) where kqueue does not exist.
//
// The walk goes as the kernel resolves the path for a reader: component by component from "/",
// each folder watched before the name in it is looked up (so a change racing with the walk is
// reported by the watch one level up), a symbolic link replaced by its target (from "/" when
// absolute, else from the link's folder), ".." climbing from the folder the walk has reached.
// Folders are reached by their path text, made only of names the walk has opened without following
// links, so the text leads where the walk went unless something changed, which the watches report.
// The device's libSystem before iOS 8 has no openat/readlinkat, hence the texts.
//
// Header-only and free of std::vector: the deliverables import nothing more of libc++ for it.
#pragma once

#include <errno.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace libsystem {

// How a walk ended.
enum class Walked {
  blind,         // something failed: nothing can be told, every call reports a change
  watching,      // the file, or the folder where it would appear, is watched
  unfollowable,  // links that loop or cannot be read, or a path naming a folder: reads fail
};

namespace walk_detail {

// As many links as a walk follows before it gives up, as the kernel does (ELOOP).
constexpr int kMaxLinks = 32;

// Takes the first component of REST into NAME, skipping empty and "." ones; false when none is
// left. ".." is a component: the walk applies it where it stands.
inline bool takeComponent(std::string& rest, std::string& name) {
  std::size_t i = 0;
  while (i < rest.size()) {
    std::size_t j = rest.find('/', i);
    if (j == std::string::npos) j = rest.size();
    if (j > i && rest.compare(i, j - i, ".") != 0) {
      name.assign(rest, i, j - i);
      rest.erase(0, j);
      return true;
    }
    i = j + 1;
  }
  rest.clear();
  return false;
}

inline bool hasComponent(const std::string& rest) {
  std::string probe = rest;
  std::string ignored;
  return takeComponent(probe, ignored);
}

}  // namespace walk_detail

// Walks DEVICE_PATH (absolute) with the kernel calls of KERNEL:
//   int openFolder(const char* path)   a folder, not following a link at the end; -1 and errno
//   int openFile(const char* path)     the same for the file (any type)
//   long readLink(const char* path, char* buffer, std::size_t size)   as readlink(2)
//   bool watch(int fd, bool isFile)    takes FD over (closes it on failure too); false: failed
// Throws std::bad_alloc only.
template <class Kernel>
Walked walkPath(std::string_view devicePath, Kernel& kernel) {
  using walk_detail::takeComponent;
  if (devicePath.empty() || devicePath.front() != '/' ||
      devicePath.find('\0') != std::string_view::npos) {
    return Walked::blind;
  }
  std::string rest(devicePath);  // what is left to walk
  std::string folder;            // where the walk stands ("" is the root)
  std::string name;
  if (!takeComponent(rest, name)) return Walked::blind;  // the root itself: nothing to read
  const int root = kernel.openFolder("/");
  if (root < 0 || !kernel.watch(root, false)) return Walked::blind;
  bool current = true;  // whether FOLDER is watched
  int links = 0;
  for (bool more = true; more; more = takeComponent(rest, name)) {
    const bool holdsFile = !walk_detail::hasComponent(rest);
    if (name == "..") {
      const std::size_t slash = folder.rfind('/');
      folder.erase(slash == std::string::npos ? 0 : slash);
      current = false;
      if (holdsFile) return Walked::unfollowable;  // the path names a folder
      continue;
    }
    if (!current) {
      const int fd = kernel.openFolder(folder.empty() ? "/" : folder.c_str());
      if (fd < 0 || !kernel.watch(fd, false)) return Walked::blind;
      current = true;
    }
    const std::string path = folder + "/" + name;
    const int fd = holdsFile ? kernel.openFile(path.c_str()) : kernel.openFolder(path.c_str());
    if (fd >= 0) {
      if (!kernel.watch(fd, holdsFile)) return Walked::blind;
      if (holdsFile) return Walked::watching;
      folder = path;
      continue;
    }
    const int error = errno;
    // Missing: there is no file, and the folder's watch reports when that changes.
    if (error == ENOENT) return Walked::watching;
    if (error != ELOOP && error != ENOTDIR) return Walked::blind;
    // A link refuses to be opened without being followed (ELOOP; or ENOTDIR where a folder was
    // asked for).
    char target[1024];
    const long n = kernel.readLink(path.c_str(), target, sizeof target);
    if (n < 0) {
      // A file where a folder is needed: no file, as for a missing one.
      return error == ENOTDIR && errno == EINVAL ? Walked::watching : Walked::blind;
    }
    if (n == 0 || static_cast<std::size_t>(n) >= sizeof target ||
        ++links > walk_detail::kMaxLinks) {
      return Walked::unfollowable;
    }
    rest.insert(0, "/").insert(0, target, static_cast<std::size_t>(n));
    if (target[0] == '/') {
      folder.clear();
      current = false;
    }
    if (!walk_detail::hasComponent(rest)) return Walked::unfollowable;  // the root itself
  }
  return Walked::blind;
}

}  // namespace libsystem
