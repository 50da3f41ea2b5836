/* The device's <stdio.h>, as far as the C++ library and this project use it. The standard
   streams are the C library's __stdinp, __stdoutp and __stderrp. */
#ifndef VYR_DARWIN_STDIO_H
#define VYR_DARWIN_STDIO_H

#include <stdarg.h>

#include "_darwin_types.h"

#define EOF (-1)
#define BUFSIZ 1024
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

#ifdef __cplusplus
extern "C" {
#endif
typedef struct __sFILE FILE;
typedef __darwin_off_t fpos_t;

extern FILE* __stdinp;
extern FILE* __stdoutp;
extern FILE* __stderrp;
#define stdin __stdinp
#define stdout __stdoutp
#define stderr __stderrp

int fclose(FILE*);
int fflush(FILE*);
int fprintf(FILE*, const char*, ...) __attribute__((__format__(__printf__, 2, 3)));
int fputc(int, FILE*);
int fputs(const char*, FILE*);
size_t fwrite(const void*, size_t, size_t, FILE*);
int printf(const char*, ...) __attribute__((__format__(__printf__, 1, 2)));
int putchar(int);
int puts(const char*);
int remove(const char*);
int rename(const char*, const char*);
int snprintf(char*, size_t, const char*, ...) __attribute__((__format__(__printf__, 3, 4)));
int sprintf(char*, const char*, ...) __attribute__((__format__(__printf__, 2, 3)));
int sscanf(const char*, const char*, ...);
int vfprintf(FILE*, const char*, va_list);
int vsnprintf(char*, size_t, const char*, va_list);
int vsprintf(char*, const char*, va_list);
#ifdef __cplusplus
}
#endif

#endif
