/* The device's <sys/event.h>: kqueue and its vnode filter, as the file watch uses them. */
#ifndef VYR_DARWIN_SYS_EVENT_H
#define VYR_DARWIN_SYS_EVENT_H

#include "../_darwin_types.h"
#include "../time.h"

/* 32 bytes on arm64, 20 on armv7 (asserted in abi_checks.cpp). */
struct kevent {
  uintptr_t ident;
  int16_t filter;
  uint16_t flags;
  uint32_t fflags;
  intptr_t data;
  void* udata;
};

#define EVFILT_VNODE (-4)

#define EV_ADD 0x0001
#define EV_ENABLE 0x0004
#define EV_CLEAR 0x0020
#define EV_ERROR 0x4000

#define NOTE_DELETE 0x00000001
#define NOTE_WRITE 0x00000002
#define NOTE_EXTEND 0x00000004
#define NOTE_ATTRIB 0x00000008
#define NOTE_LINK 0x00000010
#define NOTE_RENAME 0x00000020
#define NOTE_REVOKE 0x00000040

#ifdef __cplusplus
extern "C" {
#endif
int kqueue(void);
int kevent(int kq, const struct kevent* changes, int nchanges, struct kevent* events, int nevents,
           const struct timespec* timeout);
#ifdef __cplusplus
}
#endif

#endif
