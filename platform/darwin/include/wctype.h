/* The device's <wctype.h>, as far as the C++ library uses it. */
#ifndef VYR_DARWIN_WCTYPE_H
#define VYR_DARWIN_WCTYPE_H

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif
typedef unsigned long wctype_t;
int iswalpha(wint_t);
int iswdigit(wint_t);
int iswspace(wint_t);
int iswupper(wint_t);
int iswlower(wint_t);
wint_t towlower(wint_t);
wint_t towupper(wint_t);
#ifdef __cplusplus
}
#endif

#endif
