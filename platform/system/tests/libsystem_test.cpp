#include "platform/system/libsystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "device/device.hpp"
#include "device/tests/child_process.hpp"
#include "tests/support/temp_device.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int kRefused = 127 << 8;
constexpr int kFailed = 1 << 8;

// A folder outside the device, to prove nothing reaches it.
using vyrtest::OutsideFolder;

TEST(LibSystemRm, RemovesTreesWithoutFollowingLinks) {
  vyrtest::TempDevice device;
  OutsideFolder outside;
  // The command names the /User alias; the files live under /var/mobile.
  const std::string cache = "/User/Library/Caches/SpringBoardIconCache";
  const std::string stored = "/var/mobile/Library/Caches/SpringBoardIconCache";
  device.write(stored + "/a.png", "x");
  device.write(stored + "/sub/b.png", "x");
  device.write(stored + "/sub/deeper/c.png", "x");
  device.write("/var/mobile/Library/Keep/k", "x");
  fs::create_directory_symlink(outside.path(), device.path(stored + "/out"));
  fs::create_directory_symlink(device.path("/var/mobile/Library/Keep"),
                               device.path(stored + "/sub/keep"));
  fs::create_directory_symlink(outside.path(), device.path("/var/mobile/Library/Caches/linked"));

  EXPECT_EQ(libsystem::system(("rm -rf " + cache).c_str()), 0);
  EXPECT_FALSE(fs::exists(device.path(stored)));
  EXPECT_TRUE(outside.intact());
  EXPECT_TRUE(fs::exists(device.path("/var/mobile/Library/Keep/k")));

  // A link named as the path is removed itself; a missing path is already gone.
  EXPECT_EQ(libsystem::system("rm -rf /User/Library/Caches/linked"), 0);
  EXPECT_FALSE(fs::is_symlink(device.path("/var/mobile/Library/Caches/linked")));
  EXPECT_TRUE(outside.intact());
  EXPECT_EQ(libsystem::system("rm -rf /User/Library/Caches/BarVM_selected"), 0);
  // A single file, the other spellings of the flags, and extra blanks.
  device.write("/var/mobile/Library/Caches/one", "x");
  EXPECT_EQ(libsystem::system("  rm\t-fr   /var/mobile/Library/Caches/one  "), 0);
  EXPECT_FALSE(fs::exists(device.path("/var/mobile/Library/Caches/one")));

  // A tree far deeper than the descriptors a process may hold, one per level, goes entirely.
  const std::string deep = "/var/mobile/Library/Caches/com.apple.UIStatusBar";
  {
    int fd = ::open(device.path("/var/mobile/Library/Caches").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::mkdirat(fd, "com.apple.UIStatusBar", 0755), 0);
    for (int level = 0; level < 3000 && fd >= 0; ++level) {
      const int next = ::openat(fd, level == 0 ? "com.apple.UIStatusBar" : "d", O_RDONLY);
      ::close(fd);
      fd = next;
      if (fd >= 0 && (::mkdirat(fd, "d", 0755) != 0 || ::mkdirat(fd, "e", 0755) != 0)) break;
    }
    ASSERT_GE(fd, 0);
    ::close(::openat(fd, "leaf", O_CREAT | O_WRONLY, 0644));
    ::close(fd);
  }
  EXPECT_EQ(libsystem::system(("rm -rf " + deep).c_str()), 0);
  EXPECT_FALSE(fs::exists(device.path(deep)));
}

// What cannot be removed makes rm fail, so that the respring can say so: a mount point in the
// tree (root, in a mount namespace of a child) or a folder whose entries cannot be removed.
TEST(LibSystemRm, ATreeThatCannotBeRemovedEntirelyFails) {
  vyrtest::TempDevice device;
  const std::string cache = "/var/mobile/Library/Caches/com.apple.IconsCache";
  device.write(cache + "/a/b/kept/x.png", "x");
  device.write(cache + "/c.png", "x");
  const std::string kept = device.path(cache + "/a/b/kept");
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0) {
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("tmpfs", kept.c_str(), "tmpfs", 0, "size=16k") != 0) {
        ::_exit(100);
      }
      sim::attachDevice(device.root());
    } else if (::chmod(kept.c_str(), 0555) != 0) {
      ::_exit(100);
    }
    ::_exit(libsystem::system(("rm -rf " + cache).c_str()) == kFailed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(kept.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 100) << "could not make a tree that cannot be removed";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "rm -rf reported success for a tree it left";
  EXPECT_FALSE(fs::exists(device.path(cache + "/c.png")));  // the rest went all the same
}

