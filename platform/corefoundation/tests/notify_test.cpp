#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "tests/support/temp_device.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int32_t kTimedOut = 3;
constexpr int32_t kHandledSource = 4;

// The helper program as another process of the device in ROOT, its output readable line by line.
class Helper {
 public:
  Helper(const std::string& root, const std::string& args) {
    ::setenv("VYR_DEVICE_ROOT", root.c_str(), 1);
    out_ = ::popen((std::string(CF_NOTIFY_HELPER) + " " + args).c_str(), "r");
  }
  ~Helper() {
    if (out_ != nullptr) ::pclose(out_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  std::string readLine() {
    char line[256];
    if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr) return "";
    return std::string(line, std::strcspn(line, "\n"));
  }
  // The exit status, or -1 when it did not exit normally.
  int wait() {
    const int status = out_ != nullptr ? ::pclose(out_) : -1;
    out_ = nullptr;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  FILE* out_ = nullptr;
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
  Helper poster(device.root(), "post " + name);
  ASSERT_EQ(poster.wait(), 0);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5.0, 1), kHandledSource);
  EXPECT_EQ(here.calls, 1);
  EXPECT_EQ(here.name, str(name));
  EXPECT_EQ(here.object, nullptr);
  EXPECT_EQ(here.userInfo, nullptr);

  // This one posts; the other delivers. An observer of another name hears nothing.
  Helper observer(device.root(), "observe " + name + " 5");
  Helper bystander(device.root(), "observe " + name + "2 0.3");
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

  // A process that cannot get an inotify instance says so once and polls: every post reaches it.
  const std::string log = device.root() + "/polling.log";
  Helper polling(device.root(), "observe " + name + " 5 2 polling 2>'" + log + "'");
  ASSERT_EQ(polling.readLine(), "ready");
  post(name);
  EXPECT_EQ(polling.readLine(), "delivered 1");
  post(name);
  EXPECT_EQ(polling.readLine(), "delivered 2");
  EXPECT_EQ(polling.wait(), 0);
  std::ifstream said(log);
  const std::string text((std::istreambuf_iterator<char>(said)), {});
  EXPECT_EQ(text.find("polled every 100 ms"), text.rfind("polled every 100 ms")) << text;
  EXPECT_NE(text.find("polled every 100 ms"), std::string::npos) << text;
}

TEST(DarwinNotifications, OnlyObservedNamesArriveWhateverTheirBytes) {
  vyrtest::TempDevice device;
  // clang-format off
  const std::vector<std::string> names = {"a", "a/b", "a%2Fb", "A", "../escape", "..", ".hidden",
      "with space", "\xc3\xbc", "tab\there", std::string(300, 'x') + "1",
      std::string(300, 'x') + "2"};
  // clang-format on
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
  static Seen first, second;
  observe(first, "test.first");
  observe(second, "test.second");
  for (int i = 0; i < 5; ++i) post("test.first");
  Helper poster(device.root(), "post test.second 3");
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
  const auto center = CFNotificationCenterGetDarwinNotifyCenter();
  const auto add = [](CFNotificationCenterRef c, CFNotificationCallback callback, CFStringRef n) {
    CFNotificationCenterAddObserver(c, &b, callback, n, nullptr,
                                    CFNotificationSuspensionBehaviorCoalesce);
  };
  const objc::id object = objc::send<"new">(objc::getClass("NSObject"));
  const auto notAString = reinterpret_cast<CFStringRef>(object);
  add(center, &record, nullptr);
  add(center, nullptr, str("test.twice"));
  add(reinterpret_cast<CFNotificationCenterRef>(&b), &record, str("test.twice"));
  add(center, &record, notAString);
  CFNotificationCenterPostNotification(center, notAString, nullptr, nullptr, 1);
  CFNotificationCenterPostNotification(center, nullptr, nullptr, nullptr, 1);
  objc::send<"release", void>(object);

  post("test.twice");
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 3);
  EXPECT_EQ(a.calls, 2);
  EXPECT_EQ(b.calls, 1);
  EXPECT_EQ(a.center, center);
  // The name handed back is the one registered: constant strings are one object per text.
  EXPECT_EQ(a.name, CFSTR("test.twice"));
  EXPECT_NE(CFSTR("test.twice"), CFSTR("test.twice2"));
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
  } kVersions[] = {
      // 5.1 is at or below the respring's threshold of 700; the header gives 9.3 the number of 9.2.
      {"5.1", 690.10},  {"6.0", 793.00},  {"7.1", 847.24},
      {"8.1", 1141.14}, {"9.3", 1242.13}, {nullptr, 1141.14}};
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
  // A process reads its device's number when the library loads.
  std::ofstream(sim::simFolder() + "/device.conf") << "ios=5.1\n";
  Helper reader(second.root(), "version");
  EXPECT_EQ(reader.readLine(), "690.10");
  EXPECT_EQ(reader.wait(), 0);

  // After the refresh this process hears posts of the second device, not of the first.
  Helper oldDevice(first.root(), "post test.device");
  ASSERT_EQ(oldDevice.wait(), 0);
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 0);
  Helper newDevice(second.root(), "post test.device");
  ASSERT_EQ(newDevice.wait(), 0);
  EXPECT_EQ(cfsim::deliverPendingNotifications(), 1);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(cfsim::notificationDescriptor(), fd);
}

}  // namespace
