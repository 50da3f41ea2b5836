#include "device/processes.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "device/device.hpp"
#include "device/tests/child_process.hpp"
#include "tests/support/temp_device.hpp"

namespace {

namespace fs = std::filesystem;
using vyrtest::DeviceChild;

std::vector<std::string> runningNames() {
  std::vector<std::string> names;
  for (const auto& p : sim::runningProcesses()) names.push_back(p.name);
  return names;
}

unsigned long long startTimeOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return std::stoull(field);
}

TEST(DeviceProcesses, KillallBackboarddEndsEveryRegisteredProcessWithTheGivenSignal) {
  vyrtest::TempDevice device;
  DeviceChild springBoard("SpringBoard"), settings("Preferences");
  ASSERT_TRUE(springBoard.ready() && settings.ready());
  EXPECT_EQ(runningNames().size(), 2u);

  EXPECT_EQ(sim::killall("backboardd"), 3);  // backboardd itself and the two
  EXPECT_EQ(springBoard.endedBy(), SIGTERM);
  EXPECT_EQ(settings.endedBy(), SIGTERM);
  EXPECT_TRUE(sim::runningProcesses().empty());

  DeviceChild again("SpringBoard");
  ASSERT_TRUE(again.ready());
  EXPECT_EQ(sim::killall("backboardd", SIGCONT), 1);  // does not end a process: nothing follows
  EXPECT_TRUE(again.runs());
  EXPECT_EQ(sim::killall("backboardd", SIGKILL), 2);
  EXPECT_EQ(again.endedBy(), SIGKILL);
  EXPECT_EQ(sim::killall("backboardd"), 1);
}

TEST(DeviceProcesses, KillallSignalsOnlyProcessesOfThatName) {
  vyrtest::TempDevice device;
  DeviceChild springBoard("SpringBoard"), settings("Preferences");
  ASSERT_TRUE(springBoard.ready() && settings.ready());
  EXPECT_EQ(sim::killall("NoSuchProcess"), 0);
  EXPECT_EQ(sim::killall("springboard"), 0);
  EXPECT_EQ(sim::killall("lsd", SIGKILL), 1);  // restarted by launchd: nothing to see
  EXPECT_EQ(sim::killall("SpringBoard", -1), 0);
  EXPECT_EQ(sim::killall("SpringBoard", 0), 1);  // only counts
  EXPECT_TRUE(springBoard.runs() && settings.runs());
  EXPECT_EQ(sim::killall("SpringBoard", SIGHUP), 1);
  EXPECT_EQ(springBoard.endedBy(), SIGHUP);
  EXPECT_TRUE(settings.runs());
  EXPECT_EQ(runningNames(), std::vector<std::string>{"Preferences"});
}

TEST(DeviceProcesses, StaleAndForgedEntriesAreNeverSignalled) {
  vyrtest::TempDevice device;
  const std::string table = sim::simFolder() + "/proc/";
  fs::create_directories(table);
  // A machine process whose pid an old entry names, with another start time: a reused pid.
  DeviceChild stranger(nullptr);
  ASSERT_TRUE(stranger.ready());
  const std::string pid = std::to_string(stranger.pid());
  const unsigned long long start = startTimeOf(stranger.pid());
  std::ofstream(table + pid + "-" + std::to_string(start + 1)) << "SpringBoard\n";
  // Entries that would make kill() reach a process group, every process, or init (probed with
  // signal 0 only).
  for (const std::string& forged :
       {std::string("0-0"), std::string("-1-0"), "1-" + std::to_string(startTimeOf(1))}) {
    std::ofstream(table + forged) << "SpringBoard\n";
  }

  EXPECT_EQ(sim::killall("SpringBoard", 0), 0);
  EXPECT_EQ(sim::killall("SpringBoard"), 0);
  EXPECT_EQ(sim::killall("backboardd"), 1);
  EXPECT_TRUE(stranger.runs());
  EXPECT_FALSE(fs::exists(table + pid + "-" + std::to_string(start + 1)));  // dropped

  // Nor does an entry that names the stranger exactly: a file proves nothing, only the lock its
  // own process holds does.
  std::ofstream(table + pid + "-" + std::to_string(start)) << "SpringBoard\n";
  EXPECT_EQ(sim::killall("SpringBoard"), 0);
  EXPECT_EQ(sim::killall("backboardd", SIGKILL), 1);
  EXPECT_TRUE(stranger.runs());

  // A machine process that holds a lock on a file of its own: linked into the table, its lock
  // would say "registered". An entry with a second name proves nothing.
  const std::string own = device.root() + "/locked-by-stranger";
  std::ofstream(own) << "SpringBoard\n";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t locker = ::fork();
  if (locker == 0) {
    const int fd = ::open(own.c_str(), O_RDWR);
    struct flock hold {};
    hold.l_type = F_WRLCK;
    const char ok = fd >= 0 && ::fcntl(fd, F_SETLK, &hold) == 0 ? '1' : '0';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(3);
    for (;;) ::pause();
  }
  char ok = '0';
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  fs::create_hard_link(own, table + std::to_string(locker) + "-1");
  EXPECT_EQ(sim::killall("backboardd", SIGKILL), 1);
  int status = 0;
  EXPECT_EQ(::waitpid(locker, &status, WNOHANG), 0) << "the stranger was signalled";
  ::kill(locker, SIGKILL);
  ::waitpid(locker, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(DeviceProcesses, RegistrationRulesAndRemovalAtExit) {
  vyrtest::TempDevice device;
  for (const char* refused : {"", "lsd", "backboardd", "Spring\nBoard"}) {
    EXPECT_FALSE(sim::registerProcess(refused)) << refused;
  }
  // This process: renamed by a second call, and never signalled by its own killall.
  ASSERT_TRUE(sim::registerProcess("SpringBoard"));
  ASSERT_TRUE(sim::registerProcess("Preferences"));
  EXPECT_EQ(runningNames(), std::vector<std::string>{"Preferences"});
  EXPECT_EQ(sim::killall("Preferences"), 0);

  // A child that registers and exits takes its entry along; one that only inherited this
  // process's entry leaves it.
  const pid_t registered = ::fork();
  if (registered == 0) std::exit(sim::registerProcess("MobileMail") ? 0 : 1);
  const pid_t inheritor = ::fork();
  if (inheritor == 0) std::exit(0);
  int status = 1;
  ASSERT_EQ(::waitpid(registered, &status, 0), registered);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(::waitpid(inheritor, nullptr, 0), inheritor);
  EXPECT_EQ(std::distance(fs::directory_iterator(sim::simFolder() + "/proc"), {}), 1);

  sim::attachDevice("");
  EXPECT_FALSE(sim::registerProcess("SpringBoard"));
  EXPECT_EQ(sim::killall("SpringBoard"), 0);
}

}  // namespace
