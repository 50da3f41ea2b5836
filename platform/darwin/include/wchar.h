/* The device's <wchar.h>, as far as the C++ library uses it: wchar_t is 32 bits there. */
#ifndef VYR_DARWIN_WCHAR_H
#define VYR_DARWIN_WCHAR_H

#include <stdarg.h>

#include "_darwin_types.h"

#define WEOF ((wint_t)-1)

#ifdef __cplusplus
extern "C" {
#endif
typedef __darwin_mbstate_t mbstate_t;
typedef __darwin_wint_t wint_t;

size_t mbrlen(const char*, size_t, mbstate_t*);
size_t mbrtowc(wchar_t*, const char*, size_t, mbstate_t*);
int mbsinit(const mbstate_t*);
size_t wcrtomb(char*, wchar_t, mbstate_t*);
wchar_t* wcschr(const wchar_t*, wchar_t);
int wcscmp(const wchar_t*, const wchar_t*);
size_t wcslen(const wchar_t*);
wchar_t* wcspbrk(const wchar_t*, const wchar_t*);
wchar_t* wcsrchr(const wchar_t*, wchar_t);
wchar_t* wcsstr(const wchar_t*, const wchar_t*);
wchar_t* wmemchr(const wchar_t*, wchar_t, size_t);
int wmemcmp(const wchar_t*, const wchar_t*, size_t);
wchar_t* wmemcpy(wchar_t*, const wchar_t*, size_t);
wchar_t* wmemmove(wchar_t*, const wchar_t*, size_t);
wchar_t* wmemset(wchar_t*, wchar_t, size_t);
#ifdef __cplusplus
}
#endif

#endif
