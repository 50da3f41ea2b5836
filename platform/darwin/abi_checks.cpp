// The device's ABI constants that the hand-written headers of this folder (and the adapter's
// declarations of Apple's runtime) must match. A wrong constant would compile silently and fail
// only on the device; here it fails the build. Compiled for every slice, linked into nothing.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/event.h>
#include <time.h>
#include <wchar.h>

#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/objc/runtime.hpp"

#if !defined(__APPLE__)
#error "the device's ABI is checked in the device's build only"
#endif

namespace {

constexpr bool k64 = sizeof(void*) == 8;

// Word sizes: LP64 on arm64, ILP32 on armv7; wchar_t is 32 bits on both.
static_assert(sizeof(long) == sizeof(void*));
static_assert(sizeof(wchar_t) == 4 && sizeof(wint_t) == 4);
static_assert(sizeof(long long) == 8);

// The C++ layouts the exports carry (convertFromHex and hextodec take a std::string, hextodec a
// std::vector): the device's libc++, std::__1, with the alternate string layout on arm64.
static_assert(sizeof(std::string) == 3 * sizeof(void*));
static_assert(sizeof(std::vector<unsigned char>) == 3 * sizeof(void*));
#if defined(__aarch64__)
#if !defined(_LIBCPP_ABI_ALTERNATE_STRING_LAYOUT)
#error "arm64's libc++ lays std::string out in the alternate layout"
#endif
#else
#if defined(_LIBCPP_ABI_ALTERNATE_STRING_LAYOUT)
#error "armv7's libc++ lays std::string out in the standard layout"
#endif
#endif
static_assert(_LIBCPP_ABI_VERSION == 1);

// The C library's objects: a multibyte state of 128 bytes, pthread objects of the device's sizes
// whose static initialiser carries the signature the C library checks.
static_assert(sizeof(mbstate_t) == 128);
static_assert(sizeof(pthread_mutex_t) == (k64 ? 64 : 44));
static_assert(sizeof(pthread_cond_t) == (k64 ? 48 : 28));
static_assert(sizeof(pthread_once_t) == (k64 ? 16 : 8));
static_assert(sizeof(std::mutex) == sizeof(pthread_mutex_t));
constexpr pthread_mutex_t kMutex = PTHREAD_MUTEX_INITIALIZER;
static_assert(kMutex.__sig == 0x32AAABA7);
static_assert(sizeof(timespec) == 2 * sizeof(long));
static_assert(sizeof(fpos_t) == 8);
// The file watch's kqueue entries: kevent() reads and writes arrays of them.
static_assert(sizeof(struct kevent) == (k64 ? 32 : 20));
static_assert(offsetof(struct kevent, udata) == (k64 ? 24 : 16));

// BSD error numbers, where they part from Linux's.
static_assert(EAGAIN == 35 && EDEADLK == 11 && ENOTSUP == 45 && EOPNOTSUPP == 102);
static_assert(ETIMEDOUT == 60 && ELOOP == 62 && ENAMETOOLONG == 63 && ENOTEMPTY == 66);
static_assert(ENOSYS == 78 && EOVERFLOW == 84 && ECANCELED == 89 && EILSEQ == 92);
static_assert(EOWNERDEAD == 105 && ENOTRECOVERABLE == 104);

// The runtime's types: BOOL is bool on arm64 and signed char on armv7; CGFloat follows the word.
#if defined(__aarch64__)
static_assert(std::is_same_v<BOOL, bool>);
#else
static_assert(std::is_same_v<BOOL, signed char>);
#endif
static_assert(sizeof(objc::CGFloat) == sizeof(void*));
static_assert(sizeof(objc_super) == 2 * sizeof(void*));

}  // namespace
