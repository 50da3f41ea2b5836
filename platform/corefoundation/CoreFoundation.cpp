// The device's C names, translated to the centre and to Foundation's constant strings. No C++
// exception leaves any of these functions: they are called from code that knows only C.
#include "platform/corefoundation/exports.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "platform/corefoundation/darwin_center.hpp"
#include "platform/corefoundation/simulator.hpp"
#include "platform/foundation/object.hpp"

namespace {

// The text of a bridged string; nothing for nil or an object that is not a string.
std::optional<std::string> textOf(CFStringRef string) {
  const auto object = reinterpret_cast<objc::id>(const_cast<__CFString*>(string));
  if (!objc::respondsTo(object, objc::sel<"UTF8String">())) return std::nullopt;
  // UTF8String may hand out an autoreleased buffer: keep it only for this copy.
  void* pool = objc_autoreleasePoolPush();
  const char* text = objc::send<"UTF8String", const char*>(object);
  std::optional<std::string> out;
  if (text != nullptr) out = std::string(text);
  objc_autoreleasePoolPop(pool);
  return out;
}

// Constant strings are Foundation's: one immortal NSString per text for the whole process, so
// that CFSTR("x") and a literal of the same text are the same object.
CFStringRef constantString(const char* text) noexcept {
  return reinterpret_cast<CFStringRef>(foundation::constantString(text));
}

// The one Darwin centre; its address is all a caller ever sees of it.
struct DarwinCenterHandle {
  char unused;
} gDarwinCenter;

}  // namespace

extern "C" {

const CFRunLoopMode kCFRunLoopDefaultMode = constantString("kCFRunLoopDefaultMode");

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter(void) {
  return reinterpret_cast<CFNotificationCenterRef>(&gDarwinCenter);
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, CFStringRef name,
                                     const void* /*object*/,
                                     CFNotificationSuspensionBehavior /*behavior*/) {
  if (center != CFNotificationCenterGetDarwinNotifyCenter() || callback == nullptr) return;
  try {
    const std::optional<std::string> text = textOf(name);
    if (!text) return;
    const cf::Observer registration{callback, observer, name};
    // The centre hands this very name object to the callback for as long as the process lives.
    if (cf::DarwinCenter::shared().addObserver(*text, registration)) {
      objc::send<"retain">(reinterpret_cast<objc::id>(const_cast<__CFString*>(name)));
    }
  } catch (...) {
    // Out of memory: the observer is not registered, as a failed registration on the device.
  }
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFStringRef name,
                                          const void* /*object*/, CFDictionaryRef /*userInfo*/,
                                          Boolean /*deliverImmediately*/) {
  if (center != CFNotificationCenterGetDarwinNotifyCenter()) return;
  try {
    const std::optional<std::string> text = textOf(name);
    if (text) cf::DarwinCenter::shared().post(*text);
  } catch (...) {
    // Darwin notifications are best-effort: a post that cannot be made is dropped.
  }
}

int32_t CFRunLoopRunInMode(CFRunLoopMode /*mode*/, CFTimeInterval seconds,
                           Boolean returnAfterSourceHandled) {
  // NaN and negative waits run the loop once; a wait beyond a year is a year.
  const double wait = std::isnan(seconds) || seconds < 0 ? 0.0 : std::fmin(seconds, 3.2e7);
  try {
    const auto timeout = std::chrono::nanoseconds(static_cast<long long>(wait * 1e9));
    return static_cast<int32_t>(
        cf::DarwinCenter::shared().run(timeout, returnAfterSourceHandled != 0));
  } catch (...) {
    return static_cast<int32_t>(cf::RunResult::finished);
  }
}

CFStringRef __CFStringMakeConstantString(const char* text) {
  return constantString(text);
}

}  // extern "C"

namespace cfsim {

int notificationDescriptor() {
  return cf::DarwinCenter::shared().descriptor();
}

int deliverPendingNotifications() {
  return cf::DarwinCenter::shared().deliverPending();
}

}  // namespace cfsim
