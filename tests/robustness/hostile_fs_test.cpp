// The device folder under attack: someone who can write to it plants links, FIFOs, forged files
// and temporary names, or swaps a folder while the simulator works in it. Nothing outside the
// device may be read, written or removed, nothing may hang, and a failure is never a success.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "device/device.hpp"
#include "device/files.hpp"
#include "device/files/os.hpp"
#include "device/processes.hpp"
#include "platform/foundation/plist_io.hpp"
#include "platform/preferences/domain.hpp"
#include "platform/preferences/settings_app.hpp"
#include "tests/support/temp_device.hpp"
#include "tests/support/vyr_process.hpp"

namespace {

namespace fs = std::filesystem;
using sim::Area;
using vyrtest::OutsideFolder;

constexpr char kDomain[] = "com.belvorin.VYR";
constexpr char kFolder[] = "/var/mobile/Library/Preferences";
constexpr char kFile[] = "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

preferences::WriteResult writeSig(int value) {
  ns::AutoreleasePool pool;
  return preferences::writeDomainValue(kDomain, ns::String::withUTF8("sig"),
                                       ns::Number::withInt(value).get());
}

bool readsAsMissing(std::string_view devicePath) {
  int error = 0;
  const objc::id dict = foundation::plist::readDictionary(devicePath, nullptr, &error);
  ns::Object(dict).release();
  return dict == nullptr && error == ENOENT;
}

// Runs BODY and fails the test if it took long enough to have waited on something.
void promptly(const char* what, const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << what;
}

TEST(HostileLinks, ALinkOutOfTheDeviceIsNeverFollowed) {
  vyrtest::TempDevice device;
  OutsideFolder outside, elsewhere;
  const std::string foreign = elsewhere.path() + "/foreign.plist";
  std::ofstream(foreign) << vyrtest::xmlPlist(
      {{"sig", "<integer>13</integer>"}, {"secret", "<string>outside</string>"}});
  const std::string original = slurp(foreign);

  // The settings file is a link to a property list of the machine, absolute or climbing out.
  for (const std::string& target :
       {foreign, "../../../../../../../../../../" + foreign.substr(1)}) {
    fs::remove(device.path(kFile));
    fs::create_symlink(target, device.path(kFile));
    EXPECT_TRUE(readsAsMissing(kFile)) << target;
    // A write replaces the link with a file of the device's own, copying nothing from outside.
    EXPECT_TRUE(writeSig(2)) << target;
    EXPECT_FALSE(fs::is_symlink(device.path(kFile)));
    EXPECT_EQ(slurp(device.path(kFile)).find("secret"), std::string::npos);
    EXPECT_EQ(slurp(foreign), original);
  }

  // A folder on the way is a link out: the write fails, nothing lands outside.
  fs::remove_all(device.path(kFolder));
  fs::create_directory_symlink(outside.path(), device.path(kFolder));
  EXPECT_TRUE(readsAsMissing(kFile));
  const preferences::WriteResult r = writeSig(3);
  EXPECT_FALSE(r);
  EXPECT_NE(r.problem.find("No such file"), std::string::npos) << r.problem;
  EXPECT_EQ(sim::removeTree(Area::Device, "/var/mobile/Library/Preferences/precious"), 0);
  EXPECT_EQ(sim::removeFile(Area::Device, "/var/mobile/Library/Preferences/precious"), ENOENT);
  EXPECT_TRUE(outside.intact());

  // A link that stays inside the device works for both spellings, as on the device.
  fs::remove(device.path(kFolder));
  fs::create_directory_symlink("/var/mobile/Library/Elsewhere", device.path(kFolder));
  device.write("/var/mobile/Library/Elsewhere/com.belvorin.VYR.plist",
               vyrtest::xmlPlist({{"sig", "<integer>7</integer>"}}));
  for (const char* spelling : {kFile, "/User/Library/Preferences/com.belvorin.VYR.plist"}) {
    int error = -1;
    ns::Dictionary dict(foundation::plist::readDictionary(spelling, nullptr, &error));
    EXPECT_TRUE(dict) << spelling << ": " << sim::describe(error);
    dict.release();
  }

  // A hard link to a file outside planted at the log the pane appends to: no append lands there.
  fs::create_hard_link(outside.path() + "/precious", sim::simFolder() + "/opened-urls.log");
  const sim::Fd log = sim::openOrCreate(Area::Simulator, "opened-urls.log", O_WRONLY | O_APPEND);
  EXPECT_EQ(log.error(), sim::kHardLinked);
  EXPECT_TRUE(outside.intact());

  // The simulator's own folder swapped for a link: its state is refused, not written outside.
  fs::remove_all(device.path("/.sim"));
  fs::create_directory_symlink(outside.path(), device.path("/.sim"));
  // Joining writes nothing there: the process table is the supervisor's, outside the device.
  EXPECT_TRUE(sim::registerProcess("SpringBoard"));
  EXPECT_NE(sim::writeFile(Area::Simulator, "device.conf", "ios=5.1\n"), 0);
  EXPECT_NE(sim::makeFolders(Area::Simulator, "proc"), 0);
  EXPECT_EQ(sim::iosVersion(), "8.1");
  EXPECT_TRUE(outside.intact());
}

// The attacker's moment: a folder on the way is exchanged with a link out of the device after
// the door has opened it and before it acts. What was opened is what is used.
TEST(HostileSwaps, AFolderSwappedDuringAnOperationIsNotFollowed) {
  static std::string from, to, folder;
  static int swaps = 0;
  // Only once, and only when the door acts in the folder under attack (not, say, on a lock file).
  const auto exchange = [](std::string_view path) {
    if (path.find(folder) != std::string_view::npos && swaps++ == 0) {
      ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE);
    }
  };
  struct Case {
    const char* folder;  // swapped for a link out
    std::function<int()> act;
  };
  const Case cases[] = {
      {"/var/mobile/Library/Caches",
       [] { return sim::removeTree(Area::Device, "/User/Library/Caches/precious"); }},
      {"/var/mobile/Library/Caches",
       [] { return sim::removeFile(Area::Device, "/var/mobile/Library/Caches/precious"); }},
      {kFolder, [] { return sim::writeFile(Area::Device, kFile, "new"); }},
      {kFolder, [] { return writeSig(4).error; }},
  };
  for (const Case& c : cases) {
    vyrtest::TempDevice device;
    OutsideFolder outside;
    device.write(std::string(c.folder) + "/precious", "inside");
    from = device.path(c.folder);
    to = from + "-evil";
    fs::create_directory_symlink(outside.path(), to);
    swaps = 0;
    folder = std::string(c.folder).substr(std::string_view("/var/mobile").size());
    sim::testing::setAfterFolderOpened(+exchange);
    const int result = c.act();
    sim::testing::setAfterFolderOpened(nullptr);
    EXPECT_EQ(swaps, 1) << c.folder;
    EXPECT_EQ(result, 0) << c.folder << ": " << sim::describe(result);
    EXPECT_TRUE(fs::is_symlink(from)) << "the swap happened";
    EXPECT_TRUE(outside.intact()) << c.folder;
  }
}

