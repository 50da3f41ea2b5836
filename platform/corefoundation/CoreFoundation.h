// The device's CoreFoundation, as far as the system uses it: the Darwin notification centre and
// the framework's version number. Signatures are the device's own.
//
// Darwin notifications carry only a name. A post from any process of the device reaches every
// process of that device that observes the name; the object and user information arrive as
// null. Delivery happens on the observing process's main run loop (see CFRunLoopRunInMode), and
// rapid posts of one name may be coalesced into one delivery.
#pragma once

#include "platform/objc/runtime.hpp"

extern "C" {

typedef unsigned char Boolean;
typedef long CFIndex;
// Toll-free bridged: a CFStringRef is an NSString object, a CFDictionaryRef an NSDictionary.
typedef const struct __CFString* CFStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFNotificationCenter* CFNotificationCenterRef;
typedef double CFTimeInterval;

typedef void (*CFNotificationCallback)(CFNotificationCenterRef center, void* observer,
                                       CFStringRef name, const void* object,
                                       CFDictionaryRef userInfo);

typedef enum : CFIndex {
  CFNotificationSuspensionBehaviorDrop = 1,
  CFNotificationSuspensionBehaviorCoalesce = 2,
  CFNotificationSuspensionBehaviorHold = 3,
  CFNotificationSuspensionBehaviorDeliverImmediately = 4
} CFNotificationSuspensionBehavior;

// The process's Darwin notification centre; the same pointer on every call.
CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter(void);

// Registers CALLBACK for NAME until the process ends. Registering the same observer, callback and
// name again adds nothing. A null name (observe everything) is not supported by Darwin centres
// and is ignored.
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, CFStringRef name,
                                     const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior);

// Posts NAME to every observing process of the device, this one included. Object and user
// information are ignored, as Darwin centres do.
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFStringRef name,
                                          const void* object, CFDictionaryRef userInfo,
                                          Boolean deliverImmediately);

// Runs the calling thread's run loop for up to SECONDS, delivering pending notifications.
// Returns after the first delivery when RETURN_AFTER_SOURCE_HANDLED, else when time is up.
// The mode is accepted for the device's signature and otherwise ignored.
typedef CFStringRef CFRunLoopMode;
extern const CFRunLoopMode kCFRunLoopDefaultMode;
int32_t CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                           Boolean returnAfterSourceHandled);

// CoreFoundation's version number, following the device's iOS version (8.1: 1141.14).
extern double kCFCoreFoundationVersionNumber;

// A constant string for a literal, made once and never freed.
CFStringRef __CFStringMakeConstantString(const char* text);
}

#define CFSTR(text) __CFStringMakeConstantString("" text "")
