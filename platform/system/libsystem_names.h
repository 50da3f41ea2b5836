// The C interface of the device's C library (libSystem) as far as the system uses it, by the
// names the device's libSystem has: arc4random, strlen, unlink, system, and a watch of one file
// (what the device's kqueue gives a reader through EVFILT_VNODE watches).
//
// Here the C library of the machine has arc4random, strlen, unlink and system too, acting on the
// machine. So the stand-in defines each name only under its own symbol version, VYR_SYSTEM_1, as
// a hidden (non-default) version: a library that asks for `unlink@VYR_SYSTEM_1` is bound to the
// device's unlink, while everything else in the process (the machine's code, dlsym, an ordinary
// link against libSystem) goes on getting the machine's. This is how the device's two-level
// namespace binds each import to the library it came from. The source names below (vyr_libsystem_
// ...) only carry the binding: the .symver directives turn a definition of one into the versioned
// name, and a reference into a reference to it, so the source names themselves never reach a
// dynamic symbol table. Include this header only through libsystem.h (callers) or in the
// stand-in's own sources (definitions).
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VYR_SYSTEM_NOEXCEPT noexcept
extern "C" {
#else
#define VYR_SYSTEM_NOEXCEPT
#endif

// A file watch: the state of one watched path. Opaque to callers.
typedef struct vyr_file_watch vyr_file_watch;

#define VYR_SYSTEM_DECLARE(ret, name, args) \
  __attribute__((visibility("default"))) ret vyr_libsystem_##name args VYR_SYSTEM_NOEXCEPT
#define VYR_SYSTEM_C(ret, name, args)  \
  VYR_SYSTEM_DECLARE(ret, name, args); \
  __asm__(".symver vyr_libsystem_" #name ", " #name "@VYR_SYSTEM_1")

// The sanitizers' runtimes define strlen (and ThreadSanitizer unlink) themselves, in the
// executable, and a definition without a version satisfies any versioned reference: there the
// device's unlink would become the machine's, and the device's strlen of null (0) the machine's
// (a crash). Sanitizer builds reach the stand-in's own functions by their source names instead
// (exported by the library in those builds only).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VYR_SYSTEM_BY_SOURCE_NAME 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define VYR_SYSTEM_BY_SOURCE_NAME 1
#endif
#endif

VYR_SYSTEM_C(uint32_t, arc4random, (void));
#ifdef VYR_SYSTEM_BY_SOURCE_NAME
VYR_SYSTEM_DECLARE(size_t, strlen, (const char* text));
VYR_SYSTEM_DECLARE(int, unlink, (const char* devicePath));
#else
VYR_SYSTEM_C(size_t, strlen, (const char* text));
VYR_SYSTEM_C(int, unlink, (const char* devicePath));
#endif
VYR_SYSTEM_C(int, system, (const char* command));

// Watches the device path PATH (LENGTH bytes, not necessarily NUL-terminated); null when out of
// memory. Opens nothing yet.
VYR_SYSTEM_C(vyr_file_watch*, file_watch_open, (const char* path, size_t length));
// 1 when the file may have changed since the previous call (see libsystem::FileWatch), else 0.
VYR_SYSTEM_C(int, file_watch_changed, (vyr_file_watch * watch));
// A descriptor to poll() for readability, or -1 (see libsystem::FileWatch::descriptor).
VYR_SYSTEM_C(int, file_watch_descriptor, (const vyr_file_watch* watch));
// Ends the watch and frees it; null is ignored.
VYR_SYSTEM_C(void, file_watch_close, (vyr_file_watch * watch));

#undef VYR_SYSTEM_C
#undef VYR_SYSTEM_DECLARE

#ifdef __cplusplus
}
#endif
