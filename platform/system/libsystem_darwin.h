// The device's build of the libSystem facade (libsystem.h): each source name of
// libsystem_names.h is here an inline call of the device's own C function of that name, so a
// deliverable imports arc4random, strlen, unlink and system from /usr/lib/libSystem.B.dylib and
// nothing else of this folder. Include it only through libsystem.h.
//
// The file watch is the device's kqueue (file_watch_darwin.cpp): it imports kqueue, kevent, open,
// readlink, close and getpid from the same library.
#pragma once

#if !defined(__APPLE__)
#error "libsystem_darwin.h is the device's build's facade"
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

// The watch of one path (file_watch_darwin.cpp).
struct vyr_file_watch;

inline uint32_t vyr_libsystem_arc4random() noexcept {
  return ::arc4random();
}
// strlen of null is 0 here, as the facade promises; the device's own would crash.
inline size_t vyr_libsystem_strlen(const char* text) noexcept {
  return text != nullptr ? ::strlen(text) : 0;
}
inline int vyr_libsystem_unlink(const char* devicePath) noexcept {
  return ::unlink(devicePath);
}
inline int vyr_libsystem_system(const char* command) noexcept {
  return ::system(command);
}

// FileWatch's calls, as on Linux (libsystem_names.h): open gives null when memory ran out,
// changed answers 1 for a null watch, descriptor -1.
vyr_file_watch* vyr_libsystem_file_watch_open(const char* path, size_t length) noexcept;
int vyr_libsystem_file_watch_changed(vyr_file_watch* watch) noexcept;
int vyr_libsystem_file_watch_descriptor(const vyr_file_watch* watch) noexcept;
void vyr_libsystem_file_watch_close(vyr_file_watch* watch) noexcept;
