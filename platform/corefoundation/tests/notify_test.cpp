#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "tests/support/temp_device.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int32_t kTimedOut = 3;
constexpr int32_t kHandledSource = 4;
constexpr int32_t kFinished = 1;

// The helper program as another process of the device in ROOT, its standard output readable.
class Helper {
 public:
  Helper(const std::string& root, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) return;
    std::vector<std::string> env{"VYR_DEVICE_ROOT=" + root};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "VYR_DEVICE_ROOT=", 16) != 0) env.emplace_back(*e);
    }
    std::vector<std::string> argv{CF_NOTIFY_HELPER};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp, envp;
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, CF_NOTIFY_HELPER, &actions, nullptr, argp.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~Helper() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // The next line of output, or "" after five seconds or at its end.
  std::string readLine() {
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    char c = 0;
    while (Clock::now() < deadline) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (::read(out_, &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    return line;
  }
  // The exit status, or -1 when it did not exit normally.
  int wait() {
    int status = 0;
    const pid_t pid = pid_;
    pid_ = -1;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

CFStringRef str(const std::string& text) {
  return __CFStringMakeConstantString(text.c_str());
}

// What an observer saw. Observers stay registered for the life of the process, so every Seen
// lives as long (static storage in each test).
struct Seen {
  int calls = 0;
  CFNotificationCenterRef center = nullptr;
  CFStringRef name = nullptr;
  const void* object = &calls;  // not null, so that a null delivery shows
  CFDictionaryRef userInfo = reinterpret_cast<CFDictionaryRef>(&calls);
};

void record(CFNotificationCenterRef center, void* observer, CFStringRef name, const void* object,
            CFDictionaryRef userInfo) {
  Seen& seen = *static_cast<Seen*>(observer);
  ++seen.calls;
  seen.center = center;
  seen.name = name;
  seen.object = object;
  seen.userInfo = userInfo;
}

void observe(Seen& seen, const std::string& name, CFNotificationCallback callback = &record) {
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &seen, callback,
                                  str(name), nullptr, CFNotificationSuspensionBehaviorCoalesce);
}

void post(const std::string& name) {
  CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(), str(name),
                                       nullptr, nullptr, 1);
}

TEST(DarwinNotifications, PostsReachObserversInOtherProcessesOfTheDevice) {
  vyrtest::TempDevice device;
  const std::string name = "com.belvorin.VYR/settingschanged";

  // Another process posts; this one delivers when it runs its loop.
  static Seen here;
  observe(here, name);
  Helper poster(device.root(), {"post", name});
  ASSERT_EQ(poster.wait(), 0);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5.0, 1), kHandledSource);
  EXPECT_EQ(here.calls, 1);
  EXPECT_EQ(here.name, str(name));
  EXPECT_EQ(here.object, nullptr);
  EXPECT_EQ(here.userInfo, nullptr);

  // This one posts; the other delivers. An observer of another name hears nothing.
  Helper observer(device.root(), {"observe", name, "5"});
  Helper bystander(device.root(), {"observe", name + "2", "0.3"});
  ASSERT_EQ(observer.readLine(), "ready");
  ASSERT_EQ(bystander.readLine(), "ready");
  post(name);
  EXPECT_EQ(observer.readLine(), "delivered 1");
  EXPECT_EQ(observer.wait(), 0);
  EXPECT_EQ(bystander.readLine(), "delivered 0");
  EXPECT_EQ(bystander.wait(), 1);
  // The posting process observes the name too: its own post reaches it.
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 1);
  EXPECT_EQ(here.calls, 2);

  // Back and forth: every post arrives, and quickly.
  static Seen pong;
  observe(pong, "test.pong");
  constexpr int kRounds = 50;
  Helper echo(device.root(), {"echo", "test.ping", "test.pong", std::to_string(kRounds), "5"});
  ASSERT_EQ(echo.readLine(), "ready");
  std::vector<double> microseconds;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    post("test.ping");
    ASSERT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5.0, 1), kHandledSource) << "round " << i;
    microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                           2);
  }
  EXPECT_EQ(echo.wait(), 0);
  EXPECT_EQ(pong.calls, kRounds);
  std::sort(microseconds.begin(), microseconds.end());
  std::printf("post to delivery across processes: median %.0f us, worst %.0f us\n",
              microseconds[kRounds / 2], microseconds.back());
}