TEST(HostileNames, PlantedNamesAndLeftoversInTheTargetsFolder) {
  vyrtest::TempDevice device;
  OutsideFolder outside;
  const std::string folder = device.path(kFolder);
  // Temporary files of writers that were killed: one old and unlocked (removed by the next
  // write), one whose writer still holds it (kept), one that is a link out (never opened).
  const std::string stale = folder + "/.com.belvorin.VYR.plist.vyr-0123456789ab";
  const std::string live = folder + "/.com.belvorin.VYR.plist.vyr-ba9876543210";
  const std::string planted = folder + "/.com.belvorin.VYR.plist.vyr-aaaaaaaaaaaa";
  std::ofstream(stale) << "half";
  std::ofstream(live) << "half";
  const sim::Fd holder(::open(live.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
  fs::create_symlink(outside.path() + "/precious", planted);
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(10);
  fs::last_write_time(stale, old);
  fs::last_write_time(live, old);

  // A FIFO under a stale temporary name, a writer waiting on it: looked at, never opened (an
  // open for reading would let the waiting writer through).
  const std::string fifo = folder + "/.com.belvorin.VYR.plist.vyr-fedcba987654";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, fifo.c_str(), times, 0), 0);
  const pid_t waiter = ::fork();
  if (waiter == 0) ::_exit(::open(fifo.c_str(), O_WRONLY) >= 0 ? 0 : 1);

  EXPECT_TRUE(writeSig(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(::waitpid(waiter, nullptr, WNOHANG), 0) << "the FIFO was opened";
  ::kill(waiter, SIGKILL);
  ::waitpid(waiter, nullptr, 0);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_TRUE(fs::is_symlink(planted));
  EXPECT_TRUE(outside.intact());

  // The target itself is a link to an outside file: replaced, never written through.
  fs::remove(device.path(kFile));
  fs::create_symlink(outside.path() + "/precious", device.path(kFile));
  EXPECT_EQ(sim::writeFile(Area::Device, kFile, "mine"), 0);
  EXPECT_EQ(slurp(device.path(kFile)), "mine");
  EXPECT_TRUE(outside.intact());
}

TEST(HostileSpecialFiles, FifosAndDeviceNodesAreRefusedNeverWaitedOn) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
  promptly("settings file", [] {
    int error = 0;
    EXPECT_EQ(foundation::plist::readDictionary(kFile, nullptr, &error), nullptr);
    EXPECT_EQ(error, sim::kNotRegularFile);
  });

  ASSERT_EQ(::mkfifo((sim::simFolder() + "/device.conf").c_str(), 0644), 0);
  promptly("device.conf", [] {
    EXPECT_EQ(sim::iosVersion(), "8.1");
    EXPECT_NE(sim::deviceSettingsProblem().find("not a regular file"), std::string::npos);
  });

  fs::create_directories(device.path("/Library/MobileSubstrate/DynamicLibraries"));
  ASSERT_EQ(
      ::mkfifo(device.path("/Library/MobileSubstrate/DynamicLibraries/X.dylib").c_str(), 0755), 0);
  promptly("library", [] {
    std::string why;
    EXPECT_EQ(sim::loadLibrary("/Library/MobileSubstrate/DynamicLibraries/X.dylib", RTLD_NOW, &why),
              nullptr);
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
  });

  fs::create_directories(device.path("/Library/PreferenceBundles/VYR.bundle"));
  ASSERT_EQ(::mkfifo(device.path("/Library/PreferenceBundles/VYR.bundle/VYR").c_str(), 0755), 0);
  promptly("pane executable", [] {
    std::string why;
    preferences::settings::PaneEntry entry;
    entry.bundle = "VYR";
    EXPECT_EQ(preferences::settings::Pane::open(entry, &why), nullptr);
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
  });

  fs::create_directories(sim::simFolder() + "/proc");
  ASSERT_EQ(::mkfifo((sim::simFolder() + "/proc/2-1").c_str(), 0644), 0);
  promptly("process table", [] { EXPECT_EQ(sim::killall("SpringBoard"), 0); });

  // A link to a device node of the machine resolves beneath the root: missing. A device node
  // inside the device (only root can make one) is refused like a FIFO.
  fs::remove(file);
  fs::create_symlink("/dev/zero", file);
  EXPECT_TRUE(readsAsMissing(kFile));
  if (::geteuid() == 0) {
    fs::remove(file);
    ASSERT_EQ(::mknod(file.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);  // like /dev/zero
    promptly("device node", [] {
      int error = 0;
      EXPECT_EQ(foundation::plist::readDictionary(kFile, nullptr, &error), nullptr);
      EXPECT_EQ(error, sim::kNotRegularFile);
      EXPECT_FALSE(writeSig(1));
    });
  }
}

// The writers' lock is the writers' own: nobody else can open its file (so nobody else can hold
// it, since flock works on any descriptor), a writer waits a bounded time for a holder and then
// fails saying who it is, every writer takes it (vyr import too), and a plain file planted where
// its folder belongs does not silently turn it off.
TEST(HostileLocks, TheWritersLockIsOnlyTheWritersAndItsWaitIsBounded) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  const std::string before = vyrtest::xmlPlist({{"sig", "<integer>9</integer>"}});
  device.write(kFile, before);
  {
    // A writer inside a change that already holds the lock takes it again at once, rather than
    // waiting for itself; the outer hold still keeps the lock afterwards.
    const preferences::WritersLock held(kDomain);
    ASSERT_TRUE(held) << held.problem();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(writeSig(3));
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(preferences::WritersLock::kWaitSeconds));
    std::atomic<bool> other{true};
    std::thread([&] { other = static_cast<bool>(writeSig(2)); }).join();
    EXPECT_FALSE(other) << "another thread waited for the held lock and gave up";
  }
  ASSERT_TRUE(writeSig(4));
  const std::string after = slurp(file);
  const std::string folder = sim::simFolder() + "/locks";
  const std::string lockFile = folder + "/" + kDomain + ".lock";
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  ASSERT_EQ(::stat(lockFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Another local user cannot open the lock file, not even for reading.
  if (::geteuid() == 0) {
    const pid_t other = ::fork();
    if (other == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(::open(lockFile.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "nobody could open the lock";
  }

  // A writer of the device that holds the lock and never lets go.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int fd = ::open(lockFile.c_str(), O_RDWR);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], "1", 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  const auto start = std::chrono::steady_clock::now();
  const preferences::WriteResult waited = writeSig(5);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(waited);
  EXPECT_GE(took, std::chrono::seconds(preferences::WritersLock::kWaitSeconds));
  EXPECT_LT(took, std::chrono::seconds(preferences::WritersLock::kWaitSeconds + 3));
  EXPECT_NE(waited.problem.find("process " + std::to_string(holder)), std::string::npos)
      << waited.problem;
  EXPECT_EQ(slurp(file), after);
  const std::string profile = device.root() + "/../profile-" + std::to_string(::getpid());
  std::ofstream(profile) << vyrtest::xmlPlist({{"sig", "<integer>1</integer>"}});
  const vyrtest::RunResult import = vyrtest::runVyr({"--device", device.root(), "import", profile});
  fs::remove(profile);
  EXPECT_EQ(import.exitCode, 1) << import.out << import.err;
  EXPECT_NE(import.err.find("writers' lock"), std::string::npos) << import.err;
  EXPECT_EQ(slurp(file), after);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);

  // A plain file at the lock folder's place: refused loudly, nothing written.
  fs::remove_all(folder);
  std::ofstream(folder) << "planted";
  const preferences::WriteResult planted = writeSig(6);
  EXPECT_FALSE(planted);
  EXPECT_NE(planted.problem.find("locks"), std::string::npos) << planted.problem;
  EXPECT_EQ(slurp(file), after);
  EXPECT_EQ(slurp(folder), "planted");
}

// Writes that cannot be done fail, say why, and leave the settings file exactly as it was.
TEST(HostileFailures, AWriteThatFailsLeavesTheFileAsItWas) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  const std::string before = vyrtest::xmlPlist({{"sig", "<integer>9</integer>"}});
  device.write(kFile, before);
  const auto unchanged = [&] {
    return slurp(file) == before && std::distance(fs::directory_iterator(device.path(kFolder)),
                                                  fs::directory_iterator()) == 1;
  };

  // No descriptors left: the file cannot even be read, and must not be mistaken for garbage.
  {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    const preferences::WriteResult r = writeSig(1);
    for (int fd : held) ::close(fd);
    EXPECT_FALSE(r);
    EXPECT_EQ(r.error, EMFILE) << r.problem;
    EXPECT_TRUE(r.setAside.empty());
    EXPECT_TRUE(unchanged());
  }

  // The folder missing, or not a folder.
  fs::rename(device.path(kFolder), device.path(kFolder) + "-away");
  EXPECT_FALSE(writeSig(2));
  std::ofstream(device.path(kFolder)) << "a file";
  const preferences::WriteResult notFolder = writeSig(2);
  EXPECT_FALSE(notFolder);
  EXPECT_NE(notFolder.problem.find("not a folder"), std::string::npos) << notFolder.problem;
  fs::remove(device.path(kFolder));
  fs::rename(device.path(kFolder) + "-away", device.path(kFolder));
  EXPECT_TRUE(unchanged());

  // A full disk and a read-only file system as the system's calls report them, without root.
  {
    sim::os::Calls calls = sim::os::system();
    sim::os::testing::setCalls(&calls);
    calls.write = [](int, const void*, std::size_t) -> ssize_t {
      errno = ENOSPC;
      return -1;
    };
    const preferences::WriteResult full = writeSig(3);
    calls.write = sim::os::system().write;
    calls.openat = [](int at, const char* path, int flags, mode_t mode) {
      if ((flags & O_CREAT) == 0) return sim::os::system().openat(at, path, flags, mode);
      errno = EROFS;
      return -1;
    };
    const preferences::WriteResult readOnly = writeSig(3);
    sim::os::testing::setCalls(nullptr);
    EXPECT_EQ(full.error, ENOSPC) << full.problem;
    EXPECT_EQ(readOnly.error, EROFS) << readOnly.problem;
    EXPECT_FALSE(full || readOnly);
    EXPECT_TRUE(unchanged());
  }

  // A full disk and a read-only file system: a small file system of its own, mounted in a mount
  // namespace of this test process alone.
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "a full disk and a read-only file system need root (mount namespaces)";
  }
  const std::string folder = device.path(kFolder);
  ASSERT_EQ(::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k"), 0);
  sim::attachDevice(device.root());  // opened again, in this namespace, where the mount is
  device.write(kFile, before);
  std::ofstream(folder + "/filler") << std::string(64 * 1024, 'x');  // fills what is left
  const preferences::WriteResult full = writeSig(3);
  EXPECT_FALSE(full);
  EXPECT_EQ(full.error, ENOSPC) << full.problem;
  EXPECT_EQ(slurp(file), before);
  fs::remove(folder + "/filler");

  ASSERT_EQ(::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  const preferences::WriteResult readOnly = writeSig(3);
  EXPECT_FALSE(readOnly);
  EXPECT_EQ(readOnly.error, EROFS) << readOnly.problem;
  EXPECT_EQ(slurp(file), before);
  ::umount2(folder.c_str(), MNT_DETACH);
}

}  // namespace
