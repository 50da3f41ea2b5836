/* The device's <unistd.h>, as far as this project uses it. */
#ifndef VYR_DARWIN_UNISTD_H
#define VYR_DARWIN_UNISTD_H

#include "_darwin_types.h"

#ifdef __cplusplus
extern "C" {
#endif
typedef __darwin_ssize_t ssize_t;
typedef __darwin_pid_t pid_t;
int unlink(const char* path);
int close(int fd);
ssize_t readlink(const char* path, char* buffer, size_t size);
pid_t getpid(void);
#ifdef __cplusplus
}
#endif

#endif