TEST(DarwinNotifications, OnlyObservedNamesArriveWhateverTheirBytes) {
  vyrtest::TempDevice device;
  const std::vector<std::string> names = {
      "a",
      "a/b",
      "a%2Fb",
      "A",
      "../escape",
      "..",
      ".hidden",
      "with space",
      "\xc3\xbc"
      "n\xc3\xaf"
      "code",
      "tab\there",
      "a.b",
      "-",
      std::string(300, 'x') + "1",
      std::string(300, 'x') + "2",
  };
  static std::vector<Seen> seen(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) observe(seen[i], names[i]);

  for (std::size_t i = 0; i < names.size(); ++i) {
    post(names[i]);
    EXPECT_EQ(cfsim::deliverPendingNotifications(), 1) << names[i];
    for (std::size_t j = 0; j < names.size(); ++j) {
      EXPECT_EQ(seen[j].calls, j <= i ? 1 : 0) << "posted " << names[i] << ", seen " << names[j];
    }
  }
  post("unobserved");
  post("a/");
  post("");
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 0);

  // Every file the posts made is in the notification folder, none elsewhere in the device.
  const fs::path folder = fs::path(sim::simFolder()) / "notify";
  std::size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(device.root())) {
    if (!e.is_regular_file()) continue;
    EXPECT_EQ(e.path().parent_path(), folder) << e.path();
    ++files;
  }
  EXPECT_EQ(files, names.size() + 2);
}

TEST(DarwinNotifications, PostsCoalesceAndWaitForTheRunLoop) {
  vyrtest::TempDevice device;
  // With nothing observed the loop has no source and returns at once.
  Helper idle(device.root(), {"run", "5"});
  EXPECT_EQ(idle.readLine(), std::to_string(kFinished));
  EXPECT_EQ(idle.wait(), 0);

  static Seen first, second;
  observe(first, "test.first");
  observe(second, "test.second");
  for (int i = 0; i < 5; ++i) post("test.first");
  Helper poster(device.root(), {"post", "test.second", "3"});
  ASSERT_EQ(poster.wait(), 0);
  // Nothing runs until this process delivers.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(first.calls, 0);
  EXPECT_EQ(second.calls, 0);
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 2);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 0);

  // Without returnAfterSourceHandled the loop delivers and goes on until its time is up.
  post("test.first");
  auto start = Clock::now();
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, 0), kTimedOut);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(first.calls, 2);
  // With it, nothing posted: the full wait, then timed out. A zero, negative or NaN wait looks
  // once.
  start = Clock::now();
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, 1), kTimedOut);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  post("test.second");
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0, 1), kHandledSource);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, -1.0, 1), kTimedOut);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, std::nan(""), 1), kTimedOut);
  EXPECT_EQ(second.calls, 2);
}

void otherCallback(CFNotificationCenterRef c, void* o, CFStringRef n, const void* ob,
                   CFDictionaryRef u) {
  record(c, o, n, ob, u);
}

TEST(DarwinNotifications, RegisteringTheSameObserverTwiceAddsNothing) {
  vyrtest::TempDevice device;
  static Seen a, b;
  observe(a, "test.twice");
  observe(a, "test.twice");
  observe(a, "test.twice", &otherCallback);  // another callback is another observer
  observe(b, "test.twice");
  // Ignored: no name, no callback, not the Darwin centre, a name that is not a string.
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &b, &record, nullptr,
                                  nullptr, CFNotificationSuspensionBehaviorCoalesce);
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &b, nullptr,
                                  str("test.twice"), nullptr,
                                  CFNotificationSuspensionBehaviorCoalesce);
  static char notACentre;
  CFNotificationCenterAddObserver(reinterpret_cast<CFNotificationCenterRef>(&notACentre), &b,
                                  &record, str("test.twice"), nullptr,
                                  CFNotificationSuspensionBehaviorCoalesce);
  const Class objectClass = objc_lookUpClass("NSObject");
  const objc::id notAString = objc::send<"new">(objectClass);
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &b, &record,
                                  reinterpret_cast<CFStringRef>(notAString), nullptr,
                                  CFNotificationSuspensionBehaviorCoalesce);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                       reinterpret_cast<CFStringRef>(notAString), nullptr, nullptr,
                                       1);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                       nullptr, nullptr, 1);
  objc::send<"release", void>(notAString);

  post("test.twice");
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 3);
  EXPECT_EQ(a.calls, 2);
  EXPECT_EQ(b.calls, 1);
  EXPECT_EQ(a.center, CFNotificationCenterGetDarwinNotifyCenter());
  EXPECT_EQ(CFNotificationCenterGetDarwinNotifyCenter(),
            CFNotificationCenterGetDarwinNotifyCenter());
  // The name handed back is the one registered, whatever string object the post used.
  EXPECT_EQ(a.name, str("test.twice"));
}

