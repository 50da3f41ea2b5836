/* The device's <unistd.h>, as far as this project uses it. */
#ifndef VYR_DARWIN_UNISTD_H
#define VYR_DARWIN_UNISTD_H

#include "_darwin_types.h"

#ifdef __cplusplus
extern "C" {
#endif
int unlink(const char* path);
#ifdef __cplusplus
}
#endif

#endif
