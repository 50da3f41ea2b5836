/* The device's <stdlib.h>, as far as the C++ library and this project use it (arc4random is
   declared here on the device). */
#ifndef VYR_DARWIN_STDLIB_H
#define VYR_DARWIN_STDLIB_H

#include "_darwin_types.h"

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1
#define RAND_MAX 0x7fffffff
#define MB_CUR_MAX 1

#ifdef __cplusplus
extern "C" {
#endif
typedef struct {
  int quot;
  int rem;
} div_t;
typedef struct {
  long quot;
  long rem;
} ldiv_t;
typedef struct {
  long long quot;
  long long rem;
} lldiv_t;

void abort(void) __attribute__((__noreturn__));
int abs(int) __attribute__((__const__));
long labs(long) __attribute__((__const__));
long long llabs(long long);
div_t div(int, int);
ldiv_t ldiv(long, long);
lldiv_t lldiv(long long, long long);
int atexit(void (*)(void));
double atof(const char*);
int atoi(const char*);
long atol(const char*);
long long atoll(const char*);
void* bsearch(const void*, const void*, size_t, size_t, int (*)(const void*, const void*));
void* calloc(size_t, size_t);
void exit(int) __attribute__((__noreturn__));
void _Exit(int) __attribute__((__noreturn__));
void free(void*);
char* getenv(const char*);
void* malloc(size_t);
int posix_memalign(void** out, size_t alignment, size_t size);
void qsort(void*, size_t, size_t, int (*)(const void*, const void*));
int rand(void);
void* realloc(void*, size_t);
void srand(unsigned);
double strtod(const char*, char**);
float strtof(const char*, char**);
long double strtold(const char*, char**);
long strtol(const char*, char**, int);
long long strtoll(const char*, char**, int);
unsigned long strtoul(const char*, char**, int);
unsigned long long strtoull(const char*, char**, int);
int system(const char* command);
int mblen(const char*, size_t);
size_t mbstowcs(wchar_t*, const char*, size_t);
int mbtowc(wchar_t*, const char*, size_t);
size_t wcstombs(char*, const wchar_t*, size_t);
int wctomb(char*, wchar_t);
uint32_t arc4random(void);
#ifdef __cplusplus
}
#endif

#endif
