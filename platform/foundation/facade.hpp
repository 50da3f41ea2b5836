// Typed facades over Foundation's classes, for code that uses Foundation as a client would.
//
// Each facade is a plain non-owning handle around an object pointer; each of its functions sends
// the real message of the same name (a dictionary's objectForKey sends objectForKey:), so this code
// would run unchanged against the device's own Foundation. Ownership follows the platform's rules
// and is stated on each function: "owned" results (alloc/init, copy, new) come in an Owned handle,
// which releases the reference when it goes out of scope; "autoreleased" ones belong to the
// innermost autorelease pool of the calling thread.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "platform/objc/runtime.hpp"

extern "C" {
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* pool);
// Formats like printf, with %@ for an object's description, and writes one line to the log
// (standard error in the simulator).
void NSLog(objc::id format, ...);
}

namespace ns {

using objc::id;

// An autorelease pool for the lifetime of the scope.
class AutoreleasePool {
 public:
  AutoreleasePool() : pool_(objc_autoreleasePoolPush()) {}
  ~AutoreleasePool() { objc_autoreleasePoolPop(pool_); }
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;

 private:
  void* pool_;
};

class Object {
 public:
  Object() = default;
  explicit Object(id self) : self_(self) {}
  id get() const { return self_; }
  explicit operator bool() const { return self_ != nullptr; }
  bool isNil() const { return self_ == nullptr; }

  void retain() const { objc::send<"retain">(self_); }
  void release() const { objc::send<"release", void>(self_); }
  void autorelease() const { objc::send<"autorelease">(self_); }
  bool isKindOfClass(Class cls) const {
    return objc::send<"isKindOfClass:", objc::BOOL>(self_, objc::asId(cls)) != 0;
  }
  bool respondsToSelector(SEL cmd) const {
    return objc::send<"respondsToSelector:", objc::BOOL>(self_, cmd) != 0;
  }
  // The platform's readings of a stored value: NSNumber and NSString answer all three.
  bool boolValue() const { return objc::send<"boolValue", objc::BOOL>(self_) != 0; }
  int intValue() const { return objc::send<"intValue", int>(self_); }
  float floatValue() const { return objc::send<"floatValue", float>(self_); }

 protected:
  id self_ = nullptr;
};

// The one owner of a +1 reference (what alloc/init, copy, mutableCopy and new hand their caller),
// for a facade type T. Move-only: a move hands the reference on and leaves the source nil; the
// reference is released exactly once, when the handle that holds it last is destroyed or reset.
// Messages go through ->, as to the facade itself.
template <class T>
class Owned {
 public:
  Owned() = default;
  // Takes over the reference that OBJECT carries (nil allowed).
  explicit Owned(T object) noexcept : object_(object) {}
  Owned(Owned&& other) noexcept : object_(other.take()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) reset(other.take());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  // The object, not owned by the caller: valid while this handle holds it (so never asked of a
  // temporary handle, which would release it at once).
  T get() const& { return object_; }
  T get() const&& = delete;
  const T* operator->() const { return &object_; }
  explicit operator bool() const { return bool(object_); }
  bool isNil() const { return object_.isNil(); }

  // Releases the reference held (if any) and holds OBJECT's instead.
  void reset(T object = T()) noexcept {
    const T old = object_;
    object_ = object;
    old.release();  // a message to nil does nothing
  }
  // Gives the reference up to the caller, who now owns it; the handle is left nil.
  [[nodiscard]] T take() noexcept {
    const T object = object_;
    object_ = T();
    return object;
  }
  // Hands the reference to the calling thread's innermost autorelease pool: the object stays
  // valid for the pool's lifetime, owned by nobody here.
  T autorelease() && noexcept {
    const T object = take();
    object.autorelease();
    return object;
  }

