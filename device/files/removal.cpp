#include "device/files/removal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/files/door.hpp"
#include "device/files/os.hpp"

namespace sim {
namespace {

// Empties the folder open as TOP (which stays open), however deep the tree beneath it is. The
// walk holds one folder open at a time: it enters a subfolder by name without following a link,
// and climbs back through ".." only after checking that ".." is still the very folder it came
// from (a folder moved elsewhere meanwhile is left, never followed out). Returns 0, or the errno
// of something that could not be removed.
int removeContents(int top) {
  struct Level {
    std::string name;                 // this folder's name in the folder above
    door::Identity id;                // this folder's identity
    std::vector<std::string> failed;  // subfolders that could not be removed: not tried again
  };
  struct stat topSt {};
  if (::fstat(top, &topSt) != 0) return errno;
  std::vector<Level> levels;  // levels.back() is the folder being emptied
  levels.push_back(Level{"", door::Identity::of(topSt), {}});
  Fd current(::fcntl(top, F_DUPFD_CLOEXEC, 0));
  if (!current) return errno;
  int result = 0;
  while (!levels.empty()) {
    Level& level = levels.back();
    int listError = 0;
    const auto names = door::namesIn(current.get(), listError);
    std::optional<std::string> sub;
    if (!names) {
      result = listError;
    } else {
      for (const std::string& name : *names) {
        if (os::unlinkat(current.get(), name.c_str(), 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR && errno != EPERM) {
          result = errno;
          continue;
        }
        if (std::find(level.failed.begin(), level.failed.end(), name) == level.failed.end()) {
          sub = name;
          break;
        }
      }
    }
    if (sub) {
      // O_NOFOLLOW: a link put in the subfolder's place meanwhile is not entered.
      Fd child(
          os::openat(current.get(), sub->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      if (!child || ::fstat(child.get(), &st) != 0) {
        if (errno != ENOENT) result = errno;
        level.failed.push_back(*sub);
        continue;
      }
      levels.push_back(Level{*sub, door::Identity::of(st), {}});
      current = std::move(child);
      continue;
    }
    // Nothing left to enter here: climb, and remove this folder from the one above.
    const Level done = std::move(levels.back());
    levels.pop_back();
    if (levels.empty()) break;
    Fd up(levels.size() == 1 ? ::fcntl(top, F_DUPFD_CLOEXEC, 0)
                             : os::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat upSt {};
    if (!up || ::fstat(up.get(), &upSt) != 0) return errno;
    if (!levels.back().id.same(upSt)) return EXDEV;  // moved away during the walk
    current = std::move(up);
    if (os::unlinkat(current.get(), done.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      result = errno;
      levels.back().failed.push_back(done.name);
    }
  }
  return result;
}

}  // namespace

int removeFile(Area area, std::string_view path) noexcept {
  return door::guarded([&] {
    std::string leaf;
    Fd folder = door::openContainer(area, path, leaf);
    if (!folder) return folder.error();
    return os::unlinkat(folder.get(), leaf.c_str(), 0) == 0 ? 0 : errno;
  });
}

int removeTree(Area area, std::string_view path, bool* removed) noexcept {
  bool ignored = false;
  bool& gone = removed != nullptr ? *removed : ignored;
  gone = false;
  return door::guarded([&] {
    std::string leaf;
    Fd folder = door::openContainer(area, path, leaf);
    if (!folder) return folder.error() == ENOENT ? 0 : folder.error();
    struct stat st {};
    if (::fstatat(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (os::unlinkat(folder.get(), leaf.c_str(), 0) == 0) {
        gone = true;
        return 0;
      }
      return errno == ENOENT ? 0 : errno;
    }
    const Fd tree(
        os::openat(folder.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!tree) return errno == ENOENT ? 0 : errno;
    const int emptied = removeContents(tree.get());
    if (os::unlinkat(folder.get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
      if (errno != ENOENT) return emptied != 0 ? emptied : errno;
    } else {
      gone = true;
    }
    return emptied;
  });
}

}  // namespace sim
