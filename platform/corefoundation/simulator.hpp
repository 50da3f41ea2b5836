// What the simulator needs of the CoreFoundation stand-in beyond the device's own functions: a
// way to wait for Darwin notifications in its own event loop, and to follow a device attached
// after the library was loaded.
#pragma once

#define VYR_CF_EXPORT __attribute__((visibility("default")))

namespace cfsim {

// A descriptor that becomes readable when a Darwin notification may be waiting for this
// process: pass it to poll() and call deliverPendingNotifications() when it is readable. Never
// read from it or close it. -1 while the process observes nothing (it is made when the first
// observer registers); once made it stays the same for the life of the process. Thread-safe.
VYR_CF_EXPORT int notificationDescriptor();

// Delivers, on the calling thread, every notification that has arrived: drains the descriptor
// without blocking, then calls each observer of each name that arrived once (posts of one name
// since the last drain coalesce), with null object and user information. No lock of the
// notification centre is held during the callbacks, so they may register observers and post.
// Callbacks never run concurrently: a second thread that delivers meanwhile waits for the first;
// a callback may deliver again on its own thread (nested). An exception thrown by a callback is
// swallowed. Returns how many callbacks ran (0 when nothing arrived or nothing observes).
VYR_CF_EXPORT int deliverPendingNotifications();

// Sets kCFCoreFoundationVersionNumber from the iOS version of the device this process is attached
// to now, and moves this process's observation to that device. Call it after attaching a device,
// before other threads read the version number (a plain variable, as on the device).
VYR_CF_EXPORT void refreshVersionNumber();

}  // namespace cfsim
