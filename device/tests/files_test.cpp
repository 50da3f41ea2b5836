// The door to the device's files, at its own level: what it refuses, and what it does when the
// system's calls fail.
#include "device/files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <utility>

#include "device/files/os.hpp"
#include "tests/support/temp_device.hpp"

namespace {

namespace fs = std::filesystem;
using sim::Area;
using sim::os::Calls;

// One of the door's system calls, made to fail: after AFTER calls that go through, the next
// TIMES calls fail with ERROR, never two in a row (so EINTR on every call is tried again once).
template <auto Entry, typename = std::remove_reference_t<decltype(std::declval<Calls>().*Entry)>>
struct Fault;
template <auto Entry, typename R, typename... Args>
struct Fault<Entry, R (*)(Args...)> {
  static inline int error = 0, after = 0, times = 0;
  static inline bool failedLast = false;
  static R call(Args... args) {
    failedLast = !failedLast && times > 0 && after-- <= 0;
    if (!failedLast) return (sim::os::system().*Entry)(args...);
    --times;
    errno = error;
    return R(-1);
  }
  static void set(Calls& calls, int e, int n = 1, int a = 0) {
    error = e, times = n, after = a, failedLast = false;
    calls.*Entry = call;
  }
};

// The door's calls as the system makes them, until a test sets faults; restored at the end.
struct Faults : Calls {
  Faults() : Calls(sim::os::system()) { sim::os::testing::setCalls(this); }
  ~Faults() { sim::os::testing::setCalls(nullptr); }
};

// openat on a read-only file system: nothing can be created.
int readOnly(int at, const char* path, int flags, mode_t mode) {
  if ((flags & O_CREAT) == 0) return sim::os::system().openat(at, path, flags, mode);
  errno = EROFS;
  return -1;
}

std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
  return names;
}

// The simulator's own files are out of a device path's reach however it is spelt: the folder, a
// file in it (which has no ".." to tell where it lies), and links to either.
TEST(DoorPaths, TheSimulatorsStateIsNoPartOfTheDevice) {
  vyrtest::TempDevice device;
  ASSERT_EQ(sim::writeFile(Area::Simulator, "device.conf", "ios=8.1\n"), 0);
  fs::create_directories(device.path("/var/mobile"));
  fs::create_symlink("/.sim/device.conf", device.path("/var/mobile/absolute"));
  fs::create_symlink("../../.sim/device.conf", device.path("/var/mobile/relative"));
  fs::create_symlink("/.sim", device.path("/var/mobile/state"));
  fs::create_symlink("/var/mobile/absolute", device.path("/var/mobile/chain"));
  for (const char* path : {"/.sim/device.conf", "/var/mobile/absolute", "/var/mobile/relative",
                           "/var/mobile/state/device.conf", "/var/mobile/chain", "/.sim",
                           "/var/mobile/state/", "/var/mobile/../../.sim/."}) {
    int error = 0;
    EXPECT_FALSE(sim::readFile(Area::Device, path, 1024, &error)) << path;
    EXPECT_EQ(error, sim::kSimulatorState) << path;
    EXPECT_FALSE(sim::exists(Area::Device, path)) << path;
  }
  // A link planted inside the simulator's folder is refused itself, not only what it leads to.
  fs::create_symlink("/var/mobile", device.path("/.sim/away"));
  EXPECT_EQ(sim::openPath(Area::Device, "/.sim/away", false).error(), sim::kSimulatorState);

  // The same links to the device's own files still lead there.
  device.write("/var/mobile/file", "mine");
  fs::create_symlink("file", device.path("/var/mobile/near"));
  fs::create_symlink("/var/mobile/near", device.path("/var/mobile/far"));
  for (const char* path : {"/var/mobile/near", "/var/mobile/far", "/var/mobile/../mobile/./file"})
    EXPECT_EQ(sim::readFile(Area::Device, path, 1024).value_or("missing"), "mine") << path;
  EXPECT_EQ(sim::openFolder(Area::Device, "/var/mobile/far/").error(), ENOTDIR);
}

