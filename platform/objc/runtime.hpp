// The one adapter between C++ and GCC's Objective-C runtime.
//
// Everything in this project that talks to the runtime goes through this header: it is the only
// place that includes <objc/runtime.h>. It gives typed message sending (an IMP is always called
// through its exact function type, never through the variadic IMP type, which would promote
// float to double), selectors cached once per call site, and a small builder for classes made at
// run time.
#pragma once

#if defined(__APPLE__)
// The device's build: Apple's runtime, by its public functions.
#include "platform/objc/apple_runtime.hpp"
#else
#if defined(__arm__) || defined(__aarch64__)
// On ARM the device's BOOL is not GCC's unsigned char (see below), and it must be the one BOOL of
// the program, so <objc/objc.h> is not used there: its few basic types are declared here, as GCC
// declares them, with the device's BOOL. Across the runtime's functions a BOOL is only ever 0 or
// 1, which signed char, bool and unsigned char all pass alike.
#define __objc_INCLUDE_GNU
#define __GNU_LIBOBJC__ 20110608
#include <stddef.h>
extern "C" {
#if defined(__arm__)
typedef signed char BOOL;
#else
typedef bool BOOL;
#endif
typedef const struct objc_selector* SEL;
typedef struct objc_class* Class;
typedef struct objc_object {
  Class class_pointer;
} * id;
typedef id (*IMP)(id, SEL, ...);
typedef struct objc_object Protocol;
}
#define YES static_cast<BOOL>(1)
#define NO static_cast<BOOL>(0)
#define nil static_cast<id>(nullptr)
#define Nil static_cast<Class>(nullptr)
#endif

#include <objc/message.h>
#include <objc/runtime.h>
#endif

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>

namespace objc {

using ::Class;
using ::id;
using ::IMP;
using ::SEL;

// The device's basic types, for the processor this is built for, settled here once. They follow
// the device's own definitions: armv7 has a float CGFloat, a signed char BOOL and an int
// NSInteger; arm64 a double CGFloat, a bool BOOL (both BOOLs declared above) and a long NSInteger.
// The x86-64 host plays a 64-bit device with GCC's runtime, whose BOOL (unsigned char) it keeps: a
// BOOL here is only ever 0 or 1, as with the device's bool, and GCC's headers declare it.
using ::BOOL;
#if defined(__arm__)
using CGFloat = float;
using NSInteger = int;
using NSUInteger = unsigned int;
#else
using CGFloat = double;
using NSInteger = long;
using NSUInteger = unsigned long;
#endif

inline constexpr BOOL yes = 1;
inline constexpr BOOL no = 0;

// A range of characters or elements, as Foundation returns it by value.
struct NSRange {
  unsigned long location;
  unsigned long length;
};
inline constexpr unsigned long NSNotFound = static_cast<unsigned long>(LONG_MAX);

// A selector name fixed at compile time, so that each use caches its SEL once.
template <std::size_t N>
struct Name {
  char text[N];
  constexpr Name(const char (&s)[N]) {  // NOLINT(google-explicit-constructor): used as a literal
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

// The selector for NAME, registered with the runtime on first use and cached afterwards.
template <Name N>
SEL sel() {
  static const SEL cached = sel_registerName(N.text);
  return cached;
}

inline id asId(Class cls) {
  return reinterpret_cast<id>(cls);
}
inline Class asClass(id obj) {
  return reinterpret_cast<Class>(obj);
}

// The class registered under NAME in this process, or nullptr.
inline Class getClass(const char* name) {
  return objc_lookUpClass(name);
}

// Calls IMP with exactly the argument and result types given.
template <class R, class... A>
R callImp(IMP imp, id self, SEL cmd, A... args) {
  using Fn = R (*)(id, SEL, A...);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(imp))(self, cmd, args...);
}

// Sends CMD to SELF. A message to nil does nothing and yields a zero of the result type, for every
// result type: the raw runtime leaves floating-point and struct results undefined there.
template <class R = id, class... A>
R send(id self, SEL cmd, A... args) {
  if (self == nullptr) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else {
      return R{};
    }
  }
  return callImp<R, A...>(objc_msg_lookup(self, cmd), self, cmd, args...);
}

template <Name N, class R = id, class... A>
R send(id self, A... args) {
  return send<R, A...>(self, sel<N>(), args...);
}

template <Name N, class R = id, class... A>
R send(Class cls, A... args) {
  return send<R, A...>(asId(cls), sel<N>(), args...);
}

// Sends CMD to a method declared variadic after one named argument (stringWithFormat: and the
// like): NAMED travels as the named argument it is, the rest as the variadic part, with C's
// default promotions. The two must not be mixed up: on the device's arm64 the variadic part goes
// on the stack while the method reads its named arguments from registers.
template <class R = id, class Named, class... A>
R sendVariadic(id self, SEL cmd, Named named, A... args) {
  if (self == nullptr) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else {
      return R{};
    }
  }
  using Fn = R (*)(id, SEL, Named, ...);
  IMP imp = objc_msg_lookup(self, cmd);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(imp))(self, cmd, named, args...);
}

