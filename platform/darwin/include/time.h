/* The device's <time.h>, as far as the C++ library uses it. */
#ifndef VYR_DARWIN_TIME_H
#define VYR_DARWIN_TIME_H

#include "_darwin_types.h"

#define CLOCKS_PER_SEC 1000000

#ifdef __cplusplus
extern "C" {
#endif
typedef __darwin_time_t time_t;
typedef unsigned long clock_t;
struct timespec {
  __darwin_time_t tv_sec;
  long tv_nsec;
};
struct tm {
  int tm_sec;
  int tm_min;
  int tm_hour;
  int tm_mday;
  int tm_mon;
  int tm_year;
  int tm_wday;
  int tm_yday;
  int tm_isdst;
  long tm_gmtoff;
  char* tm_zone;
};
clock_t clock(void);
time_t time(time_t*);
int nanosleep(const struct timespec*, struct timespec*);
#ifdef __cplusplus
}
#endif

#endif
