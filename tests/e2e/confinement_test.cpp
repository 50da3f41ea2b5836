// A device process confined to its device: a library planted in the device runs in `vyr host`
// but reaches nothing of the machine, VYR's own library works beside it, a machine without the
// kernel's confinement loads only VYR's own code, and a debugger can run the device's commands.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

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
    ::setenv("PLANTED_OUTSIDE", outside_.path().c_str(), 1);
    ::setenv("PLANTED_PID", std::to_string(victim_).c_str(), 1);
    ::setenv("PLANTED_PORT", std::to_string(ntohs(at.sin_port)).c_str(), 1);
  }
  void TearDown() override {
    for (const char* name : {"PLANTED_OUTSIDE", "PLANTED_PID", "PLANTED_PORT", "VYR_SIM_CONFINE"})
      ::unsetenv(name);
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
};

TEST_F(Confinement, APlantedLibraryRunsConfinedWhileVyrsOwnWorks) {
  const std::string err = runHost();
  EXPECT_EQ(count(err, "DONE"), 0) << err;
  // Where the kernel cannot confine, the library is not even loaded (see the case below).
  if (kernelCanConfine()) {
    EXPECT_EQ(count(err, "planted: "), 6) << err;
  }
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
// gdb's own under that name, and gdb waits on it for good.
TEST(Debugger, RunsTheSettingsAppToItsEndAndNamesTheRealFiles) {
  const auto gdb = [](const std::string& args) {
    std::string out;
    // LeakSanitizer cannot work under ptrace: a sanitizer build runs without it here.
    const std::string command =
        "ASAN_OPTIONS=\"${ASAN_OPTIONS}:detect_leaks=0\" timeout 120 gdb "
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
  EXPECT_NE(out.find(fs::canonical(dir).string() + "/Library/PreferenceBundles/VYR.bundle/VYR"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("sim::loadLibrary"), std::string::npos) << out;
  EXPECT_EQ(out.find("/proc/self/fd/"), std::string::npos) << out;
}

}  // namespace
}  // namespace vyrtest