TEST(LibSystemRm, RefusesTheRootTheSimulatorAndPathsLeavingTheDevice) {
  vyrtest::TempDevice device;
  OutsideFolder outside;
  device.write("/var/mobile/Library/Caches/keep", "x");
  fs::create_directory_symlink(outside.path(), device.path("/var/mobile/out"));
  std::ofstream(sim::simFolder() + "/state") << "x";

  for (const char* command :
       {"rm -rf /", "rm -rf /var/..", "rm -rf /.", "rm -rf /../..", "rm -rf /.sim",
        "rm -rf /.sim/state", "rm -rf /var/../.sim", "rm -rf /User/../../.sim/state"}) {
    EXPECT_EQ(libsystem::system(command), kFailed) << command;
  }
  // Paths that would leave the device stay inside it, as on the device: ".." stops at the root
  // and a link out of the device resolves beneath the root, where nothing of the machine is.
  for (const char* command : {"rm -rf /../../tmp", "rm -rf /var/mobile/out/precious"}) {
    EXPECT_EQ(libsystem::system(command), 0) << command;
  }
  EXPECT_TRUE(outside.intact());
  EXPECT_TRUE(fs::exists(sim::simFolder() + "/state"));
  EXPECT_TRUE(fs::exists(device.path("/var/mobile/Library/Caches/keep")));

  // Without a device nothing resolves.
  sim::attachDevice("");
  EXPECT_EQ(libsystem::system("rm -rf /var/mobile/Library/Caches/keep"), kFailed);
  sim::attachDevice(device.root());
  EXPECT_TRUE(fs::exists(device.path("/var/mobile/Library/Caches/keep")));
}

TEST(LibSystemShell, RefusesEverythingButTheTwoFormsWithoutRunningIt) {
  vyrtest::TempDevice device;
  device.write("/var/mobile/a", "x");
  const std::string marker = device.path("/var/mobile/made");
  for (const std::string& command :
       std::vector<std::string>{std::string("rm -rf /var/mobile/a; touch ") + marker,
                                "rm -rf /var/mobile/a && true",
                                "rm -rf /var/mobile/a | cat",
                                "rm -rf $HOME",
                                "rm -rf `pwd`",
                                "rm -rf /var/mobile/*",
                                "rm -rf '/var/mobile/a'",
                                "rm -rf \"/var/mobile/a\"",
                                "rm -rf /var/mobile/a\n",
                                "rm -rf /var/mobile/a > " + marker,
                                "rm -rf ~",
                                "rm -rf /var/mobile/{a,b}",
                                "rm -rf /var/mobile/a # comment",
                                "rm -r /var/mobile/a",
                                "rm -rf var/mobile/a",
                                "rm -rf /var/mobile/a /var/mobile/b",
                                "rm /var/mobile/a",
                                "/bin/rm -rf /var/mobile/a",
                                "killall",
                                "killall -9",
                                "killall -9 lsd lsd",
                                "killall - lsd",
                                "touch " + marker,
                                "",
                                "   ",
                                "sh -c true",
                                "RM -RF /var/mobile/a"}) {
    EXPECT_EQ(libsystem::system(command.c_str()), kRefused) << command;
  }
  EXPECT_TRUE(fs::exists(device.path("/var/mobile/a")));
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(libsystem::system(nullptr), 1);
}

TEST(LibSystemShell, KillallSignalsDeviceProcessesAndExitsLikeTheTool) {
  vyrtest::TempDevice device;
  vyrtest::DeviceChild springBoard("SpringBoard"), settings("Preferences");
  ASSERT_TRUE(springBoard.ready() && settings.ready());
  // The device's killall works for the device's processes only, as the Settings app is one.
  EXPECT_EQ(libsystem::system("killall -0 SpringBoard"), kFailed);
  ASSERT_TRUE(sim::registerProcess("Preferences"));
  EXPECT_EQ(libsystem::system("killall -9 lsd"), 0);
  EXPECT_EQ(libsystem::system("killall NoSuchProcess"), kFailed);
  EXPECT_EQ(libsystem::system("killall -FOO SpringBoard"), kFailed);
  EXPECT_EQ(libsystem::system("killall -99 SpringBoard"), kFailed);
  EXPECT_EQ(libsystem::system("killall -0 SpringBoard"), 0);
  EXPECT_TRUE(springBoard.runs());
  EXPECT_EQ(libsystem::system("killall -sighup Preferences"), 0);
  EXPECT_EQ(settings.endedBy(), SIGHUP);
  EXPECT_EQ(libsystem::system("killall -KILL backboardd"), 0);
  EXPECT_EQ(springBoard.endedBy(), SIGKILL);
  EXPECT_EQ(libsystem::system("killall SpringBoard"), kFailed);
  EXPECT_EQ(libsystem::system("killall backboardd"), 0);
}