void reenter(CFNotificationCenterRef, void* observer, CFStringRef, const void*, CFDictionaryRef) {
  static Seen late;
  ++static_cast<Seen*>(observer)->calls;
  // A callback may register, post, and deliver again on its own thread.
  observe(late, "test.late");
  post("test.late");
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 1);
  EXPECT_EQ(late.calls, 1);
}

TEST(DarwinNotifications, CallbacksMayRegisterPostAndDeliver) {
  vyrtest::TempDevice device;
  static Seen outer;
  observe(outer, "test.outer", &reenter);
  post("test.outer");
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 1);
  EXPECT_EQ(outer.calls, 1);
}

TEST(DarwinNotifications, TheVersionNumberAndTheObservationFollowTheDevice) {
  vyrtest::TempDevice first;
  static Seen seen;
  observe(seen, "test.device");
  const int fd = cfsim::notificationDescriptor();
  EXPECT_GE(fd, 0);

  const struct {
    const char* ios;
    double number;
  } kVersions[] = {{"5.1", 690.10},  {"6.0", 793.00},  {"7.1", 847.24},
                   {"8.1", 1141.14}, {"9.3", 1280.30}, {nullptr, 1141.14}};
  vyrtest::TempDevice second;  // attached now
  for (const auto& v : kVersions) {
    if (v.ios != nullptr) {
      std::ofstream(sim::simFolder() + "/device.conf") << "ios=" << v.ios << "\n";
    } else {
      fs::remove(sim::simFolder() + "/device.conf");
    }
    cfsim::refreshVersionNumber();
    EXPECT_DOUBLE_EQ(kCFCoreFoundationVersionNumber, v.number) << (v.ios ? v.ios : "none");
  }
  // The respring's threshold: iOS 5.1 is at or below 700, 6.0 above.
  std::ofstream(sim::simFolder() + "/device.conf") << "ios=5.1\n";
  cfsim::refreshVersionNumber();
  EXPECT_LE(kCFCoreFoundationVersionNumber, 700.0);
  // A process reads its device's number when the library loads.
  Helper reader(second.root(), {"version"});
  EXPECT_EQ(reader.readLine(), "690.10");
  EXPECT_EQ(reader.wait(), 0);

  // After the refresh this process hears posts of the second device, not of the first.
  Helper oldDevice(first.root(), {"post", "test.device"});
  ASSERT_EQ(oldDevice.wait(), 0);
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 0);
  Helper newDevice(second.root(), {"post", "test.device"});
  ASSERT_EQ(newDevice.wait(), 0);
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 1);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(cfsim::notificationDescriptor(), fd);
}

TEST(CoreFoundationStrings, ConstantStringsAreOneImmortalObjectPerText) {
  const CFStringRef a = CFSTR("com.belvorin.VYR/settingschanged");
  EXPECT_EQ(a, __CFStringMakeConstantString("com.belvorin.VYR/settingschanged"));
  EXPECT_NE(a, CFSTR("com.belvorin.VYR"));
  EXPECT_EQ(__CFStringMakeConstantString(nullptr), nullptr);
  const auto object = reinterpret_cast<objc::id>(const_cast<__CFString*>(a));
  for (int i = 0; i < 10; ++i) objc::send<"release", void>(object);
  EXPECT_STREQ((objc::send<"UTF8String", const char*>(object)), "com.belvorin.VYR/settingschanged");
  EXPECT_NE(kCFRunLoopDefaultMode, nullptr);
}

}  // namespace
