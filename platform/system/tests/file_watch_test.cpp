#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "device/device.hpp"
#include "platform/system/libsystem.h"
#include "tests/support/temp_device.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr char kFile[] = "/var/mobile/Library/Preferences/test.plist";

void writeInPlace(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ::close(fd);
}

void replaceByRename(const std::string& path, const std::string& data) {
  std::ofstream(path + ".new", std::ios::trunc) << data;
  fs::rename(path + ".new", path);
}

TEST(FileWatch, ReportsEachChangeOfTheFileAndNothingElse) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  libsystem::FileWatch watch(kFile);
  EXPECT_TRUE(watch.changed());  // nothing read yet
  EXPECT_FALSE(watch.changed());

  writeInPlace(file, "created");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  writeInPlace(file, "rewritten in place");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  replaceByRename(file, "replaced");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  fs::resize_file(file, 2);
  EXPECT_TRUE(watch.changed());
  fs::permissions(file, fs::perms::owner_read);
  EXPECT_TRUE(watch.changed());
  fs::remove(file);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  writeInPlace(file, "created again");
  EXPECT_TRUE(watch.changed());
  fs::rename(file, file + ".away");
  EXPECT_TRUE(watch.changed());
  fs::rename(file + ".away", file);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  // A write through another hard link of the file, in a folder nobody watches.
  fs::create_hard_link(file, device.path("/var/mobile/hardlink"));
  EXPECT_TRUE(watch.changed());  // the link count is the file's attribute
  EXPECT_FALSE(watch.changed());
  writeInPlace(device.path("/var/mobile/hardlink"), "through a hard link");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  fs::remove(device.path("/var/mobile/hardlink"));
  EXPECT_TRUE(watch.changed());

  // Other files in the folder, and the file's name as a folder elsewhere.
  const std::string folder = device.path("/var/mobile/Library/Preferences");
  writeInPlace(folder + "/other.plist", "x");
  replaceByRename(folder + "/other.plist", "y");
  fs::remove(folder + "/other.plist");
  fs::create_directories(device.path("/var/mobile/test.plist"));
  fs::create_directories(folder + "/sub");
  writeInPlace(folder + "/sub/test.plist", "x");
  EXPECT_FALSE(watch.changed());

  // The device's alias of /var/mobile names the same file.
  libsystem::FileWatch alias("/User/Library/../Library/./Preferences/test.plist");
  EXPECT_TRUE(alias.changed());
  EXPECT_FALSE(alias.changed());
  writeInPlace(file, "through the other name");
  EXPECT_TRUE(alias.changed());
  EXPECT_TRUE(watch.changed());
}

TEST(FileWatch, AReadBetweenAWriteAndItsCloseIsFollowedByAnotherReport) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  writeInPlace(file, "old");
  libsystem::FileWatch watch(kFile);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());

  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(watch.changed());  // truncated: a reader now would find nothing
  ASSERT_EQ(::write(fd, "<half", 5), 5);
  EXPECT_TRUE(watch.changed());  // a reader now would find half a file
  ASSERT_EQ(::write(fd, " and the rest>", 14), 14);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  ::close(fd);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
}

TEST(FileWatch, FoldersOnTheWayMayComeGoAndMove) {
  vyrtest::TempDevice device;
  const std::string prefs = device.path("/var/mobile/Library/Preferences");
  libsystem::FileWatch watch(kFile);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());

  fs::remove_all(prefs);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  fs::create_directories(prefs);
  EXPECT_TRUE(watch.changed());
  writeInPlace(prefs + "/test.plist", "x");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());

  // The file's folder's parent moved away: the path names nothing, and what happens inside the
  // moved folder is no longer the path's business.
  const std::string library = device.path("/var/mobile/Library");
  fs::rename(library, library + ".moved");
  EXPECT_TRUE(watch.changed());
  writeInPlace(library + ".moved/Preferences/test.plist", "y");
  EXPECT_FALSE(watch.changed());
  fs::rename(library + ".moved", library);
  EXPECT_TRUE(watch.changed());
  writeInPlace(prefs + "/test.plist", "z");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());

  // A path whose folders do not exist yet: quiet until they and the file appear.
  libsystem::FileWatch deep("/var/mobile/Nope/deeper/f.plist");
  EXPECT_TRUE(deep.changed());
  EXPECT_FALSE(deep.changed());
  fs::create_directories(device.path("/var/mobile/Nope"));
  EXPECT_TRUE(deep.changed());
  EXPECT_FALSE(deep.changed());
  fs::create_directories(device.path("/var/mobile/Nope/deeper"));
  EXPECT_TRUE(deep.changed());
  writeInPlace(device.path("/var/mobile/Nope/deeper/f.plist"), "x");
  EXPECT_TRUE(deep.changed());
  EXPECT_FALSE(deep.changed());

  // A file where a folder is needed: no file either, quiet until a folder holds one.
  const std::string plain = device.path("/var/mobile/Plain");
  writeInPlace(plain, "a file");
  libsystem::FileWatch throughFile("/var/mobile/Plain/f.plist");
  EXPECT_TRUE(throughFile.changed());
  EXPECT_FALSE(throughFile.changed());
  fs::remove(plain);
  fs::create_directories(plain);
  EXPECT_TRUE(throughFile.changed());
  writeInPlace(plain + "/f.plist", "x");
  EXPECT_TRUE(throughFile.changed());
  EXPECT_FALSE(throughFile.changed());
}

