/* The device's <fcntl.h>, as far as the file watch uses it: open() and the flags it passes. */
#ifndef VYR_DARWIN_FCNTL_H
#define VYR_DARWIN_FCNTL_H

#include "_darwin_types.h"

#define O_RDONLY 0x0000
#define O_NOFOLLOW 0x0100
/* Opened only to be watched: the descriptor reads nothing and keeps no volume busy. */
#define O_EVTONLY 0x8000
#define O_DIRECTORY 0x100000
#define O_CLOEXEC 0x1000000

#ifdef __cplusplus
extern "C" {
#endif
int open(const char* path, int flags, ...);
#ifdef __cplusplus
}
#endif

#endif
