// A device process sealed in its sandbox: a library planted in the device runs in `vyr host`
// but reaches nothing of the machine (files, processes, TCP, unix sockets, the terminal, System V
// IPC, the keyring, packets) and leaves nothing running behind it, VYR's own library works beside
// it, a machine without the sandbox loads only VYR's own code, and a debugger can run the
// device's commands.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/keyctl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_device.hpp"
#include "tests/support/vyr_process.hpp"

namespace vyrtest {
namespace {

namespace fs = std::filesystem;

constexpr char kBattery[] =
    "send UIStatusBarNewUIForegroundStyleAttributes _batteryColorForCapacity:lowCapacity:charging: "
    "0.1 "
    "0.2 YES";
// The preset the settings below choose for the battery (13, red: 59/255 and 48/255), in the
// device's CGFloat: a float printed to 9 digits on 32-bit ARM, a double to 17 elsewhere.
#if defined(__arm__)
constexpr char kRed[] = "[1, 0.23137255, 0.188235298, 1]";
#else
constexpr char kRed[] = "[1, 0.23137254901960785, 0.18823529411764706, 1]";
#endif

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

bool kernelCanConfine() {
  return ::syscall(SYS_landlock_create_ruleset, nullptr, 0U, 1U) >= 6;
}

// Runs `vyr ARGS...` with INPUT on its standard input and a terminal as its standard output and
// error (and its controlling terminal, in a session of its own), to its end; what the terminal
// showed.
std::string runOnTerminal(const std::vector<std::string>& args, const std::string& input) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return "(no terminal)";
  const std::string slave = ::ptsname(master);
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return "(no pipe)";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int tty = ::open(slave.c_str(), O_RDWR);  // the session's controlling terminal
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(tty, STDOUT_FILENO);
    ::dup2(tty, STDERR_FILENO);
    std::vector<std::string> all{vyrBinary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  [[maybe_unused]] const ssize_t written = ::write(in[1], input.data(), input.size());
  ::close(in[1]);
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (char buffer[4096]; std::chrono::steady_clock::now() < deadline;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO: nothing holds the terminal any more
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::waitpid(pid, nullptr, 0);
  ::close(master);
  return out;
}

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = device_.root() + "/device";
    ASSERT_EQ(runVyr({"--device", dir_, "prefs", "set", "bat", "13"}).exitCode, 0);
    fs::copy_file(PLANTED_LIBRARY,
                  dir_ + "/Library/MobileSubstrate/DynamicLibraries/Planted.dylib");
    // A process of the machine, and a loopback port, that the planted library goes after.
    victim_ = ::fork();
    if (victim_ == 0) {
      ::pause();
      ::_exit(0);
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener_, 4), 0);
    ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size), 0);
    // A unix socket listening outside the device, System V shared memory and a key in the
    // user's keyring, all of this user's.
    char folder[] = "/tmp/vyr-listener-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    unixFolder_ = folder;
    unixListener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un named{};
    named.sun_family = AF_UNIX;
    const std::string socketPath = unixFolder_ + "/listener.sock";
    std::strncpy(named.sun_path, socketPath.c_str(), sizeof named.sun_path - 1);
    ASSERT_EQ(::bind(unixListener_, reinterpret_cast<sockaddr*>(&named), sizeof named), 0);
    ASSERT_EQ(::listen(unixListener_, 4), 0);
    shmKey_ = static_cast<key_t>(0x56590000 | (::getpid() & 0xffff));
    shm_ = ::shmget(shmKey_, 4096, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(shm_, 0) << std::strerror(errno);
    key_ = ::syscall(SYS_add_key, "user", "vyr-planted-test", "secret", 6, KEY_SPEC_USER_KEYRING);
    // Readable by every process of this user, possessed or not.
    if (key_ > 0) ::syscall(SYS_keyctl, KEYCTL_SETPERM, key_, 0x3f3f0000);
    // Another device whose SpringBoard runs. Its supervisor's socket is not at the name the
    // device folder's identity gives, but at a random one kept in this user's runtime folder:
    // the library is handed that one all the same, as a process outside any sandbox could read it.
    other_ = std::make_unique<VyrProcess>(
        std::vector<std::string>{"--device", otherDevice_.root() + "/device", "host"});
    ASSERT_TRUE(other_->ask("hooks").has_value()) << other_->errors();
    struct stat id {};
    ASSERT_EQ(::stat((otherDevice_.root() + "/device").c_str(), &id), 0);
    const std::string runtime = std::string(::getpwuid(::geteuid())->pw_dir) + "/.local/state/vyr/";
    const std::string key = std::to_string(id.st_dev) + "-" + std::to_string(id.st_ino);
    EXPECT_FALSE(fs::exists(runtime + key + ".sock"));
    std::ifstream nameFile(runtime + key + ".name");
    std::string socketName;
    ASSERT_TRUE(std::getline(nameFile, socketName)) << runtime + key + ".name";
    const std::string supervisor = runtime + socketName + ".sock";
    ASSERT_TRUE(fs::exists(supervisor)) << supervisor;
    const std::vector<std::pair<std::string, std::string>> targets{
        {"PLANTED_OUTSIDE", outside_.path()},
        {"PLANTED_PID", std::to_string(victim_)},
        {"PLANTED_PORT", std::to_string(ntohs(at.sin_port))},
        {"PLANTED_UNIX", socketPath},
        {"PLANTED_SHM", std::to_string(shmKey_)},
        {"PLANTED_KEY", std::to_string(key_)},
        {"PLANTED_SUPERVISOR", supervisor}};
    // A device process gets none of the environment: it reads the same from the device.
    std::ofstream conf(dir_ + "/planted.conf");
    for (const auto& [name, value] : targets) {
      ::setenv(name.c_str(), value.c_str(), 1);
      conf << name << "=" << value << "\n";
    }
  }
  void TearDown() override {
    for (const char* name : {"PLANTED_OUTSIDE", "PLANTED_PID", "PLANTED_PORT", "PLANTED_UNIX",
                             "PLANTED_SHM", "PLANTED_KEY", "PLANTED_SUPERVISOR", "VYR_SIM_CONFINE"})
      ::unsetenv(name);
    if (unixListener_ >= 0) ::close(unixListener_);
    if (!unixFolder_.empty()) fs::remove_all(unixFolder_);
    if (shm_ >= 0) ::shmctl(shm_, IPC_RMID, nullptr);
    if (key_ > 0) ::syscall(SYS_keyctl, KEYCTL_INVALIDATE, key_);
    if (victim_ > 0) {
      ::kill(victim_, SIGKILL);
      ::waitpid(victim_, nullptr, 0);
    }
    if (listener_ >= 0) ::close(listener_);
  }
  // Nothing of the machine was reached: the outside folder as it was, the victim alive, no
  // connection waiting.
  void expectMachineUntouched() {
    EXPECT_TRUE(outside_.intact());
    EXPECT_EQ(::waitpid(victim_, nullptr, WNOHANG), 0) << "the machine's process was signalled";
    pollfd p{listener_, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the planted library connected to the loopback port";
    pollfd u{unixListener_, POLLIN, 0};
    EXPECT_EQ(::poll(&u, 1, 0), 0) << "the planted library connected to the unix socket";
    // What it left behind holds planted.lock while it runs: it must have ended with the command.
    const int lock = ::open((dir_ + "/planted.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    bool free = false;
    for (int i = 0; i < 50 && !free; ++i) {
      free = ::flock(lock, LOCK_EX | LOCK_NB) == 0;
      if (!free) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::close(lock);
    EXPECT_TRUE(free) << "a process the planted library left behind outlived the command";
    EXPECT_TRUE(other_->ask("hooks").has_value()) << "another device's SpringBoard was killed";
  }

  TempDevice device_;
  // Runs `vyr host` on the device: VYR's own library answers the hooked battery colour and the
  // host ends cleanly. Returns what it said on standard error.
  std::string runHost() {
    VyrProcess host({"--device", dir_, "host"});
    const auto answer = host.ask(kBattery);
    EXPECT_EQ(
        answer.value_or("(no answer)"),
        std::string("{\"result\": ") + kRed + ", \"host\": null, \"colour\": \"#FF3B30:1.000000\"}")
        << host.errors();
    host.closeInput();
    EXPECT_EQ(host.wait(), 0);
    return host.errors();
  }

  OutsideFolder outside_;
  std::string dir_;
  pid_t victim_ = -1;
  int listener_ = -1;
  TempDevice otherDevice_;
  std::unique_ptr<VyrProcess> other_;
  std::string unixFolder_;
  int unixListener_ = -1;
  key_t shmKey_ = 0;
  int shm_ = -1;
  long key_ = -1;
};

TEST_F(Confinement, APlantedLibraryRunsConfinedWhileVyrsOwnWorks) {
  const std::string err = runHost();
  EXPECT_EQ(count(err, "DONE"), 0) << err;
  // Where the kernel cannot confine, or no sandbox can be made (it says so), the library is not
  // even loaded (see the case below).
  const bool loads =
      kernelCanConfine() && err.find("run without their sandbox") == std::string::npos;
  if (loads) {
    EXPECT_EQ(count(err, "planted: "), 12) << err;
    // What it printed on standard output, the answer's form included, is not the answer (which
    // runHost checked): it shows among the diagnostics.
    EXPECT_EQ(count(err, "#00FF00:1.000000"), 1) << err;
  }
  expectMachineUntouched();
  // Run from a terminal, as a user runs it: the device process holds none of it.
  const std::string shown = runOnTerminal({"--device", dir_, "host"}, std::string(kBattery) + "\n");
  EXPECT_NE(shown.find(kRed), std::string::npos) << shown;
  EXPECT_EQ(count(shown, "DONE"), 0) << shown;
  if (loads) {
    EXPECT_NE(shown.find("planted: tiocsti refused"), std::string::npos) << shown;
  }
  expectMachineUntouched();
}

// A library of the device can write to the socket on which the SpringBoard talks to `vyr show`:
// a line with no end, a line whose type is a number, a scene of the wrong shape are each dropped
// with one line, and the show goes on; a SpringBoard that keeps sending them is ended and started
// again, and in the end not started again, while `vyr show` itself ends on its own terms. A
// library that ends `vyr host`'s process before its work does not make the command succeed.
TEST_F(Confinement, AChildThatFloodsOrSendsWrongTypedMessagesEndsNotTheFrontEnd) {
  const std::string probe = runHost();
  if (!kernelCanConfine() || probe.find("run without their sandbox") != std::string::npos) {
    GTEST_SKIP() << "no sandbox here: the planted library is not loaded";
  }
  const auto plant = [&](const char* how) {
    std::ofstream conf(dir_ + "/planted.conf", std::ios::app);
    conf << "PLANTED_PROTOCOL=" << how << "\n";
  };
  plant("flood");
  const RunResult shown = runVyr({"--device", dir_, "show", "--no-picture"});
  EXPECT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_NE(shown.out.find("VYR"), std::string::npos) << shown.out;
  EXPECT_EQ(count(shown.err, "dropped: a line longer than 1048576 bytes"), 1) << shown.err;
  EXPECT_EQ(count(shown.err, "dropped: no string \"type\""), 1) << shown.err;
  EXPECT_EQ(count(shown.err, "dropped: a scene message of the wrong shape"), 1) << shown.err;
  EXPECT_EQ(count(shown.err, "started again"), 0) << shown.err;

  plant("many");
  const RunResult many = runVyr({"--device", dir_, "show", "--no-picture"});
  EXPECT_EQ(many.exitCode, 1) << many.err;
  EXPECT_EQ(count(many.err, "it is ended and started again"), 2) << many.err;
  EXPECT_NE(many.err.find("it is not started again"), std::string::npos) << many.err;
  EXPECT_EQ(count(many.err, "DONE"), 0) << many.err;

  // A process that ends well before it did its work has not succeeded.
  plant("exit");
  const RunResult ended = runVyr({"--device", dir_, "host"}, "hooks\n");
  EXPECT_EQ(ended.exitCode, 1) << ended.err;
  EXPECT_EQ(ended.out, "");
  EXPECT_NE(ended.err.find("before its command finished"), std::string::npos) << ended.err;
  expectMachineUntouched();
}

TEST_F(Confinement, WithoutTheKernelOnlyVyrsOwnCodeIsLoaded) {
  ::setenv("VYR_SIM_CONFINE", "identical-only", 1);
  const std::string err = runHost();
  EXPECT_EQ(count(err, "planted: "), 0) << err;
  // One line, which names the library and says why.
  EXPECT_EQ(count(err, "Planted.dylib"), 1) << err;
  EXPECT_EQ(count(err, "refused"), 1) << err;
  EXPECT_NE(err.find("Planted.dylib refused"), std::string::npos) << err;
  EXPECT_NE(err.find("VYR_SIM_CONFINE"), std::string::npos) << err;
  // The Settings app loads its own identical pane all the same.
  const RunResult prefs = runVyr({"--device", dir_, "prefs", "get", "bat"});
  EXPECT_EQ(prefs.exitCode, 0) << prefs.err;
  EXPECT_EQ(prefs.out, "Red\n");
  expectMachineUntouched();
}

// gdb opens every loaded image by its name: a library loaded as /proc/self/fd/N is a pipe of
// gdb's own under that name, and gdb waits on it for good. A debugger cannot follow a device
// process into its sandbox: with the sandbox turned off, the command does its device's work in
// its own process, and loads the build's copy of the pane, by its real name.
TEST(Debugger, RunsTheSettingsAppToItsEndAndNamesTheRealFiles) {
  const auto gdb = [](const std::string& args) {
    std::string out;
    // LeakSanitizer cannot work under ptrace: a sanitizer build runs without it here.
    const std::string command =
        "ASAN_OPTIONS=\"${ASAN_OPTIONS}:detect_leaks=0\" VYR_SIM_CONFINE=identical-only "
        "timeout 120 gdb "
        "-nx -batch " +
        args + " </dev/null 2>&1";
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
      char buf[4096];
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
      ::pclose(p);
    }
    return out;
  };
  if (gdb("-ex run --args /bin/true").find("exited normally") == std::string::npos) {
    GTEST_SKIP() << "gdb cannot run a program here (no gdb, or ptrace is not permitted)";
  }
  TempDevice device;
  const std::string dir = device.root() + "/device";
  const std::string out =
      gdb("-ex 'catch load VYR.bundle' -ex run -ex bt -ex 'info sharedlibrary' -ex continue "
          "--args " +
          vyrBinary() + " --device " + dir + " prefs get txt");
  EXPECT_NE(out.find("exited normally"), std::string::npos) << out;
  EXPECT_NE(
      out.find(fs::canonical(fs::path(vyrBinary()).parent_path()).string() + "/VYR.bundle/VYR"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("sim::loadLibrary"), std::string::npos) << out;
  EXPECT_EQ(out.find("/proc/self/fd/"), std::string::npos) << out;
}

}  // namespace
}  // namespace vyrtest