TEST(FileWatch, FollowsLinksInsideTheDeviceAndReportsWhatItCannotFollowOnEveryCall) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  // The file is a link with a device path in it: followed, and a write to the target is seen.
  writeInPlace(file + ".target", "x");
  fs::create_symlink(std::string(kFile) + ".target", file);
  libsystem::FileWatch watch(kFile);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  writeInPlace(file + ".target", "y");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
  fs::remove(file);
  writeInPlace(file, "a file again");
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());

  // A folder on the way is a relative link: the file through it, and the link repointed.
  fs::create_directory_symlink("Library", device.path("/var/mobile/Linked"));
  libsystem::FileWatch throughLink("/var/mobile/Linked/Preferences/test.plist");
  EXPECT_TRUE(throughLink.changed());
  EXPECT_FALSE(throughLink.changed());
  writeInPlace(file, "changed through the other spelling");
  EXPECT_TRUE(throughLink.changed());
  EXPECT_FALSE(throughLink.changed());
  fs::remove(device.path("/var/mobile/Linked"));
  fs::create_directory_symlink("/nowhere", device.path("/var/mobile/Linked"));
  EXPECT_TRUE(throughLink.changed());
  EXPECT_FALSE(throughLink.changed());

  // What would leave the device stays beneath its root, where nothing is: quiet, as a read is.
  libsystem::FileWatch outside("/../../etc/passwd");
  EXPECT_TRUE(outside.changed());
  EXPECT_FALSE(outside.changed());

  // Links that loop cannot be followed: every call.
  fs::create_symlink("loop", device.path("/var/mobile/loop"));
  libsystem::FileWatch looping("/var/mobile/loop/test.plist");
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(looping.changed()) << "loop, call " << i;

  // Without a device, then with it again.
  sim::attachDevice("");
  libsystem::FileWatch noDevice(kFile);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(noDevice.changed()) << "no device, call " << i;
  sim::attachDevice(device.root());
  EXPECT_TRUE(noDevice.changed());
  EXPECT_FALSE(noDevice.changed());

  // No inotify instance to be had (the per-user limit): every call, nothing to wait on, and a
  // watch once there is an instance again.
  libsystem::testing::setInotifyUnavailable(true);
  libsystem::FileWatch limited(kFile);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(limited.changed()) << "no inotify, call " << i;
  EXPECT_EQ(limited.descriptor(), -1);
  libsystem::testing::setInotifyUnavailable(false);
  EXPECT_TRUE(limited.changed());
  EXPECT_FALSE(limited.changed());
  EXPECT_GE(limited.descriptor(), 0);
}

TEST(FileWatch, SeesOtherProcessesAndSharesNothingWithAForkedChild) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  libsystem::FileWatch watch(kFile);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());

  ASSERT_EQ(vyrtest::runElsewhere("printf '<plist/>' > '" + file + "'"), 0);
  EXPECT_TRUE(watch.changed());
  ASSERT_EQ(vyrtest::runElsewhere("printf x > '" + file + ".new' && mv '" + file + ".new' '" +
                                  file + "'"),
            0);
  EXPECT_TRUE(watch.changed());
  ASSERT_EQ(vyrtest::runElsewhere("rm '" + file + "'"), 0);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());

  // The child writes and asks its own watch; had it drained the parent's queue, the parent would
  // miss the child's write.
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool wrote = fd >= 0 && ::write(fd, "c", 1) == 1 && ::close(fd) == 0;
    const bool first = watch.changed();
    const bool quiet = !watch.changed();
    ::_exit(wrote && first && quiet ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed());
}

}  // namespace
