#include "device/processes.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "device/device.hpp"
#include "tests/support/temp_device.hpp"

namespace {

namespace fs = std::filesystem;

// A child process of the test that plays a device process until it is signalled. The destructor
// makes sure it is gone.
class Child {
 public:
  // Registers as NAME when REGISTER is true; otherwise only runs.
  explicit Child(const char* name, bool registerIt = true) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      const char ok = (!registerIt || sim::registerProcess(name)) ? '1' : '0';
      if (::write(ready[1], &ok, 1) != 1) ::_exit(3);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char ok = '0';
    registered_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == '1';
    ::close(ready[0]);
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool ready() const { return registered_; }

  // The signal that ended the child, waiting up to two seconds; 0 when it still runs.
  int endedBy() {
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }
  bool stillRuns() {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }

 private:
  pid_t pid_ = -1;
  bool registered_ = false;
  bool reaped_ = false;
};

std::vector<std::string> runningNames() {
  std::vector<std::string> names;
  for (const auto& p : sim::runningProcesses()) names.push_back(p.name);
  return names;
}

unsigned long long startTimeOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return std::stoull(field);
}

TEST(DeviceProcesses, RespringEndsEveryRegisteredProcessWithTheGivenSignal) {
  vyrtest::TempDevice device;
  Child springBoard("SpringBoard"), settings("Preferences");
  ASSERT_TRUE(springBoard.ready());
  ASSERT_TRUE(settings.ready());
  std::vector<std::string> names = runningNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Preferences", "SpringBoard"}));

  // backboardd itself plus the two user-interface processes.
  EXPECT_EQ(sim::killall("backboardd"), 3);
  EXPECT_EQ(springBoard.endedBy(), SIGTERM);
  EXPECT_EQ(settings.endedBy(), SIGTERM);
  // Their entries go with them.
  EXPECT_TRUE(sim::runningProcesses().empty());

  Child again("SpringBoard");
  ASSERT_TRUE(again.ready());
  EXPECT_EQ(sim::killall("backboardd", SIGKILL), 2);
  EXPECT_EQ(again.endedBy(), SIGKILL);

  // With nothing registered backboardd is still there to be ended.
  EXPECT_EQ(sim::killall("backboardd"), 1);
}

TEST(DeviceProcesses, KillallSignalsOnlyMatchingProcessesAndDaemonsAreVirtual) {
  vyrtest::TempDevice device;
  Child springBoard("SpringBoard"), settings("Preferences");
  ASSERT_TRUE(springBoard.ready());
  ASSERT_TRUE(settings.ready());

  EXPECT_EQ(sim::killall("NoSuchProcess"), 0);
  EXPECT_EQ(sim::killall("springboard"), 0);  // names are exact, as on the device
  EXPECT_EQ(sim::killall("lsd", SIGKILL), 1);
  // Signals that do not end a process leave the user interface alone.
  EXPECT_EQ(sim::killall("backboardd", SIGCONT), 1);
  EXPECT_EQ(sim::killall("backboardd", 0), 1);
  EXPECT_EQ(sim::killall("SpringBoard", -1), 0);
  EXPECT_EQ(sim::killall("SpringBoard", 1000), 0);
  EXPECT_TRUE(springBoard.stillRuns());
  EXPECT_TRUE(settings.stillRuns());

  EXPECT_EQ(sim::killall("SpringBoard", 0), 1);  // signal 0 only counts
  EXPECT_TRUE(springBoard.stillRuns());
  EXPECT_EQ(sim::killall("SpringBoard", SIGHUP), 1);
  EXPECT_EQ(springBoard.endedBy(), SIGHUP);
  EXPECT_TRUE(settings.stillRuns());
  EXPECT_EQ(runningNames(), std::vector<std::string>{"Preferences"});
}

