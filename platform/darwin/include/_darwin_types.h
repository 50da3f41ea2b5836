/* The device's basic C types, as its C library lays them out. Shared by the other headers of this
   folder; the device's own headers are not here (nothing of Apple's is), so these few are written
   from the device's published ABI and checked at compile time in platform/darwin/abi_checks.cpp. */
#ifndef VYR_DARWIN_TYPES_H
#define VYR_DARWIN_TYPES_H

#if !defined(__APPLE__)
#error "platform/darwin/include is for the device's build only"
#endif

#include <stddef.h>
#include <stdint.h>

/* A multibyte conversion state: 128 bytes, whatever the processor. */
typedef union {
  char __mbstate8[128];
  long long _mbstateL;
} __darwin_mbstate_t;

typedef long long __darwin_off_t;
typedef int __darwin_pid_t;
typedef long __darwin_ssize_t;
typedef long __darwin_time_t;
typedef int __darwin_wint_t;
typedef int __darwin_ct_rune_t;

#endif