// Sends CMD to SELF starting the method search at the superclass of IMPLEMENTOR, the class whose
// method is making this call (what `[super ...]` does).
template <class R = id, class... A>
R sendSuper(id self, Class implementor, SEL cmd, A... args) {
  struct objc_super sup {
    self, class_getSuperclass(implementor)
  };
  return callImp<R, A...>(objc_msg_lookup_super(&sup, cmd), self, cmd, args...);
}

// Whether OBJ answers CMD.
inline bool respondsTo(id obj, SEL cmd) {
  return obj != nullptr && class_respondsToSelector(object_getClass(obj), cmd) != no;
}

inline const char* className(id obj) {
  return obj ? object_getClassName(obj) : "nil";
}

inline bool isKindOf(id obj, Class cls) {
  if (obj == nullptr || cls == nullptr) return false;
  for (Class c = object_getClass(obj); c != nullptr; c = class_getSuperclass(c)) {
    if (c == cls) return true;
  }
  return false;
}

// Type encodings of the argument and result types that methods of this project use, as the
// device's compiler writes them for this word size: on a 64-bit device `long` is "q" (there "l"
// means 32 bits) and a BOOL is "B"; on armv7 a BOOL is "c". The x86-64 host keeps GCC's BOOL, an
// unsigned char, "C".
template <class T>
struct Encoding;
#define VYR_OBJC_ENCODING(T, E)             \
  template <>                               \
  struct Encoding<T> {                      \
    static constexpr const char* value = E; \
  }
VYR_OBJC_ENCODING(void, "v");
VYR_OBJC_ENCODING(id, "@");
VYR_OBJC_ENCODING(Class, "#");
VYR_OBJC_ENCODING(SEL, ":");
#if defined(__arm__)
VYR_OBJC_ENCODING(BOOL, "c");
VYR_OBJC_ENCODING(unsigned char, "C");
#elif defined(__aarch64__)
VYR_OBJC_ENCODING(BOOL, "B");
VYR_OBJC_ENCODING(unsigned char, "C");
#else
VYR_OBJC_ENCODING(BOOL, "C");
#endif
VYR_OBJC_ENCODING(char, "c");
VYR_OBJC_ENCODING(int, "i");
VYR_OBJC_ENCODING(unsigned, "I");
#if defined(__LP64__)
VYR_OBJC_ENCODING(long, "q");
VYR_OBJC_ENCODING(unsigned long, "Q");
#else
VYR_OBJC_ENCODING(long, "l");
VYR_OBJC_ENCODING(unsigned long, "L");
#endif
VYR_OBJC_ENCODING(long long, "q");
VYR_OBJC_ENCODING(unsigned long long, "Q");
VYR_OBJC_ENCODING(float, "f");
VYR_OBJC_ENCODING(double, "d");
VYR_OBJC_ENCODING(const char*, "r*");
VYR_OBJC_ENCODING(void*, "^v");
VYR_OBJC_ENCODING(NSRange, sizeof(unsigned long) == 8 ? "{_NSRange=QQ}" : "{_NSRange=LL}");
VYR_OBJC_ENCODING(CGFloat*, sizeof(CGFloat) == sizeof(float) ? "^f" : "^d");
#undef VYR_OBJC_ENCODING