TEST(LibSystemUnlink, RemovesFilesAndLinksOnlyInsideTheDevice) {
  vyrtest::TempDevice device;
  OutsideFolder outside;
  device.write("/var/mobile/Library/Caches/file", "x");
  device.write("/var/mobile/Library/Caches/folder/inner", "x");
  fs::create_symlink(outside.path() + "/precious", device.path("/var/mobile/Library/Caches/link"));
  fs::create_directory_symlink(outside.path(), device.path("/var/mobile/out"));
  std::ofstream(sim::simFolder() + "/state") << "x";

  EXPECT_EQ(libsystem::unlink("/User/Library/Caches/file"), 0);
  EXPECT_FALSE(fs::exists(device.path("/var/mobile/Library/Caches/file")));
  EXPECT_EQ(libsystem::unlink("/User/Library/Caches/link"), 0);
  EXPECT_FALSE(fs::is_symlink(device.path("/var/mobile/Library/Caches/link")));

  const struct {
    const char* path;
    int error;
  } kFailing[] = {
      {"/User/Library/Caches/file", ENOENT},
      {"/User/Library/Caches/folder", EISDIR},
      {"/var/mobile/out/precious", ENOENT},
      {"/../../etc/hostname", ENOENT},
      {"relative/path", ENOENT},
      {"/.sim/state", ENOENT},
      {"/", ENOENT},
      {nullptr, EFAULT},
  };
  for (const auto& f : kFailing) {
    errno = 0;
    EXPECT_EQ(libsystem::unlink(f.path), -1) << (f.path ? f.path : "null");
    EXPECT_EQ(errno, f.error) << (f.path ? f.path : "null");
  }
  EXPECT_TRUE(fs::exists(device.path("/var/mobile/Library/Caches/folder/inner")));
  EXPECT_TRUE(outside.intact());
  EXPECT_TRUE(fs::exists(sim::simFolder() + "/state"));
}

TEST(LibSystemCalls, EveryCallIsRecordedInOrder) {
  vyrtest::TempDevice device;
  libsystem::testing::clearCalls();
  libsystem::unlink("/User/Library/Caches/a");
  libsystem::system("rm -rf /User/Library/Caches/b");
  libsystem::system("echo refused");
  libsystem::unlink(nullptr);
  libsystem::system(nullptr);
  libsystem::system("killall -9 lsd");
  EXPECT_EQ(libsystem::testing::calls(),
            (std::vector<std::string>{"unlink /User/Library/Caches/a",
                                      "system rm -rf /User/Library/Caches/b", "system echo refused",
                                      "unlink (null)", "system (null)", "system killall -9 lsd"}));
  libsystem::testing::clearCalls();
  EXPECT_TRUE(libsystem::testing::calls().empty());
}

TEST(LibSystemRandom, TestSourcesMakeItDeterministicAndRealRandomnessReturns) {
  uint32_t next = 7;
  libsystem::testing::setRandomSource([&next] { return next++; });
  EXPECT_EQ(libsystem::arc4random(), 7u);
  EXPECT_EQ(libsystem::arc4random(), 8u);
  libsystem::testing::setRandomSource([]() -> uint32_t { throw std::runtime_error("broken"); });
  (void)libsystem::arc4random();  // falls back rather than throwing
  libsystem::testing::setRandomSource(nullptr);
  std::set<uint32_t> seen;
  for (int i = 0; i < 16; ++i) seen.insert(libsystem::arc4random());
  EXPECT_GT(seen.size(), 8u);  // 16 draws of 32 bits: repeats are practically impossible

  EXPECT_EQ(libsystem::strlen(nullptr), 0u);
  EXPECT_EQ(libsystem::strlen(""), 0u);
  EXPECT_EQ(libsystem::strlen("#a1a1a1"), 7u);
  EXPECT_EQ(libsystem::strlen("\xc3\xa9t\xc3\xa9"), 5u);  // bytes, not characters
}

}  // namespace
