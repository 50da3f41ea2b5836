#include "device/files.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "device/confine.hpp"
#include "device/device.hpp"

namespace sim {
namespace {

constexpr char kSimulatorFolder[] = ".sim";
// Deeper than this, a walk up from an object to the device's root gives up (and protects).
constexpr int kMaxClimb = 1024;
// A temporary file of a writer: "." + the target's name (cut short) + this + 12 hex digits.
constexpr std::string_view kTempMarker = ".vyr-";
constexpr std::size_t kTempRandom = 12;
constexpr std::size_t kMaxTempStem = 200;
// A temporary file this old whose writer holds no lock on it was left by a writer that died.
constexpr time_t kStaleAfterSeconds = 5;

void (*gAfterFolderOpened)(std::string_view) = nullptr;
std::atomic<bool> gFlushWrites{true};

void afterFolderOpened(std::string_view path) {
  if (gAfterFolderOpened != nullptr) gAfterFolderOpened(path);
}

int openat2Call(int dirfd, const char* path, std::uint64_t flags, std::uint64_t mode,
                std::uint64_t resolve) {
  open_how how{};
  how.flags = flags;
  how.mode = mode;
  how.resolve = resolve;
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
    // EAGAIN: a rename elsewhere raced with the walk; the kernel asks to try again.
    if (fd < 0 && (errno == EAGAIN || errno == EINTR) && attempt < 8) continue;
    return static_cast<int>(fd);
  }
}

// A device path split into the folder that holds its last component and that component.
struct Split {
  std::string folder;  // "/" for a component of the root
  std::string leaf;    // empty for the root itself
};

bool hasNul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

// Splits PATH; trailing slashes are dropped. Nothing for an empty path or one with a NUL.
std::optional<Split> split(std::string_view path) {
  if (path.empty() || hasNul(path)) return std::nullopt;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return Split{".", std::string(path)};
  if (path == "/") return Split{"/", ""};
  return Split{slash == 0 ? "/" : std::string(path.substr(0, slash)),
               std::string(path.substr(slash + 1))};
}

struct Stat {
  dev_t dev = 0;
  ino_t ino = 0;
  bool same(const struct stat& st) const { return st.st_dev == dev && st.st_ino == ino; }
};

// The simulator's folder, opened beneath the root without following a link; its identity too.
Fd simulatorFolder(int root, Stat* id = nullptr) {
  const int fd = ::openat(root, kSimulatorFolder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fd::failure(errno);
  Fd out(fd);
  if (id != nullptr) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Fd::failure(errno);
    *id = Stat{st.st_dev, st.st_ino};
  }
  return out;
}

// Whether the object open as FD is the simulator's folder or lies beneath it, found by walking
// ".." up to the device's root.
bool inSimulatorFolder(int root, int fd) {
  Stat simulator;
  if (!simulatorFolder(root, &simulator)) return false;  // no simulator folder: nothing to protect
  struct stat rootSt {};
  if (::fstat(root, &rootSt) != 0) return true;
  Fd current(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  for (int depth = 0; current && depth < kMaxClimb; ++depth) {
    struct stat st {};
    if (::fstat(current.get(), &st) != 0) return true;
    if (simulator.same(st)) return true;
    if (st.st_dev == rootSt.st_dev && st.st_ino == rootSt.st_ino) return false;
    // Not a folder: its folder is looked at next (only the first step can be a file).
    if (!S_ISDIR(st.st_mode)) return false;
    Fd up(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat upSt {};
    if (!up || ::fstat(up.get(), &upSt) != 0) return true;
    if (upSt.st_dev == st.st_dev && upSt.st_ino == st.st_ino) return false;  // the machine's "/"
    current = std::move(up);
  }
  return true;  // too deep to tell: treat as protected
}

// Opens PATH of AREA with FLAGS (O_CLOEXEC added); FOLLOW says whether a link at the last
// component is followed.
Fd openIn(Area area, std::string_view path, int flags, bool follow) {
  if (path.empty() || hasNul(path)) return Fd::failure(ENOENT);
  Fd root = rootDescriptor();
  if (!root) return root;
  const std::string p(path);
  if (area == Area::Device) {
    if (p.front() != '/') return Fd::failure(ENOENT);
    const int fd =
        openat2Call(root.get(), p.c_str(),
                    static_cast<std::uint64_t>(flags | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)), 0,
                    RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS);
    if (fd < 0) return Fd::failure(errno);
    Fd out(fd);
    if (inSimulatorFolder(root.get(), fd)) return Fd::failure(kSimulatorState);
    return out;
  }
  Fd simulator = simulatorFolder(root.get());
  if (!simulator) return simulator;
  const int fd = openat2Call(simulator.get(), p.c_str(),
                             static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW), 0,
                             RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
  return fd < 0 ? Fd::failure(errno) : Fd(fd);
}

// The folder holding the last component of PATH, opened for *at calls, and that component.
// Refuses an empty last component (the root itself), "." and "..".
Fd openContainer(Area area, std::string_view path, std::string& leaf) {
  const std::optional<Split> parts = split(path);
  if (!parts) return Fd::failure(ENOENT);
  if (parts->leaf.empty() || parts->leaf == "." || parts->leaf == "..") return Fd::failure(EINVAL);
  leaf = parts->leaf;
  Fd folder = openIn(area, parts->folder, O_RDONLY | O_DIRECTORY, true);
  if (folder && area == Area::Device && leaf == kSimulatorFolder) {
    // The simulator's folder, reached however the path is spelt, is no part of the device.
    Fd root = rootDescriptor();
    struct stat a {
    }, b{};
    if (!root || ::fstat(root.get(), &a) != 0 || ::fstat(folder.get(), &b) != 0 ||
        (a.st_dev == b.st_dev && a.st_ino == b.st_ino)) {
      return Fd::failure(kSimulatorState);
    }
  }
  if (folder) afterFolderOpened(path);
  return folder;
}

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

// The names in the folder open as FOLDER ("." and ".." left out); nothing with ERROR set when it
// cannot be read. FOLDER stays open and its position untouched (the listing reads a descriptor
// of its own).
std::optional<std::vector<std::string>> namesIn(int folder, int& error) {
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    error = errno;
    ::close(fd);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  error = 0;
  return names;
}

// Removes the temporary files in FOLDER whose writers died: old enough, and nobody holds the
// lock that a live writer keeps on its file.
void removeStaleTemps(int folder) {
  int error = 0;
  const auto names = namesIn(folder, error);
  if (!names) return;
  std::vector<std::string> stale;
  for (const std::string& name : *names) {
    if (isTempName(name)) stale.push_back(name);
  }
  const time_t now = std::time(nullptr);
  for (const std::string& name : stale) {
    // O_PATH first: a FIFO or device node planted under a temporary name is never opened.
    Fd at(::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!at || ::fstat(at.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime < kStaleAfterSeconds) continue;
    const std::string self = "/proc/self/fd/" + std::to_string(at.get());
    Fd temp(::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!temp) continue;
    if (::flock(temp.get(), LOCK_EX | LOCK_NB) != 0) continue;  // its writer is still at work
    // Only the file we looked at: a new one of the same name is another writer's.
    struct stat now_st {};
    if (::fstatat(folder, name.c_str(), &now_st, AT_SYMLINK_NOFOLLOW) == 0 &&
        now_st.st_ino == st.st_ino && now_st.st_dev == st.st_dev) {
      ::unlinkat(folder, name.c_str(), 0);
    }
  }
}

int writeAll(int fd, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

Fd createTemp(int folder, std::string_view leaf, std::string& temp, mode_t mode) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    temp = tempName(leaf);
    const int fd =
        ::openat(folder, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return Fd(fd);
    if (errno != EEXIST) return Fd::failure(errno);
  }
  return Fd::failure(EEXIST);
}

int replaceIn(int folder, const std::string& leaf, std::string_view data, mode_t mode) {
  removeStaleTemps(folder);
  std::string temp;
  Fd file = createTemp(folder, leaf, temp, mode);
  if (!file) return file.error();
  const int fd = file.get();
  // Held until the rename: a later writer's clean-up leaves a file with a live writer alone.
  ::flock(fd, LOCK_EX);
  int error = writeAll(fd, data);
  if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && gFlushWrites.load(std::memory_order_relaxed) && ::fsync(fd) != 0) error = errno;
  if (error == 0 && ::renameat(folder, temp.c_str(), folder, leaf.c_str()) != 0) error = errno;
  if (error != 0) ::unlinkat(folder, temp.c_str(), 0);
  return error;
}

// Empties the folder open as TOP (which stays open), however deep the tree beneath it is. The
// walk holds one folder open at a time: it enters a subfolder by name without following a link,
// and climbs back through ".." only after checking that ".." is still the very folder it came
// from (a folder moved elsewhere meanwhile is left, never followed out). Returns 0, or the errno
// of something that could not be removed.
int removeContents(int top) {
  struct Level {
    std::string name;                 // this folder's name in the folder above
    Stat id;                          // this folder's identity
    std::vector<std::string> failed;  // subfolders that could not be removed: not tried again
  };
  struct stat topSt {};
  if (::fstat(top, &topSt) != 0) return errno;
  std::vector<Level> levels;  // levels.back() is the folder being emptied
  levels.push_back(Level{"", Stat{topSt.st_dev, topSt.st_ino}, {}});
  Fd current(::fcntl(top, F_DUPFD_CLOEXEC, 0));
  if (!current) return errno;
  int result = 0;
  while (!levels.empty()) {
    Level& level = levels.back();
    int listError = 0;
    const auto names = namesIn(current.get(), listError);
    std::optional<std::string> sub;
    if (!names) {
      result = listError;
    } else {
      for (const std::string& name : *names) {
        if (::unlinkat(current.get(), name.c_str(), 0) == 0 || errno == ENOENT) continue;
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
          ::openat(current.get(), sub->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      if (!child || ::fstat(child.get(), &st) != 0) {
        if (errno != ENOENT) result = errno;
        level.failed.push_back(*sub);
        continue;
      }
      levels.push_back(Level{*sub, Stat{st.st_dev, st.st_ino}, {}});
      current = std::move(child);
      continue;
    }
    // Nothing left to enter here: climb, and remove this folder from the one above.
    const Level done = std::move(levels.back());
    levels.pop_back();
    if (levels.empty()) break;
    Fd up(levels.size() == 1 ? ::fcntl(top, F_DUPFD_CLOEXEC, 0)
                             : ::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat upSt {};
    if (!up || ::fstat(up.get(), &upSt) != 0) return errno;
    if (!levels.back().id.same(upSt)) return EXDEV;  // moved away during the walk
    current = std::move(up);
    if (::unlinkat(current.get(), done.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      result = errno;
      levels.back().failed.push_back(done.name);
    }
  }
  return result;
}

// Libraries loaded through the door: the address range of each image and its device path.
struct LoadedLibrary {
  const void* base = nullptr;
  std::string path;
};
std::mutex gLibrariesLock;
std::vector<LoadedLibrary>* gLibraries = nullptr;  // never freed: read during exit

// The machine path of the device file open as FD, checked to name that very file beneath the
// device's root; empty when it does not (the file was moved, removed or is out of the device).
std::string realPathOf(int fd) {
  const auto pathOf = [](int f) -> std::string {
    char buf[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(f);
    const ssize_t n = ::readlink(self.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    return std::string(buf, static_cast<std::size_t>(n));
  };
  Fd root = rootDescriptor();
  if (!root) return {};
  const std::string rootPath = pathOf(root.get());
  const std::string path = pathOf(fd);
  if (rootPath.empty() || path.empty() || path.front() != '/') return {};
  const std::string beneath = rootPath == "/" ? rootPath : rootPath + "/";
  if (path.compare(0, beneath.size(), beneath) != 0) return {};
  struct stat opened {
  }, named{};
  if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
      opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    return {};
  }
  return path;
}

}  // namespace

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

Fd openPath(Area area, std::string_view path, bool followLastLink) noexcept {
  try {
    return openIn(area, path, O_PATH, followLastLink);
  } catch (...) {
    return Fd::failure(ENOMEM);
  }
}

Fd openFile(Area area, std::string_view path) noexcept {
  // O_PATH first: opening a FIFO or a device node for reading may block or act on the device.
  Fd at = openPath(area, path);
  if (!at) return at;
  struct stat st {};
  if (::fstat(at.get(), &st) != 0) return Fd::failure(errno);
  if (S_ISDIR(st.st_mode)) return Fd::failure(EISDIR);
  if (!S_ISREG(st.st_mode)) return Fd::failure(kNotRegularFile);
  // Reopened from the descriptor itself, so it is the very file that was checked.
  const std::string self = "/proc/self/fd/" + std::to_string(at.get());
  const int fd = ::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fd::failure(errno);
  return Fd(fd);
}

Fd openFolder(Area area, std::string_view path) noexcept {
  try {
    // O_DIRECTORY refuses anything else before it is opened for reading.
    return openIn(area, path, O_RDONLY | O_DIRECTORY, true);
  } catch (...) {
    return Fd::failure(ENOMEM);
  }
}

std::optional<std::string> readOpenFile(int fd, std::size_t limit, int* error) noexcept {
  const auto fail = [error](int e) -> std::optional<std::string> {
    if (error != nullptr) *error = e;
    return std::nullopt;
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(errno);
  if (!S_ISREG(st.st_mode)) return fail(kNotRegularFile);
  if (static_cast<std::size_t>(st.st_size) > limit) return fail(EFBIG);
  try {
    std::string out;
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(errno);
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    // The file may have shrunk while it was read: keep what was there.
    out.resize(done);
    if (error != nullptr) *error = 0;
    return out;
  } catch (...) {
    return fail(ENOMEM);
  }
}

std::optional<std::string> readFile(Area area, std::string_view path, std::size_t limit,
                                    int* error) noexcept {
  Fd fd = openFile(area, path);
  if (!fd) {
    if (error != nullptr) *error = fd.error();
    return std::nullopt;
  }
  return readOpenFile(fd.get(), limit, error);
}

int writeFile(Area area, std::string_view path, std::string_view data, mode_t mode) noexcept {
  try {
    std::string leaf;
    Fd folder = openContainer(area, path, leaf);
    if (!folder) return folder.error();
    return replaceIn(folder.get(), leaf, data, mode);
  } catch (...) {
    return ENOMEM;
  }
}

int writeFileIn(int folderFd, std::string_view name, std::string_view data, mode_t mode) noexcept {
  try {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        hasNul(name)) {
      return EINVAL;
    }
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
  } catch (...) {
    return ENOMEM;
  }
}

Fd openOrCreate(Area area, std::string_view path, int flags, mode_t mode) noexcept {
  try {
    std::string leaf;
    Fd folder = openContainer(area, path, leaf);
    if (!folder) return folder;
    return openOrCreateIn(folder.get(), leaf, flags, mode);
  } catch (...) {
    return Fd::failure(ENOMEM);
  }
}

Fd openOrCreateIn(int folderFd, std::string_view name, int flags, mode_t mode) noexcept {
  try {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        hasNul(name)) {
      return Fd::failure(EINVAL);
    }
    const std::string leaf(name);
    // O_PATH first, as for reading: nothing but a regular file is opened for real.
    int at = ::openat(folderFd, leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (at < 0 && errno == ENOENT) {
      const int made = ::openat(folderFd, leaf.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (made < 0 && errno != EEXIST) return Fd::failure(errno);
      if (made >= 0) ::close(made);
      at = ::openat(folderFd, leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    if (at < 0) return Fd::failure(errno);
    Fd checked(at);
    struct stat st {};
    if (::fstat(at, &st) != 0) return Fd::failure(errno);
    if (S_ISLNK(st.st_mode)) return Fd::failure(ELOOP);
    if (!S_ISREG(st.st_mode)) return Fd::failure(S_ISDIR(st.st_mode) ? EISDIR : kNotRegularFile);
    // A second name elsewhere: writing here would write a file that may lie outside the device.
    if (st.st_nlink != 1) return Fd::failure(kHardLinked);
    const std::string self = "/proc/self/fd/" + std::to_string(at);
    const int fd = ::open(
        self.c_str(), (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Fd::failure(errno);
    Fd out(fd);
    // The name may have been given to another file meanwhile; what was checked is what is open.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) return Fd::failure(errno);
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return Fd::failure(EAGAIN);
    return out;
  } catch (...) {
    return Fd::failure(ENOMEM);
  }
}

Fd createTempIn(int folderFd, std::string_view name, std::string& tempName, mode_t mode) noexcept {
  try {
    return createTemp(folderFd, name, tempName, mode);
  } catch (...) {
    return Fd::failure(ENOMEM);
  }
}

int makeFolders(Area area, std::string_view path, mode_t mode) noexcept {
  try {
    const std::optional<Split> parts = split(path);
    if (!parts) return ENOENT;
    if (area == Area::Simulator) {
      Fd root = rootDescriptor();
      if (!root) return root.error();
      if (!simulatorFolder(root.get()) && ::mkdirat(root.get(), kSimulatorFolder, 0755) != 0 &&
          errno != EEXIST) {
        return errno;
      }
    }
    {
      Fd existing = openIn(area, path, O_PATH, true);
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
    Fd folder = openContainer(area, path, leaf);
    if (!folder) return folder.error();
    if (::mkdirat(folder.get(), leaf.c_str(), mode) != 0 && errno != EEXIST) return errno;
    struct stat st {};
    if (::fstatat(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : kNotFolder;
  } catch (...) {
    return ENOMEM;
  }
}

int removeFile(Area area, std::string_view path) noexcept {
  try {
    std::string leaf;
    Fd folder = openContainer(area, path, leaf);
    if (!folder) return folder.error();
    return ::unlinkat(folder.get(), leaf.c_str(), 0) == 0 ? 0 : errno;
  } catch (...) {
    return ENOMEM;
  }
}

int removeTree(Area area, std::string_view path, bool* removed) noexcept {
  bool ignored = false;
  bool& gone = removed != nullptr ? *removed : ignored;
  gone = false;
  try {
    std::string leaf;
    Fd folder = openContainer(area, path, leaf);
    if (!folder) return folder.error() == ENOENT ? 0 : folder.error();
    struct stat st {};
    if (::fstatat(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (::unlinkat(folder.get(), leaf.c_str(), 0) == 0) {
        gone = true;
        return 0;
      }
      return errno == ENOENT ? 0 : errno;
    }
    const Fd tree(
        ::openat(folder.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!tree) return errno == ENOENT ? 0 : errno;
    const int emptied = removeContents(tree.get());
    if (::unlinkat(folder.get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
      if (errno != ENOENT) return emptied != 0 ? emptied : errno;
    } else {
      gone = true;
    }
    return emptied;
  } catch (...) {
    return ENOMEM;
  }
}

int renameFile(Area area, std::string_view from, std::string_view to, bool noReplace) noexcept {
  try {
    std::string fromLeaf, toLeaf;
    Fd fromFolder = openContainer(area, from, fromLeaf);
    if (!fromFolder) return fromFolder.error();
    Fd toFolder = openContainer(area, to, toLeaf);
    if (!toFolder) return toFolder.error();
    const long rc =
        ::syscall(SYS_renameat2, fromFolder.get(), fromLeaf.c_str(), toFolder.get(), toLeaf.c_str(),
                  noReplace ? static_cast<unsigned>(RENAME_NOREPLACE) : 0U);
    return rc == 0 ? 0 : errno;
  } catch (...) {
    return ENOMEM;
  }
}

int linkFile(Area area, std::string_view from, std::string_view to) noexcept {
  try {
    std::string fromLeaf, toLeaf;
    Fd fromFolder = openContainer(area, from, fromLeaf);
    if (!fromFolder) return fromFolder.error();
    Fd toFolder = openContainer(area, to, toLeaf);
    if (!toFolder) return toFolder.error();
    return ::linkat(fromFolder.get(), fromLeaf.c_str(), toFolder.get(), toLeaf.c_str(), 0) == 0
               ? 0
               : errno;
  } catch (...) {
    return ENOMEM;
  }
}

int makeLink(Area area, std::string_view path, std::string_view target) noexcept {
  try {
    if (target.empty() || hasNul(target)) return EINVAL;
    std::string leaf;
    Fd folder = openContainer(area, path, leaf);
    if (!folder) return folder.error();
    return ::symlinkat(std::string(target).c_str(), folder.get(), leaf.c_str()) == 0 ? 0 : errno;
  } catch (...) {
    return ENOMEM;
  }
}

std::optional<std::vector<std::string>> listFolder(Area area, std::string_view path,
                                                   int* error) noexcept {
  try {
    Fd folder = openFolder(area, path);
    int why = folder.error();
    std::optional<std::vector<std::string>> names;
    if (folder) names = namesIn(folder.get(), why);
    if (error != nullptr) *error = why;
    return names;
  } catch (...) {
    if (error != nullptr) *error = ENOMEM;
    return std::nullopt;
  }
}

std::optional<std::vector<std::string>> listFolderAt(int folderFd, int* error) noexcept {
  try {
    int why = 0;
    auto names = namesIn(folderFd, why);
    if (error != nullptr) *error = why;
    return names;
  } catch (...) {
    if (error != nullptr) *error = ENOMEM;
    return std::nullopt;
  }
}

bool exists(Area area, std::string_view path) noexcept {
  return static_cast<bool>(openPath(area, path));
}

void* loadLibrary(std::string_view path, int flags, std::string* error) noexcept {
  try {
    const auto fail = [&](const std::string& why) -> void* {
      if (error != nullptr) *error = std::string(path) + " " + why;
      return nullptr;
    };
    Fd file = openFile(Area::Device, path);
    if (!file) return fail(describe(file.error()));
    // The loader is given a real file name, never /proc/self/fd/N: debuggers, symbolizers and
    // profilers open every loaded image by its name in their own process.
    std::string name;
    if (confinement() == Confinement::Kernel) {
      name = realPathOf(file.get());
      if (name.empty()) return fail("cannot be named as a file of the device");
      // Between this check and dlopen the name could be made to lead elsewhere; but the kernel
      // confines this process, so anything it would then map is something the process may read
      // anyway, and whatever runs from it stays confined all the same.
    } else {
      // Not confined: only the build's own code runs, and it is mapped from the build's own
      // copy, which the device cannot swap.
      name = buildCopyOf(path);
      if (name.empty() || !identicalTo(file.get(), name)) {
        return fail("refused: not VYR's own build, and the kernel does not confine this process (" +
                    whyNotConfined() + ")");
      }
    }
    void* handle = ::dlopen(name.c_str(), flags);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      if (error != nullptr)
        *error = std::string(path) + ": " + (why != nullptr ? why : "cannot load");
      return nullptr;
    }
    link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
      const auto* base = reinterpret_cast<const void*>(map->l_addr);
      std::lock_guard<std::mutex> guard(gLibrariesLock);
      if (gLibraries == nullptr) gLibraries = new std::vector<LoadedLibrary>();
      const bool known = std::any_of(gLibraries->begin(), gLibraries->end(),
                                     [&](const LoadedLibrary& l) { return l.base == base; });
      if (!known) gLibraries->push_back(LoadedLibrary{base, std::string(path)});
    }
    return handle;
  } catch (...) {
    if (error != nullptr) error->clear();
    return nullptr;
  }
}

std::optional<std::string> libraryPath(const void* address) noexcept {
  try {
    Dl_info info{};
    if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
      return std::nullopt;
    }
    std::lock_guard<std::mutex> guard(gLibrariesLock);
    if (gLibraries == nullptr) return std::nullopt;
    for (const LoadedLibrary& l : *gLibraries) {
      if (l.base == info.dli_fbase) return l.path;
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

namespace testing {
void setAfterFolderOpened(void (*hook)(std::string_view path)) {
  gAfterFolderOpened = hook;
}

void setFlushWrites(bool flush) {
  gFlushWrites.store(flush, std::memory_order_relaxed);
}
}  // namespace testing

}  // namespace sim
