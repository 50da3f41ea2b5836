// The walk of the device's file watches: how a path is resolved and what is watched on the way,
// apart from the kernel calls. One walk serves both watches, so its decisions are made once and
// tested on Linux, where the device's kqueue does not exist:
//  - the simulated device's inotify watch (file_watch.cpp) walks on descriptors beneath the
//    device's root, and its tests (tests/file_watch_test.cpp) run it;
//  - the device's kqueue watch (file_watch_darwin.cpp) walks on path texts (PathText below), and
//    tests/path_walk_test.cpp runs that walk over a folder with Linux's open and readlink.
//
// The walk goes as the kernel resolves the path for a reader: component by component from "/"
// ("." and empty components skipped), each folder watched before the name in it is looked up (so
// a change racing with the walk is reported by the watch one level up), a symbolic link replaced
// by its target (from "/" when absolute, else from the link's folder), ".." climbing from the
// folder the walk has reached, never above "/".
//
// Header-only and free of std::vector: the device's deliverables import nothing more of libc++
// for it.
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

// What a name in the folder where the walk stands is, looked up without following a link.
enum class Found {
  failed,   // the lookup failed: nothing can be told
  missing,  // nothing by that name, or a file where a folder is needed: there is no file
  folder,   // a folder was asked for and opened
  file,     // the path's last name, opened (whatever it is)
  link,     // a symbolic link: its text, or "" when it cannot be read or is too long
};

namespace walk_detail {

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

// Walks DEVICE_PATH (absolute) with PLACE, where the walk stands and the kernel calls made there.
// The place starts nowhere and is moved only by the walk:
//   static constexpr int kMaxLinks   links followed before giving up, as the kernel does (ELOOP)
//   bool start()         stand at the root; false: failed
//   bool watch(const std::string& name, bool last)   before NAME is looked up where the place
//                        stands (LAST: the path's last name): watch the folder for it; false:
//                        failed
//   Found lookUp(const std::string& name, bool last, std::string& link)   NAME where the place
//                        stands, without following a link; a folder is asked for unless LAST.
//                        Found::link puts the link's text in LINK
//   bool enter()         after Found::folder: stand in it; false: failed
//   bool watchFile()     after Found::file: watch it; false: failed
//   bool noFile()        the walk ends with no file; false: that cannot be trusted
//   void climb()         "..": back to the folder the place came from (stays at the root)
//   void toRoot()        an absolute link: back to the root
// Throws std::bad_alloc only (and what PLACE throws).
template <class Place>
Walked walk(std::string_view devicePath, Place& place) {
  using walk_detail::hasComponent;
  using walk_detail::takeComponent;
  if (devicePath.empty() || devicePath.front() != '/' ||
      devicePath.find('\0') != std::string_view::npos) {
    return Walked::blind;
  }
  std::string rest(devicePath);  // what is left to walk
  std::string name;
  std::string link;
  if (!takeComponent(rest, name)) return Walked::blind;  // the root itself: nothing to read
  if (!place.start()) return Walked::blind;
  int links = 0;
  for (bool more = true; more; more = takeComponent(rest, name)) {
    const bool last = !hasComponent(rest);
    if (name == "..") {
      place.climb();
      if (last) return Walked::unfollowable;  // the path names a folder
      continue;
    }
    if (!place.watch(name, last)) return Walked::blind;
    switch (place.lookUp(name, last, link)) {
      case Found::failed:
        return Walked::blind;
      case Found::missing:
        // There is no file, and the folder's watch reports when that changes.
        return place.noFile() ? Walked::watching : Walked::blind;
      case Found::file:
        return place.watchFile() ? Walked::watching : Walked::blind;
      case Found::folder:
        if (!place.enter()) return Walked::blind;
        continue;
      case Found::link:
        break;
    }
    if (link.empty() || ++links > Place::kMaxLinks) return Walked::unfollowable;
    rest.insert(0, "/").insert(0, link.data(), link.size());
    if (link[0] == '/') place.toRoot();
    if (!hasComponent(rest)) return Walked::unfollowable;  // names a folder: "/" or the link's own
  }
  return Walked::blind;
}

// The device's place: folders reached by their path text, made only of names the walk opened
// without following links, so the text leads where the walk went unless something changed, which
// the watches report. The device's libSystem before iOS 8 has no openat/readlinkat, hence the
// texts. A folder is watched on the descriptor that opened it; one returned to (by ".." or an
// absolute link) is opened again by its text before the next lookup in it. The kernel calls of
// KERNEL:
//   int openFolder(const char* path)   a folder, not following a link at the end; -1 and errno
//   int openFile(const char* path)     the same for the file (any type)
//   long readLink(const char* path, char* buffer, std::size_t size)   as readlink(2)
//   bool watch(int fd, bool isFile)    takes FD over (closes it on failure too); false: failed
template <class Kernel>
class PathText {
 public:
  static constexpr int kMaxLinks = 32;  // Darwin's MAXSYMLINKS

  explicit PathText(Kernel& kernel) : kernel_(kernel) {}

  bool start() {
    const int fd = kernel_.openFolder("/");
    current_ = fd >= 0 && kernel_.watch(fd, false);
    return current_;
  }
  bool watch(const std::string&, bool) {
    if (current_) return true;
    const int fd = kernel_.openFolder(folder_.empty() ? "/" : folder_.c_str());
    current_ = fd >= 0 && kernel_.watch(fd, false);
    return current_;
  }
  Found lookUp(const std::string& name, bool last, std::string& link) {
    path_ = folder_ + "/" + name;
    found_ = last ? kernel_.openFile(path_.c_str()) : kernel_.openFolder(path_.c_str());
    if (found_ >= 0) return last ? Found::file : Found::folder;
    const int error = errno;
    if (error == ENOENT) return Found::missing;
    // A link refuses to be opened without being followed (ELOOP; or ENOTDIR where a folder was
    // asked for).
    if (error != ELOOP && error != ENOTDIR) return Found::failed;
    char text[1024];
    const long n = kernel_.readLink(path_.c_str(), text, sizeof text);
    // Not a link: a file where a folder is needed.
    if (n < 0) return error == ENOTDIR && errno == EINVAL ? Found::missing : Found::failed;
    link.clear();
    if (n > 0 && static_cast<std::size_t>(n) < sizeof text) {
      link.insert(0, text, static_cast<std::size_t>(n));
    }
    return Found::link;
  }
  bool enter() {
    if (!kernel_.watch(found_, false)) return false;
    folder_ = path_;
    return true;
  }
  bool watchFile() { return kernel_.watch(found_, true); }
  bool noFile() { return true; }
  void climb() {
    const std::size_t slash = folder_.rfind('/');
    folder_.erase(slash == std::string::npos ? 0 : slash);
    current_ = false;
  }
  void toRoot() {
    folder_.clear();
    current_ = false;
  }

 private:
  Kernel& kernel_;
  std::string folder_;    // where the walk stands ("" is the root)
  std::string path_;      // the name looked up last, in FOLDER
  int found_ = -1;        // what that lookup opened
  bool current_ = false;  // whether FOLDER is watched
};

// Walks DEVICE_PATH by path texts with the kernel calls of KERNEL (see PathText).
template <class Kernel>
Walked walkPath(std::string_view devicePath, Kernel& kernel) {
  PathText<Kernel> place(kernel);
  return walk(devicePath, place);
}

}  // namespace libsystem