// A full disk, a read-only file system or a failed flush at any step of a write is reported as
// that failure: the old file stays (until the rename), and no temporary file is left behind.
TEST(DoorFailures, AFailedStepOfAWriteIsReportedAndLeavesNothingBehind) {
  vyrtest::TempDevice device;
  constexpr char kPath[] = "/var/mobile/Door/file";
  const std::string folder = device.path("/var/mobile/Door");
  const std::pair<const char*, void (*)(Calls&)> steps[] = {
      {"create", [](Calls& c) { c.openat = readOnly; }},
      {"write", [](Calls& c) { Fault<&Calls::write>::set(c, ENOSPC); }},
      {"flush", [](Calls& c) { Fault<&Calls::fsync>::set(c, ENOSPC); }},
      {"rename", [](Calls& c) { Fault<&Calls::renameat2>::set(c, ENOSPC); }},
      {"flush the folder", [](Calls& c) { Fault<&Calls::fsync>::set(c, EIO, 1, 1); }},
  };
  for (const auto& [step, fail] : steps) {
    device.write(kPath, "old");
    Faults faults;
    fail(faults);
    const int error = sim::writeFile(Area::Device, kPath, "new");
    EXPECT_NE(error, 0) << step;
    EXPECT_EQ(namesIn(folder), std::set<std::string>{"file"}) << step;
    const bool renamed = std::string_view(step) == "flush the folder";
    EXPECT_EQ(sim::readFile(Area::Device, kPath, 64), renamed ? "new" : "old") << step;
  }

  // Removal and new folders on a read-only file system fail, and say so.
  Faults faults;
  Fault<&Calls::unlinkat>::set(faults, EROFS, 100);
  Fault<&Calls::mkdirat>::set(faults, EROFS, 100);
  EXPECT_EQ(sim::removeTree(Area::Device, "/var"), EROFS);
  EXPECT_EQ(sim::removeFile(Area::Device, kPath), EROFS);
  EXPECT_EQ(sim::makeFolders(Area::Device, "/var/mobile/Door/new/deeper"), EROFS);
  EXPECT_TRUE(fs::exists(device.path(kPath)));
}

// A call interrupted by a signal is made again: every call of the door interrupted once changes
// nothing of what it does.
TEST(DoorFailures, InterruptedCallsAreMadeAgain) {
  vyrtest::TempDevice device;
  Faults faults;
  constexpr int kAll = 1 << 20;
  Fault<&Calls::openat>::set(faults, EINTR, kAll);
  Fault<&Calls::openat2>::set(faults, EINTR, kAll);
  Fault<&Calls::open>::set(faults, EINTR, kAll);
  Fault<&Calls::pread>::set(faults, EINTR, kAll);
  Fault<&Calls::write>::set(faults, EINTR, kAll);
  Fault<&Calls::fsync>::set(faults, EINTR, kAll);
  Fault<&Calls::fchmod>::set(faults, EINTR, kAll);
  Fault<&Calls::flock>::set(faults, EINTR, kAll);
  Fault<&Calls::renameat2>::set(faults, EINTR, kAll);
  Fault<&Calls::unlinkat>::set(faults, EINTR, kAll);
  Fault<&Calls::mkdirat>::set(faults, EINTR, kAll);
  Fault<&Calls::linkat>::set(faults, EINTR, kAll);
  Fault<&Calls::symlinkat>::set(faults, EINTR, kAll);
  EXPECT_EQ(sim::makeFolders(Area::Device, "/var/mobile/Library"), 0);
  EXPECT_EQ(sim::writeFile(Area::Device, "/var/mobile/Library/a", "data"), 0);
  EXPECT_EQ(sim::renameFile(Area::Device, "/var/mobile/Library/a", "/var/mobile/Library/b"), 0);
  EXPECT_EQ(sim::linkFile(Area::Device, "/var/mobile/Library/b", "/var/mobile/Library/c"), 0);
  EXPECT_EQ(sim::makeLink(Area::Device, "/var/mobile/d", "Library/c"), 0);
  EXPECT_EQ(sim::readFile(Area::Device, "/var/mobile/d", 64), "data");
  EXPECT_TRUE(sim::openOrCreate(Area::Device, "/var/mobile/e", O_WRONLY));
  EXPECT_EQ(sim::removeTree(Area::Device, "/var/mobile"), 0);
  EXPECT_FALSE(fs::exists(device.path("/var/mobile")));
  EXPECT_GT(Fault<&Calls::write>::error, 0);
  EXPECT_LT(Fault<&Calls::write>::times, kAll);  // the faults were met
}

}  // namespace
