/* The device's <pthread.h>, as far as the C++ library uses it. Each object is a signature word
   and an opaque body, sized per word size; a statically initialised object carries its type's
   signature, which the device's C library checks on first use. */
#ifndef VYR_DARWIN_PTHREAD_H
#define VYR_DARWIN_PTHREAD_H

#include <sched.h>
#include <time.h>

#include "_darwin_types.h"

#if defined(__LP64__)
#define __PTHREAD_SIZE__ 8176
#define __PTHREAD_ATTR_SIZE__ 56
#define __PTHREAD_MUTEXATTR_SIZE__ 8
#define __PTHREAD_MUTEX_SIZE__ 56
#define __PTHREAD_CONDATTR_SIZE__ 8
#define __PTHREAD_COND_SIZE__ 40
#define __PTHREAD_ONCE_SIZE__ 8
#define __PTHREAD_RWLOCK_SIZE__ 192
#define __PTHREAD_RWLOCKATTR_SIZE__ 16
#else
#define __PTHREAD_SIZE__ 4088
#define __PTHREAD_ATTR_SIZE__ 36
#define __PTHREAD_MUTEXATTR_SIZE__ 8
#define __PTHREAD_MUTEX_SIZE__ 40
#define __PTHREAD_CONDATTR_SIZE__ 4
#define __PTHREAD_COND_SIZE__ 24
#define __PTHREAD_ONCE_SIZE__ 4
#define __PTHREAD_RWLOCK_SIZE__ 124
#define __PTHREAD_RWLOCKATTR_SIZE__ 12
#endif

#ifdef __cplusplus
extern "C" {
#endif
typedef struct _opaque_pthread_t* pthread_t;
typedef unsigned long pthread_key_t;
typedef struct {
  long __sig;
  char __opaque[__PTHREAD_ATTR_SIZE__];
} pthread_attr_t;
typedef struct {
  long __sig;
  char __opaque[__PTHREAD_MUTEXATTR_SIZE__];
} pthread_mutexattr_t;
typedef struct {
  long __sig;
  char __opaque[__PTHREAD_MUTEX_SIZE__];
} pthread_mutex_t;
typedef struct {
  long __sig;
  char __opaque[__PTHREAD_CONDATTR_SIZE__];
} pthread_condattr_t;
typedef struct {
  long __sig;
  char __opaque[__PTHREAD_COND_SIZE__];
} pthread_cond_t;
typedef struct {
  long __sig;
  char __opaque[__PTHREAD_ONCE_SIZE__];
} pthread_once_t;
typedef struct {
  long __sig;
  char __opaque[__PTHREAD_RWLOCK_SIZE__];
} pthread_rwlock_t;

#define _PTHREAD_MUTEX_SIG_init 0x32AAABA7
#define _PTHREAD_COND_SIG_init 0x3CB0B1BB
#define _PTHREAD_ONCE_SIG_init 0x30B1BCBA
#define _PTHREAD_RWLOCK_SIG_init 0x2DA8B3B4
#define PTHREAD_MUTEX_INITIALIZER \
  {                               \
    _PTHREAD_MUTEX_SIG_init, {    \
      0                           \
    }                             \
  }
#define PTHREAD_COND_INITIALIZER \
  {                              \
    _PTHREAD_COND_SIG_init, {    \
      0                          \
    }                            \
  }
#define PTHREAD_ONCE_INIT     \
  {                           \
    _PTHREAD_ONCE_SIG_init, { \
      0                       \
    }                         \
  }
#define PTHREAD_RWLOCK_INITIALIZER \
  {                                \
    _PTHREAD_RWLOCK_SIG_init, {    \
      0                            \
    }                              \
  }
#define PTHREAD_MUTEX_NORMAL 0
#define PTHREAD_MUTEX_ERRORCHECK 1
#define PTHREAD_MUTEX_RECURSIVE 2

int pthread_mutex_init(pthread_mutex_t*, const pthread_mutexattr_t*);
int pthread_mutex_destroy(pthread_mutex_t*);
int pthread_mutex_lock(pthread_mutex_t*);
int pthread_mutex_trylock(pthread_mutex_t*);
int pthread_mutex_unlock(pthread_mutex_t*);
int pthread_mutexattr_init(pthread_mutexattr_t*);
int pthread_mutexattr_settype(pthread_mutexattr_t*, int);
int pthread_mutexattr_destroy(pthread_mutexattr_t*);
int pthread_cond_init(pthread_cond_t*, const pthread_condattr_t*);
int pthread_cond_destroy(pthread_cond_t*);
int pthread_cond_signal(pthread_cond_t*);
int pthread_cond_broadcast(pthread_cond_t*);
int pthread_cond_wait(pthread_cond_t*, pthread_mutex_t*);
int pthread_cond_timedwait(pthread_cond_t*, pthread_mutex_t*, const struct timespec*);
int pthread_once(pthread_once_t*, void (*)(void));
pthread_t pthread_self(void);
int pthread_equal(pthread_t, pthread_t);
int pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int pthread_join(pthread_t, void**);
int pthread_detach(pthread_t);
int pthread_key_create(pthread_key_t*, void (*)(void*));
int pthread_key_delete(pthread_key_t);
void* pthread_getspecific(pthread_key_t);
int pthread_setspecific(pthread_key_t, const void*);
int pthread_rwlock_init(pthread_rwlock_t*, const void*);
int pthread_rwlock_destroy(pthread_rwlock_t*);
int pthread_rwlock_rdlock(pthread_rwlock_t*);
int pthread_rwlock_wrlock(pthread_rwlock_t*);
int pthread_rwlock_unlock(pthread_rwlock_t*);
#ifdef __cplusplus
}
#endif

#endif
