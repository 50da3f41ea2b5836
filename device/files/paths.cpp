#include "device/files/paths.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

#include "device/files/door.hpp"
#include "device/files/os.hpp"

namespace sim {
namespace door {
namespace {

// Deeper than this, a walk up from an object to the device's root gives up (and protects).
constexpr int kMaxClimb = 1024;
// As many links as the kernel follows in one walk.
constexpr int kMaxLinks = 40;

void (*gAfterFolderOpened)(std::string_view) = nullptr;

// Whether the folder open as FD is the simulator's folder or lies beneath it, found by walking
// ".." up to the device's root. Anything but a folder counts as inside.
bool inSimulatorFolder(int root, int fd) {
  Identity simulator;
  if (!simulatorFolder(root, &simulator)) return false;  // no simulator folder: nothing to protect
  struct stat rootSt {};
  if (::fstat(root, &rootSt) != 0) return true;
  Fd current(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  for (int depth = 0; current && depth < kMaxClimb; ++depth) {
    struct stat st {};
    if (::fstat(current.get(), &st) != 0) return true;
    if (simulator.same(st)) return true;
    if (st.st_dev == rootSt.st_dev && st.st_ino == rootSt.st_ino) return false;
    // A file has no "..": where it lies cannot be told from it (callers pass its folder).
    if (!S_ISDIR(st.st_mode)) return true;
    Fd up(os::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat upSt {};
    if (!up || ::fstat(up.get(), &upSt) != 0) return true;
    if (upSt.st_dev == st.st_dev && upSt.st_ino == st.st_ino) return false;  // the machine's "/"
    current = std::move(up);
  }
  return true;  // too deep to tell: treat as protected
}

// Opens device path PATH beneath ROOT. The kernel walks to the folder that holds the last
// component (links followed inside the device); the last component is then opened in that folder
// without following a link, and a link found there is read and resolved again from that folder,
// as the kernel would have. So what is checked against the simulator's folder is always a folder:
// the object itself, or the very folder it was found in (a file has no ".." to climb from).
Fd openDevicePath(int root, std::string path, int flags, bool follow) {
  for (int links = 0;; ++links) {
    if (path.front() != '/') return Fd::failure(ENOENT);
    // A trailing slash asks for a folder, and follows a link to one.
    const bool folderOnly = path.size() > 1 && path.back() == '/';
    const std::optional<Split> parts = split(path);
    if (!parts) return Fd::failure(ENOENT);
    if (parts->leaf.empty() || parts->leaf == "." || parts->leaf == "..") {
      // The root, or a name that can only be a folder: one walk of the kernel's is enough.
      const int fd = os::openat2(root, path.c_str(),
                                 static_cast<std::uint64_t>(flags | O_DIRECTORY | O_CLOEXEC),
                                 RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS);
      if (fd < 0) return Fd::failure(errno);
      Fd out(fd);
      if (inSimulatorFolder(root, fd)) return Fd::failure(kSimulatorState);
      return out;
    }
    const int folderFd = os::openat2(root, parts->folder.c_str(),
                                     static_cast<std::uint64_t>(O_PATH | O_DIRECTORY | O_CLOEXEC),
                                     RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS);
    if (folderFd < 0) return Fd::failure(errno);
    const Fd folder(folderFd);
    Fd at(os::openat(folder.get(), parts->leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!at || ::fstat(at.get(), &st) != 0) return Fd::failure(errno);
    if (S_ISLNK(st.st_mode) && (follow || folderOnly)) {
      if (links >= kMaxLinks) return Fd::failure(ELOOP);
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(at.get(), "", target, sizeof target);
      if (n < 0) return Fd::failure(errno);
      if (n == 0) return Fd::failure(ENOENT);
      if (static_cast<std::size_t>(n) >= sizeof target) return Fd::failure(ENAMETOOLONG);
      const std::string_view to(target, static_cast<std::size_t>(n));
      path = to.front() == '/' ? std::string(to) : parts->folder + "/" + std::string(to);
      if (folderOnly) path += '/';
      continue;
    }
    if (inSimulatorFolder(root, S_ISDIR(st.st_mode) ? at.get() : folder.get())) {
      return Fd::failure(kSimulatorState);
    }
    if ((folderOnly || (flags & O_DIRECTORY) != 0) && !S_ISDIR(st.st_mode)) {
      return Fd::failure(S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR);
    }
    if ((flags & O_PATH) != 0) return at;
    if (S_ISLNK(st.st_mode)) return Fd::failure(ELOOP);
    // Opened again from the descriptor itself: the very object that was checked.
    const int fd = S_ISDIR(st.st_mode) ? os::openat(at.get(), ".", flags | O_CLOEXEC)
                                       : reopen(at.get(), flags);
    return fd < 0 ? Fd::failure(errno) : Fd(fd);
  }
}

}  // namespace

bool hasNul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

bool isOneName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         !hasNul(name);
}

std::optional<Split> split(std::string_view path) {
  if (path.empty() || hasNul(path)) return std::nullopt;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return Split{".", std::string(path)};
  if (path == "/") return Split{"/", ""};
  return Split{slash == 0 ? "/" : std::string(path.substr(0, slash)),
               std::string(path.substr(slash + 1))};
}

Fd simulatorFolder(int root, Identity* id) {
  const int fd = os::openat(root, kSimulatorFolder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fd::failure(errno);
  Fd out(fd);
  if (id != nullptr) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Fd::failure(errno);
    *id = Identity::of(st);
  }
  return out;
}

Fd openIn(Area area, std::string_view path, int flags, bool follow) {
  if (path.empty() || hasNul(path)) return Fd::failure(ENOENT);
  Fd root = rootDescriptor();
  if (!root) return root;
  const std::string p(path);
  if (area == Area::Device) return openDevicePath(root.get(), p, flags, follow);
  Fd simulator = simulatorFolder(root.get());
  if (!simulator) return simulator;
  const int fd = os::openat2(simulator.get(), p.c_str(),
                             static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW),
                             RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
  return fd < 0 ? Fd::failure(errno) : Fd(fd);
}

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
  if (folder && gAfterFolderOpened != nullptr) gAfterFolderOpened(path);
  return folder;
}

int reopen(int fd, int flags) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return os::open(self.c_str(), flags | O_CLOEXEC);
}

std::optional<std::vector<std::string>> namesIn(int folder, int& error) {
  const int fd = os::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

}  // namespace door

using door::guarded;

Fd openPath(Area area, std::string_view path, bool followLastLink) noexcept {
  return guarded([&] { return door::openIn(area, path, O_PATH, followLastLink); });
}

Fd openFile(Area area, std::string_view path) noexcept {
  return guarded([&] {
    // O_PATH first: opening a FIFO or a device node for reading may block or act on the device.
    Fd at = door::openIn(area, path, O_PATH, true);
    if (!at) return at;
    struct stat st {};
    if (::fstat(at.get(), &st) != 0) return Fd::failure(errno);
    if (S_ISDIR(st.st_mode)) return Fd::failure(EISDIR);
    if (!S_ISREG(st.st_mode)) return Fd::failure(kNotRegularFile);
    // Reopened from the descriptor itself, so it is the very file that was checked.
    const int fd = door::reopen(at.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    return fd < 0 ? Fd::failure(errno) : Fd(fd);
  });
}

Fd openFolder(Area area, std::string_view path) noexcept {
  // O_DIRECTORY refuses anything else before it is opened for reading.
  return guarded([&] { return door::openIn(area, path, O_RDONLY | O_DIRECTORY, true); });
}

std::optional<std::string> readOpenFile(int fd, std::size_t limit, int* error) noexcept {
  return guarded(
      [&]() -> std::optional<std::string> {
        const auto fail = [error](int e) -> std::optional<std::string> {
          if (error != nullptr) *error = e;
          return std::nullopt;
        };
        struct stat st {};
        if (::fstat(fd, &st) != 0) return fail(errno);
        if (!S_ISREG(st.st_mode)) return fail(kNotRegularFile);
        if (static_cast<std::size_t>(st.st_size) > limit) return fail(EFBIG);
        std::string out;
        out.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < out.size()) {
          const ssize_t n =
              os::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
          if (n < 0) return fail(errno);
          if (n == 0) break;
          done += static_cast<std::size_t>(n);
        }
        // The file may have shrunk while it was read: keep what was there.
        out.resize(done);
        if (error != nullptr) *error = 0;
        return out;
      },
      error);
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

std::optional<std::vector<std::string>> listFolder(Area area, std::string_view path,
                                                   int* error) noexcept {
  return guarded(
      [&] {
        Fd folder = openFolder(area, path);
        int why = folder.error();
        std::optional<std::vector<std::string>> names;
        if (folder) names = door::namesIn(folder.get(), why);
        if (error != nullptr) *error = why;
        return names;
      },
      error);
}

std::optional<std::vector<std::string>> listFolderAt(int folderFd, int* error) noexcept {
  return guarded(
      [&] {
        int why = 0;
        auto names = door::namesIn(folderFd, why);
        if (error != nullptr) *error = why;
        return names;
      },
      error);
}

bool exists(Area area, std::string_view path) noexcept {
  return static_cast<bool>(openPath(area, path));
}

namespace testing {
void setAfterFolderOpened(void (*hook)(std::string_view path)) {
  door::gAfterFolderOpened = hook;
}
}  // namespace testing

}  // namespace sim
