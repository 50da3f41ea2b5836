#include "device/processes.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "device/device.hpp"
#include "device/launchd.hpp"
#include "device/tests/child_process.hpp"
#include "tests/support/temp_device.hpp"

namespace {

namespace fs = std::filesystem;
using vyrtest::DeviceChild;

// The supervisor lists and signals only for a process of the device: the test joins as one, and
// leaves itself out of what it lists.
bool joinAsDriver() {
  return sim::registerProcess("TestDriver");
}

std::vector<std::string> runningNames(bool withThisProcess = false) {
  std::vector<std::string> names;
  for (const auto& p : sim::runningProcesses()) {
    if (withThisProcess || p.pid != ::getpid()) names.push_back(p.name);
  }
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
  ASSERT_TRUE(joinAsDriver());
  DeviceChild springBoard("SpringBoard"), settings("Preferences");
  ASSERT_TRUE(springBoard.ready() && settings.ready());
  EXPECT_EQ(runningNames().size(), 2u);

  EXPECT_EQ(sim::killall("backboardd"), 3);  // backboardd itself and the two
  EXPECT_EQ(springBoard.endedBy(), SIGTERM);
  EXPECT_EQ(settings.endedBy(), SIGTERM);
  EXPECT_TRUE(runningNames().empty());

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
  ASSERT_TRUE(joinAsDriver());
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

// Files under the simulator's folder that look like a process table (the shape an older table had),
// naming a live machine process exactly or forged: none makes anything be signalled.
TEST(DeviceProcesses, StaleAndForgedEntriesAreNeverSignalled) {
  vyrtest::TempDevice device;
  ASSERT_TRUE(joinAsDriver());
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
  // Nothing reads such a folder: the entry is neither used nor touched.
  EXPECT_TRUE(fs::exists(table + pid + "-" + std::to_string(start + 1)));

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
  // Names are printed (the respring's report): no control of C0 or C1 (CSI as U+009B), and
  // valid UTF-8 only (a stray byte, an overlong '.', a surrogate, a cut sequence).
  for (const char* refused : {"", "lsd", "backboardd", "Spring\nBoard",
                              "Spring\xc2\x9b"
                              "2J",
                              "\xff", "\xc0\xae", "\xed\xa0\x80", "Spring\xe2\x80"}) {
    EXPECT_FALSE(sim::registerProcess(refused)) << refused;
  }
  ASSERT_TRUE(sim::registerProcess("R\xc3\xa9glages"));
  // This process: renamed by a second call, and never signalled by its own killall.
  ASSERT_TRUE(sim::registerProcess("SpringBoard"));
  ASSERT_TRUE(sim::registerProcess("Preferences"));
  EXPECT_EQ(runningNames(true), std::vector<std::string>{"Preferences"});
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
  EXPECT_EQ(runningNames(true), std::vector<std::string>{"Preferences"});

  // The socket's name is random, kept in a file only this user can read: the name the device
  // folder's identity would give leads nowhere.
  std::string runtime;
  const sim::Fd folder = sim::launchd::openRuntimeFolder(false, &runtime);
  ASSERT_TRUE(folder) << runtime;
  const std::string key = sim::launchd::deviceKey();
  const auto connectTo = [&](const std::string& name) {
    sim::Fd s(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::strncpy(to.sun_path, sim::launchd::socketPath(folder.get(), name).c_str(),
                 sizeof to.sun_path - 1);
    if (!s || ::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
      return sim::Fd();
    return s;
  };
  const auto ask = [](const sim::Fd& s, std::string_view request) {
    char answer[256] = {};
    pollfd p{s.get(), POLLIN, 0};
    if (::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()) ||
        ::poll(&p, 1, 2000) != 1 || ::recv(s.get(), answer, sizeof answer - 1, 0) <= 0) {
      return std::string();
    }
    return std::string(answer);
  };
  EXPECT_FALSE(connectTo(key + ".sock"));
  const std::optional<std::string> name = sim::launchd::socketName(folder.get(), key);
  ASSERT_TRUE(name);
  EXPECT_EQ(name->find(key), std::string::npos);
  struct stat nameFile {};
  ASSERT_EQ(::fstatat(folder.get(), (key + ".name").c_str(), &nameFile, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_EQ(nameFile.st_mode & 0777, 0600u);

  // A connection that has not joined the device may neither list nor signal its processes.
  DeviceChild mail("MobileMail");
  ASSERT_TRUE(mail.ready());
  const sim::Fd outsider = connectTo(*name);
  ASSERT_TRUE(outsider);
  EXPECT_EQ(ask(outsider, "control"), "ok");
  for (const char* request : {"list", "killall 9\tMobileMail", "started 0"}) {
    EXPECT_EQ(ask(outsider, request).rfind("refused", 0), 0u) << request;
  }
  EXPECT_TRUE(mail.runs());
  // Nor does a process that has not joined ask through a connection of its own.
  const pid_t unjoined = ::fork();
  if (unjoined == 0) {
    ::_exit(sim::killall("MobileMail", SIGKILL) == 0 && sim::runningProcesses().empty() ? 0 : 1);
  }
  ASSERT_EQ(::waitpid(unjoined, &status, 0), unjoined);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(mail.runs());

  // One process holds only a few connections at once: a loop of them (this one already holds
  // its own, and the one above) leaves the table to the others, and another process still joins.
  std::vector<sim::Fd> flood;
  int answered = 0;
  for (int i = 0; i < 32; ++i) {
    sim::Fd s = connectTo(*name);
    if (!s) continue;
    if (ask(s, "control") == "ok") ++answered;
    flood.push_back(std::move(s));
  }
  EXPECT_GT(answered, 0);
  EXPECT_LT(answered, 7);
  DeviceChild another("MobileMail");
  EXPECT_TRUE(another.ready());
  flood.clear();

  sim::attachDevice("");
  EXPECT_FALSE(sim::registerProcess("SpringBoard"));
  EXPECT_EQ(sim::killall("SpringBoard"), 0);
}

// A registered process ends while a clone(CLONE_FILES) sibling keeps its descriptor table, and so
// its connection to the supervisor, alive: once the kernel hands the dead process's pid to another
// process, a pid taken from a lock or a table would name that one. The supervisor signals through
// the pidfd it took when the process joined, so nothing but that process is ever reached: not the
// sibling, not an unrelated process.
TEST(DeviceProcesses, AnEndedProcessIsNeverSignalledThroughWhatOutlivesIt) {
  vyrtest::TempDevice device;
  DeviceChild unrelated(nullptr);
  ASSERT_TRUE(unrelated.ready());
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t registrant = ::fork();
  if (registrant == 0) {
    if (!sim::registerProcess("SpringBoard")) ::_exit(2);
    static char stack[64 * 1024];
    const int sibling = ::clone(
        [](void*) -> int {
          for (;;) ::pause();
        },
        stack + sizeof stack, CLONE_FILES | SIGCHLD, nullptr);
    if (sibling <= 0 || ::write(report[1], &sibling, sizeof sibling) != sizeof sibling) ::_exit(3);
    ::_exit(0);  // the connection stays open in the sibling's (shared) descriptor table
  }
  ::close(report[1]);
  pid_t sibling = -1;
  ASSERT_EQ(::read(report[0], &sibling, sizeof sibling), static_cast<ssize_t>(sizeof sibling));
  ::close(report[0]);
  int status = -1;
  ASSERT_EQ(::waitpid(registrant, &status, 0), registrant);
  ASSERT_EQ(status, 0);

  ASSERT_TRUE(joinAsDriver());
  EXPECT_TRUE(runningNames().empty());
  EXPECT_EQ(sim::killall("SpringBoard", 0), 0);
  EXPECT_EQ(sim::killall("SpringBoard", SIGKILL), 0);
  EXPECT_EQ(sim::killall("backboardd", SIGKILL), 1);
  EXPECT_EQ(::kill(sibling, 0), 0) << "the sibling that kept the connection was signalled";
  EXPECT_TRUE(unrelated.runs());
  ::kill(sibling, SIGKILL);

  // A process that joins afterwards is known and reached as itself.
  DeviceChild next("SpringBoard");
  ASSERT_TRUE(next.ready());
  const sim::Killed killed = sim::killallReport("backboardd");
  EXPECT_EQ(killed.count, 2);
  ASSERT_EQ(killed.signalled.size(), 1u);
  EXPECT_EQ(killed.signalled[0].pid, next.pid());
  EXPECT_EQ(next.endedBy(), SIGTERM);
  EXPECT_TRUE(unrelated.runs());
}

}  // namespace
