/* The device's <sched.h>, as far as the C++ library uses it. */
#ifndef VYR_DARWIN_SCHED_H
#define VYR_DARWIN_SCHED_H

#ifdef __cplusplus
extern "C" {
#endif
int sched_yield(void);
#ifdef __cplusplus
}
#endif

#endif