 private:
  T object_;
};

class Array;

class String : public Object {
 public:
  using Object::Object;
  // An autoreleased string holding UTF-8 TEXT (invalid UTF-8 is kept byte for byte).
  static String withUTF8(const char* text) {
    return String(objc::send<"stringWithUTF8String:", id>(cls(), text));
  }
  // A string that lives for the whole process, made once per distinct literal (what @"..." is).
  template <objc::Name N>
  static String literal() {
    static const String s = [] {
      String made = withUTF8(N.text);
      made.retain();
      return made;
    }();
    return s;
  }
  // stringWithFormat: with one object argument (the only form this project needs), autoreleased.
  static String withFormat(String format, id argument) {
    return String(objc::sendVariadic<id>(objc::asId(cls()), objc::sel<"stringWithFormat:">(),
                                         format.get(), argument));
  }
  unsigned long length() const { return objc::send<"length", unsigned long>(self_); }
  bool hasPrefix(String prefix) const {
    return objc::send<"hasPrefix:", objc::BOOL>(self_, prefix.get()) != 0;
  }
  String substringFromIndex(unsigned long index) const {
    return String(objc::send<"substringFromIndex:", id>(self_, index));
  }
  // NUL-terminated UTF-8 owned by the string (or an autoreleased buffer): valid while it lives.
  const char* UTF8String() const { return objc::send<"UTF8String", const char*>(self_); }
  Array componentsSeparatedByString(String separator) const;
  objc::NSRange rangeOfString(String other) const {
    return objc::send<"rangeOfString:", objc::NSRange>(self_, other.get());
  }
  bool isEqualToString(String other) const {
    return objc::send<"isEqualToString:", objc::BOOL>(self_, other.get()) != 0;
  }
  std::string str() const {
    const char* text = UTF8String();
    return text ? std::string(text) : std::string();
  }
  static Class cls() { return objc::getClass("NSString"); }
};

class Number : public Object {
 public:
  using Object::Object;
  static Number withBool(bool v) {
    return Number(objc::send<"numberWithBool:", id>(cls(), v ? objc::yes : objc::no));
  }
  static Number withInt(int v) { return Number(objc::send<"numberWithInt:", id>(cls(), v)); }
  static Number withLongLong(long long v) {
    return Number(objc::send<"numberWithLongLong:", id>(cls(), v));
  }
  static Number withDouble(double v) {
    return Number(objc::send<"numberWithDouble:", id>(cls(), v));
  }
  // The type encoding of the value it was made with: "c" for a Boolean, "q" or "Q" for an
  // integer, "d" for a real number.
  std::string objCType() const {
    const char* type = objc::send<"objCType", const char*>(self_);
    return type != nullptr ? type : "";
  }
  long long longLongValue() const { return objc::send<"longLongValue", long long>(self_); }
  static Class cls() { return objc::getClass("NSNumber"); }
};

class Array : public Object {
 public:
  using Object::Object;
  unsigned long count() const { return objc::send<"count", unsigned long>(self_); }
  id objectAtIndex(unsigned long i) const { return objc::send<"objectAtIndex:", id>(self_, i); }
  id objectAtIndexedSubscript(unsigned long i) const {
    return objc::send<"objectAtIndexedSubscript:", id>(self_, i);
  }
  static Class cls() { return objc::getClass("NSArray"); }
};

inline Array String::componentsSeparatedByString(String separator) const {
  return Array(objc::send<"componentsSeparatedByString:", id>(self_, separator.get()));
}

class Dictionary : public Object {
 public:
  using Object::Object;
  // A new dictionary read from the property-list file at device path PATH, owned by the caller;
  // nil when the file is missing, unreadable or not a property list with a dictionary root.
  static Owned<Dictionary> allocInitWithContentsOfFile(String path) {
    id fresh = objc::send<"alloc">(cls());
    return Owned(Dictionary(objc::send<"initWithContentsOfFile:", id>(fresh, path.get())));
  }
  // The value under KEY, or nil; not owned by the caller.
  id objectForKey(id key) const { return objc::send<"objectForKey:", id>(self_, key); }
  unsigned long count() const { return objc::send<"count", unsigned long>(self_); }
  Array allKeys() const { return Array(objc::send<"allKeys", id>(self_)); }
  // Writes the dictionary as a property list to device path PATH.
  bool writeToFile(String path, bool atomically) const {
    return objc::send<"writeToFile:atomically:", objc::BOOL>(
               self_, path.get(), atomically ? objc::yes : objc::no) != 0;
  }
  static Class cls() { return objc::getClass("NSDictionary"); }
};

class MutableDictionary : public Dictionary {
 public:
  using Dictionary::Dictionary;
  // As Dictionary's, for a mutable dictionary.
  static Owned<MutableDictionary> allocInitWithContentsOfFile(String path) {
    id fresh = objc::send<"alloc">(cls());
    return Owned(MutableDictionary(objc::send<"initWithContentsOfFile:", id>(fresh, path.get())));
  }
  // The same read, autoreleased.
  static MutableDictionary dictionaryWithContentsOfFile(String path) {
    return MutableDictionary(objc::send<"dictionaryWithContentsOfFile:", id>(cls(), path.get()));
  }
  // A new empty dictionary, autoreleased.
  static MutableDictionary dictionary() {
    return MutableDictionary(objc::send<"dictionary", id>(cls()));
  }
  void setObjectForKey(id value, id key) const {
    objc::send<"setObject:forKey:", void>(self_, value, key);
  }
  void removeObjectForKey(id key) const { objc::send<"removeObjectForKey:", void>(self_, key); }
  static Class cls() { return objc::getClass("NSMutableDictionary"); }
};

class URL : public Object {
 public:
  using Object::Object;
  // An autoreleased URL, or nil when TEXT is not a URL.
  static URL withString(String text) {
    return URL(objc::send<"URLWithString:", id>(objc::getClass("NSURL"), text.get()));
  }
  String absoluteString() const { return String(objc::send<"absoluteString", id>(self_)); }
};

}  // namespace ns