// Not constexpr: reached while an encoding is made at compile time, it fails the build.
[[noreturn]] inline void typeEncodingTooLong() {
  std::abort();
}

// The result and argument types of a method as its type encoding ("@@:ddB"), without the frame
// offsets the device's compiler puts between them: a fixed-size value, so that encodings can be
// made and compared at compile time.
struct Types {
  char text[40] = {};

  constexpr bool operator==(const Types& other) const {
    for (std::size_t i = 0; i < sizeof text; ++i) {
      if (text[i] != other.text[i]) return false;
    }
    return true;
  }
  constexpr Types& append(const char* part) {
    std::size_t at = 0;
    while (text[at] != '\0') ++at;
    for (; *part != '\0'; ++part) {
      // A method with more arguments than fit is a mistake of this project's.
      if (at + 1 >= sizeof text) typeEncodingTooLong();
      text[at++] = *part;
    }
    return *this;
  }
};

template <class R, class... A>
constexpr Types typesOf() {
  Types t;
  t.append(Encoding<R>::value).append("@:");
  (t.append(Encoding<A>::value), ...);
  return t;
}

// The types of a method implemented by FN, which takes the receiver and the selector first.
template <class R, class... A>
constexpr Types typesOf(R (*)(id, SEL, A...)) {
  return typesOf<R, A...>();
}

template <class R, class... A>
std::string typeEncoding() {
  return typesOf<R, A...>().text;
}

// Whether two type encodings name the same result and argument types, whatever frame offsets or
// type qualifiers (const, in, out, ...) either carries: the device's runtime reports "@24@0:8d16",
// a method made here "@@:d".
bool sameTypes(const char* a, const char* b);

// The type encoding of the method that answers CMD for instances of CLS (its own or inherited),
// nullptr when none does. The string belongs to the runtime and lives as long as the method.
const char* methodTypes(Class cls, SEL cmd);

// Builds a class at run time and registers it with the runtime.
//
// A root class (no superclass) gets the `isa` instance variable that GCC's runtime expects its
// instances to begin with. Methods must all be added here, before the class is registered and
// before any thread sends it messages: adding a method later rebuilds dispatch tables under
// running threads.
class ClassBuilder {
 public:
  ClassBuilder(const char* name, Class superclass);

  template <class R, class... A>
  ClassBuilder& method(const char* selector, R (*fn)(id, SEL, A...)) {
    return addMethod(false, selector, reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(fn)),
                     typeEncoding<R, A...>());
  }
  template <class R, class... A>
  ClassBuilder& classMethod(const char* selector, R (*fn)(id, SEL, A...)) {
    return addMethod(true, selector, reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(fn)),
                     typeEncoding<R, A...>());
  }
  // Adds an instance variable of SIZE bytes aligned to 2^LOG2ALIGN.
  ClassBuilder& ivar(const char* name, std::size_t size, std::uint8_t log2Align, const char* type);

  // Registers the class and returns it. A class of that name that is already registered is
  // returned unchanged instead (a second registration would silently fail).
  Class finish();

 private:
  ClassBuilder& addMethod(bool onMeta, const char* selector, IMP imp, const std::string& types);
  Class cls_;
  Class existing_;
};

// Where an instance variable lives in its instances, found once by name.
std::ptrdiff_t ivarOffset(Class cls, const char* name);

// Makes a failed message send (a selector nothing answers) end the process with a line that names
// the class and the selector, instead of crashing inside the runtime's forwarding code.
void installUnrecognisedSelectorHandler();

}  // namespace objc