TEST(DeviceProcesses, StaleAndForgedEntriesAreNeverSignalled) {
  vyrtest::TempDevice device;
  const std::string table = sim::simFolder() + "/proc";
  fs::create_directories(table);

  // A live machine process whose pid an old entry happens to name, with another start time.
  Child stranger("unused", false);
  ASSERT_TRUE(stranger.ready());
  const unsigned long long realStart = startTimeOf(stranger.pid());
  const std::string reused =
      table + "/" + std::to_string(stranger.pid()) + "-" + std::to_string(realStart + 1);
  std::ofstream(reused) << "SpringBoard\n";
  // An entry of a process that has ended.
  Child gone("unused", false);
  const pid_t deadPid = gone.pid();
  ::kill(deadPid, SIGKILL);
  ASSERT_EQ(gone.endedBy(), SIGKILL);
  const std::string dead = table + "/" + std::to_string(deadPid) + "-1";
  std::ofstream(dead) << "SpringBoard\n";
  // Entries that would make kill() reach process groups or init. Probed with signal 0 only.
  std::ofstream(table + "/0-0") << "SpringBoard\n";
  std::ofstream(table + "/1-" + std::to_string(startTimeOf(1))) << "SpringBoard\n";
  std::ofstream(table + "/-1-0") << "SpringBoard\n";

  EXPECT_EQ(sim::killall("SpringBoard", 0), 0);
  EXPECT_EQ(sim::killall("SpringBoard"), 0);
  EXPECT_EQ(sim::killall("backboardd"), 1);
  EXPECT_TRUE(stranger.stillRuns());
  EXPECT_TRUE(sim::runningProcesses().empty());
  EXPECT_FALSE(fs::exists(reused));
  EXPECT_FALSE(fs::exists(dead));

  // The same pid with its true start time is a registered process.
  std::ofstream(table + "/" + std::to_string(stranger.pid()) + "-" + std::to_string(realStart))
      << "SpringBoard\n";
  EXPECT_EQ(sim::killall("SpringBoard"), 1);
  EXPECT_EQ(stranger.endedBy(), SIGTERM);
}

TEST(DeviceProcesses, RegistrationRulesAndRemovalAtExit) {
  vyrtest::TempDevice device;
  EXPECT_FALSE(sim::registerProcess(""));
  EXPECT_FALSE(sim::registerProcess("lsd"));
  EXPECT_FALSE(sim::registerProcess("backboardd"));
  EXPECT_FALSE(sim::registerProcess("Spring\nBoard"));
  EXPECT_TRUE(sim::runningProcesses().empty());

  // This process: listed, renamed by a second call, and never signalled by its own killall.
  ASSERT_TRUE(sim::registerProcess("SpringBoard"));
  ASSERT_TRUE(sim::registerProcess("Preferences"));
  ASSERT_EQ(sim::runningProcesses().size(), 1u);
  EXPECT_EQ(sim::runningProcesses()[0].pid, ::getpid());
  EXPECT_EQ(sim::runningProcesses()[0].name, "Preferences");
  EXPECT_EQ(sim::killall("Preferences"), 0);
  EXPECT_EQ(sim::killall("backboardd"), 1);

  // A child that registers and exits normally takes its entry along; a child that inherited this
  // process's entry leaves it alone when it exits.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(sim::registerProcess("MobileSafari") ? 0 : 1);
  const pid_t exiting = ::fork();
  if (exiting == 0) {
    const bool ok = sim::registerProcess("MobileMail") && sim::runningProcesses().size() >= 2;
    std::exit(ok ? 0 : 1);
  }
  const pid_t inheritor = ::fork();
  if (inheritor == 0) std::exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(::waitpid(exiting, &status, 0), exiting);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(::waitpid(inheritor, &status, 0), inheritor);
  // The _exit child left a stale entry, dropped on reading; the exit() child removed its own.
  EXPECT_EQ(runningNames(), std::vector<std::string>{"Preferences"});
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(sim::simFolder() + "/proc")) ++files;
  EXPECT_EQ(files, 1u);
}

TEST(DeviceProcesses, NoDeviceMeansNoTable) {
  sim::attachDevice("");
  EXPECT_FALSE(sim::registerProcess("SpringBoard"));
  EXPECT_TRUE(sim::runningProcesses().empty());
  EXPECT_EQ(sim::killall("SpringBoard"), 0);
}

}  // namespace
