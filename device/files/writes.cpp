#include "device/files/writes.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

#include "device/files/door.hpp"
#include "device/files/os.hpp"

namespace sim {
namespace {

using door::guarded;

// A temporary file of a writer: "." + the target's name (cut short) + this + 12 hex digits.
constexpr std::string_view kTempMarker = ".vyr-";
constexpr std::size_t kTempRandom = 12;
constexpr std::size_t kMaxTempStem = 200;
// A temporary file this old whose writer holds no lock on it was left by a writer that died.
constexpr time_t kStaleAfterSeconds = 5;

std::atomic<bool> gFlushWrites{true};

bool isTempName(std::string_view name) {
  if (name.size() < 1 + kTempMarker.size() + kTempRandom || name.front() != '.') return false;
  const std::string_view tail = name.substr(name.size() - kTempRandom);
  const std::string_view marker =
      name.substr(name.size() - kTempRandom - kTempMarker.size(), kTempMarker.size());
  return marker == kTempMarker && std::all_of(tail.begin(), tail.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string tempName(std::string_view leaf) {
  unsigned char bytes[kTempRandom / 2] = {};
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0)
      got += static_cast<std::size_t>(n);
    else if (errno != EINTR)
      break;
  }
  if (got < sizeof bytes) {
    // No kernel randomness: the name is still made unique by O_EXCL, only less unpredictable.
    static std::atomic<unsigned long> counter{0};
    const unsigned long mix = counter.fetch_add(1) ^ static_cast<unsigned long>(::getpid()) ^
                              static_cast<unsigned long>(std::time(nullptr)) << 20;
    std::memcpy(bytes, &mix, std::min(sizeof mix, sizeof bytes));
  }
  static const char kHex[] = "0123456789abcdef";
  std::string name = ".";
  name += leaf.substr(0, kMaxTempStem);
  name += kTempMarker;
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

// Removes the temporary files in FOLDER whose writers died: old enough, and nobody holds the
// lock that a live writer keeps on its file.
void removeStaleTemps(int folder) {
  int error = 0;
  const auto names = door::namesIn(folder, error);
  if (!names) return;
  std::vector<std::string> stale;
  for (const std::string& name : *names) {
    if (isTempName(name)) stale.push_back(name);
  }
  const time_t now = std::time(nullptr);
  for (const std::string& name : stale) {
    // O_PATH first: a FIFO or device node planted under a temporary name is never opened.
    Fd at(os::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!at || ::fstat(at.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime < kStaleAfterSeconds) continue;
    Fd temp(door::reopen(at.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!temp) continue;
    if (os::flock(temp.get(), LOCK_EX | LOCK_NB) != 0) continue;  // its writer is still at work
    // Only the file we looked at: a new one of the same name is another writer's.
    struct stat now_st {};
    if (::fstatat(folder, name.c_str(), &now_st, AT_SYMLINK_NOFOLLOW) == 0 &&
        now_st.st_ino == st.st_ino && now_st.st_dev == st.st_dev) {
      os::unlinkat(folder, name.c_str(), 0);
    }
  }
}

int writeAll(int fd, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = os::write(fd, data.data() + done, data.size() - done);
    if (n < 0) return errno;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

Fd createTemp(int folder, std::string_view leaf, std::string& temp, mode_t mode) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    temp = tempName(leaf);
    const int fd =
        os::openat(folder, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return Fd(fd);
    if (errno != EEXIST) return Fd::failure(errno);
  }
  return Fd::failure(EEXIST);
}

// Flushes the folder open as FOLDER to the disk; a folder open with O_PATH (which cannot be
// flushed itself) is opened for reading first. A file system that cannot flush folders (EINVAL)
// counts as flushed.
int syncFolder(int folder) {
  if (os::fsync(folder) == 0) return 0;
  int error = errno;
  if (error == EBADF) {
    const Fd readable(door::reopen(folder, O_RDONLY | O_DIRECTORY));
    if (!readable) return errno;
    error = os::fsync(readable.get()) == 0 ? 0 : errno;
  }
  return error == EINVAL ? 0 : error;
}

int replaceIn(int folder, const std::string& leaf, std::string_view data, mode_t mode) {
  removeStaleTemps(folder);
  std::string temp;
  Fd file = createTemp(folder, leaf, temp, mode);
  if (!file) return file.error();
  const int fd = file.get();
  // Held until the rename: a later writer's clean-up leaves a file with a live writer alone.
  os::flock(fd, LOCK_EX);
  int error = writeAll(fd, data);
  if (error == 0 && os::fchmod(fd, mode) != 0) error = errno;
  const bool flush = gFlushWrites.load(std::memory_order_relaxed);
  if (error == 0 && flush && os::fsync(fd) != 0) error = errno;
  if (error == 0 && os::renameat2(folder, temp.c_str(), folder, leaf.c_str()) != 0) error = errno;
  if (error != 0) {
    os::unlinkat(folder, temp.c_str(), 0);
    return error;
  }
  // The rename lives in the folder: until the folder reaches the disk, a crash may bring the old
  // file back (or leave the temporary name instead).
  return flush ? syncFolder(folder) : 0;
}

// Opens the folders that hold FROM and TO and has CALL act on the two names in them, as a system
// call (0, or -1 with errno set). Returns 0 or the errno.
template <typename Call>
int betweenFolders(Area area, std::string_view from, std::string_view to, Call call) {
  std::string fromLeaf, toLeaf;
  Fd fromFolder = door::openContainer(area, from, fromLeaf);
  if (!fromFolder) return fromFolder.error();
  Fd toFolder = door::openContainer(area, to, toLeaf);
  if (!toFolder) return toFolder.error();
  return call(fromFolder.get(), fromLeaf.c_str(), toFolder.get(), toLeaf.c_str()) == 0 ? 0 : errno;
}

}  // namespace

int writeFile(Area area, std::string_view path, std::string_view data, mode_t mode) noexcept {
  return guarded([&] {
    std::string leaf;
    Fd folder = door::openContainer(area, path, leaf);
    if (!folder) return folder.error();
    return replaceIn(folder.get(), leaf, data, mode);
  });
}

int writeFileIn(int folderFd, std::string_view name, std::string_view data, mode_t mode) noexcept {
  return guarded([&] {
    if (!door::isOneName(name)) return EINVAL;
    const std::string leaf(name);
    struct stat st {};
    // fstatat follows a link: a link to a special file is refused like the file itself.
    if (::fstatat(folderFd, leaf.c_str(), &st, 0) == 0 && !S_ISREG(st.st_mode)) {
      return S_ISDIR(st.st_mode) ? EISDIR : kNotRegularFile;
    }
    if (::fstatat(folderFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      struct stat target {};
      if (::fstatat(folderFd, leaf.c_str(), &target, 0) != 0) return kNotRegularFile;
    }
    return replaceIn(folderFd, leaf, data, mode);
  });
}

Fd openOrCreate(Area area, std::string_view path, int flags, mode_t mode) noexcept {
  return guarded([&] {
    std::string leaf;
    Fd folder = door::openContainer(area, path, leaf);
    if (!folder) return folder;
    return openOrCreateIn(folder.get(), leaf, flags, mode);
  });
}

Fd openOrCreateIn(int folderFd, std::string_view name, int flags, mode_t mode) noexcept {
  return guarded([&] {
    if (!door::isOneName(name)) return Fd::failure(EINVAL);
    const std::string leaf(name);
    // O_PATH first, as for reading: nothing but a regular file is opened for real.
    int at = os::openat(folderFd, leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (at < 0 && errno == ENOENT) {
      const int made = os::openat(folderFd, leaf.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (made < 0 && errno != EEXIST) return Fd::failure(errno);
      if (made >= 0) ::close(made);
      at = os::openat(folderFd, leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    if (at < 0) return Fd::failure(errno);
    Fd checked(at);
    struct stat st {};
    if (::fstat(at, &st) != 0) return Fd::failure(errno);
    if (S_ISLNK(st.st_mode)) return Fd::failure(ELOOP);
    if (!S_ISREG(st.st_mode)) return Fd::failure(S_ISDIR(st.st_mode) ? EISDIR : kNotRegularFile);
    // A second name elsewhere: writing here would write a file that may lie outside the device.
    if (st.st_nlink != 1) return Fd::failure(kHardLinked);
    const int fd =
        door::reopen(at, (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return Fd::failure(errno);
    Fd out(fd);
    // The name may have been given to another file meanwhile; what was checked is what is open.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) return Fd::failure(errno);
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return Fd::failure(EAGAIN);
    return out;
  });
}

Fd createTempIn(int folderFd, std::string_view name, std::string& tempName, mode_t mode) noexcept {
  return guarded([&] { return createTemp(folderFd, name, tempName, mode); });
}

int makeFolders(Area area, std::string_view path, mode_t mode) noexcept {
  return guarded([&] {
    const std::optional<door::Split> parts = door::split(path);
    if (!parts) return ENOENT;
    if (area == Area::Simulator) {
      Fd root = rootDescriptor();
      if (!root) return root.error();
      if (!door::simulatorFolder(root.get()) &&
          os::mkdirat(root.get(), door::kSimulatorFolder, 0755) != 0 && errno != EEXIST) {
        return errno;
      }
    }
    {
      Fd existing = door::openIn(area, path, O_PATH, true);
      struct stat st {};
      if (existing) {
        if (::fstat(existing.get(), &st) != 0) return errno;
        return S_ISDIR(st.st_mode) ? 0 : kNotFolder;
      }
      if (existing.error() != ENOENT) return existing.error();
    }
    if (parts->leaf.empty() || parts->folder == ".") {
      if (parts->folder != ".") return ENOENT;  // the root itself is missing
    } else if (const int error = makeFolders(area, parts->folder, mode); error != 0) {
      return error;
    }
    std::string leaf;
    Fd folder = door::openContainer(area, path, leaf);
    if (!folder) return folder.error();
    if (os::mkdirat(folder.get(), leaf.c_str(), mode) != 0 && errno != EEXIST) return errno;
    struct stat st {};
    if (::fstatat(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : kNotFolder;
  });
}

int renameFile(Area area, std::string_view from, std::string_view to, bool noReplace) noexcept {
  return guarded([&] {
    return betweenFolders(
        area, from, to,
        [&](int fromFolder, const char* fromLeaf, int toFolder, const char* toLeaf) {
          return os::renameat2(fromFolder, fromLeaf, toFolder, toLeaf,
                               noReplace ? static_cast<unsigned>(RENAME_NOREPLACE) : 0U);
        });
  });
}

int linkFile(Area area, std::string_view from, std::string_view to) noexcept {
  return guarded([&] {
    return betweenFolders(
        area, from, to, [](int fromFolder, const char* fromLeaf, int toFolder, const char* toLeaf) {
          return os::linkat(fromFolder, fromLeaf, toFolder, toLeaf, 0);
        });
  });
}

int makeLink(Area area, std::string_view path, std::string_view target) noexcept {
  return guarded([&] {
    if (target.empty() || door::hasNul(target)) return EINVAL;
    std::string leaf;
    Fd folder = door::openContainer(area, path, leaf);
    if (!folder) return folder.error();
    return os::symlinkat(std::string(target).c_str(), folder.get(), leaf.c_str()) == 0 ? 0 : errno;
  });
}

namespace testing {
void setFlushWrites(bool flush) {
  gFlushWrites.store(flush, std::memory_order_relaxed);
}
}  // namespace testing

}  // namespace sim
