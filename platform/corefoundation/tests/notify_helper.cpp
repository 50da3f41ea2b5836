// Another process of the device for the notification tests. The device is the one named by
// VYR_DEVICE_ROOT. Commands:
//   post NAME [COUNT]               posts NAME COUNT times (1)
//   observe NAME SECONDS [ROUNDS [polling]]
//                                   prints "ready", then ROUNDS times (1): runs the run loop until
//                                   the first delivery or SECONDS, prints "delivered N" (N counted
//                                   from the start); exits 0 when N > 0. With "polling", inotify
//                                   is refused to this process, as when the per-user limit is hit
//   version                         prints kCFCoreFoundationVersionNumber
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/system/libsystem.h"

namespace {

int gDelivered = 0;

void count(CFNotificationCenterRef, void*, CFStringRef, const void*, CFDictionaryRef) {
  ++gDelivered;
}

void observe(const char* name) {
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr, &count,
                                  __CFStringMakeConstantString(name), nullptr,
                                  CFNotificationSuspensionBehaviorCoalesce);
  std::puts("ready");
  std::fflush(stdout);
}

void post(const char* name) {
  CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                       __CFStringMakeConstantString(name), nullptr, nullptr, 1);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "post" && argc >= 3) {
    const int times = argc >= 4 ? std::atoi(argv[3]) : 1;
    for (int i = 0; i < times; ++i) post(argv[2]);
    return 0;
  }
  if (command == "observe" && argc >= 4) {
    const int rounds = argc >= 5 ? std::atoi(argv[4]) : 1;
    if (argc >= 6 && std::strcmp(argv[5], "polling") == 0) {
      libsystem::testing::setInotifyUnavailable(true);
    }
    observe(argv[2]);
    for (int i = 0; i < rounds; ++i) {
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, std::atof(argv[3]), 1);
      std::printf("delivered %d\n", gDelivered);
      std::fflush(stdout);
    }
    return gDelivered > 0 ? 0 : 1;
  }
  if (command == "version") {
    std::printf("%.2f\n", kCFCoreFoundationVersionNumber);
    return 0;
  }
  std::fprintf(stderr, "usage: see the top of notify_helper.cpp\n");
  return 2;
}
