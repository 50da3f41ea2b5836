#include "platform/system/libsystem.h"

#include <gtest/gtest.h>

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
