// The device's file watch walks its path with path_walk.hpp; kqueue does not exist here, so the
// walk runs over a folder tree standing for the device's root, with Linux's open and readlink, and
// what it would watch is recorded.
#include "platform/system/path_walk.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The kernel calls under ROOT, as the device's kqueue watch makes them (nothing is followed at the
// end of a path); each watched descriptor is recorded by the path it is open on.
struct Kernel {
  std::string root;
  std::vector<std::string> watched;  // "/private" for a folder, "file /private/x" for the file

  int openFolder(const char* path) {
    return ::open((root + path).c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  }
  int openFile(const char* path) {
    return ::open((root + path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  long readLink(const char* path, char* buffer, std::size_t size) {
    return ::readlink((root + path).c_str(), buffer, size);
  }
  bool watch(int fd, bool isFile) {
    std::error_code ec;
    std::string at = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
    ::close(fd);
    at.erase(0, root.size());
    watched.push_back((isFile ? "file " : "") + (at.empty() ? "/" : at));
    return true;
  }
};

TEST(PathWalk, WatchesWhatTheKernelResolvesOnTheWay) {
  const fs::path tmp = fs::temp_directory_path() / ("vyr_path_walk_" + std::to_string(::getpid()));
  fs::create_directories(tmp / "private/var/mobile/Preferences");
  fs::create_directories(tmp / "a/x/y");
  const std::string root = fs::canonical(tmp).string();
  std::ofstream(root + "/private/var/mobile/Preferences/f.plist") << "x";
  std::ofstream(root + "/a/x/f") << "x";
  fs::create_symlink("private/var", root + "/var");
  fs::create_symlink("/private/var", root + "/var2");
  fs::create_symlink("x/y", root + "/a/l");
  fs::create_symlink("loop2", root + "/a/loop1");
  fs::create_symlink("loop1", root + "/a/loop2");
  fs::create_symlink("/", root + "/a/top");

  using libsystem::Walked;
  const std::string prefs = "/private/var/mobile/Preferences";
  const std::vector<std::string> toPrefs = {"/", "/private", "/private/var", "/private/var/mobile",
                                            prefs};
  const auto plus = [](std::vector<std::string> v, std::vector<std::string> more) {
    v.insert(v.end(), more.begin(), more.end());
    return v;
  };
  const struct {
    const char* path;
    Walked end;
    std::vector<std::string> watched;
  } cases[] = {
      // A relative link goes on from its folder, an absolute one from the root (watched again).
      {"/var/mobile/Preferences/f.plist", Walked::watching,
       plus(toPrefs, {"file " + prefs + "/f.plist"})},
      {"/var2/mobile/./Preferences//f.plist", Walked::watching,
       plus({"/"}, plus(toPrefs, {"file " + prefs + "/f.plist"}))},
      // Missing: the folder where it would appear is watched.
      {"/var/mobile/Preferences/none.plist", Walked::watching, toPrefs},
      // ".." after a link climbs from where the link led (/a/x/y), as the kernel does.
      {"/a/l/../f", Walked::watching, {"/", "/a", "/a/x", "/a/x/y", "/a/x", "file /a/x/f"}},
      // A file where a folder is needed: no file.
      {"/a/x/f/g", Walked::watching, {"/", "/a", "/a/x"}},
      {"/a/loop1", Walked::unfollowable, {"/", "/a"}},
      {"/a/x/..", Walked::unfollowable, {"/", "/a", "/a/x"}},
      // A link to the root at the end names a folder; with more after it, the walk goes on.
      {"/a/top", Walked::unfollowable, {"/", "/a"}},
      {"/a/top/a/x/f", Walked::watching, {"/", "/a", "/", "/a", "/a/x", "file /a/x/f"}},
      {"/", Walked::blind, {}},
      {"relative/f", Walked::blind, {}},
  };
  for (const auto& c : cases) {
    Kernel kernel{root, {}};
    EXPECT_EQ(libsystem::walkPath(c.path, kernel), c.end) << c.path;
    EXPECT_EQ(kernel.watched, c.watched) << c.path;
  }
  fs::remove_all(tmp);
}

}  // namespace
