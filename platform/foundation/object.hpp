// The object model of the Foundation stand-in, for the other stand-in frameworks that define
// classes of their own (UIKit, Preferences, ...). The system's own code never includes this: it
// sends messages through the facades in facade.hpp, as it would on the device.
#pragma once

#include <atomic>

#include "platform/objc/runtime.hpp"

extern "C" {
// Autorelease pools, as the device's runtime exports them. Pools nest per thread; popping a pool
// releases, newest first, every object autoreleased on this thread since it was pushed.
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* pool);
}

namespace foundation {

// The root class. Instances are reference counted, thread-safely; the count starts at one owner.
Class rootClass();

// A fresh instance of CLS with one owner (what `alloc` returns).
objc::id allocInstance(Class cls);

// Makes OBJ immortal: retain and release no longer change it (used for constant strings and
// shared singletons).
void makeImmortal(objc::id obj);

// Adds OBJ to the innermost autorelease pool of this thread; with no pool in place the object is
// leaked, as on the device.
objc::id autorelease(objc::id obj);
objc::id retain(objc::id obj);
void release(objc::id obj);
long retainCount(objc::id obj);

// A C++ object owned by an instance through a pointer-sized instance variable. The class that
// declares the variable deletes the object in its dealloc.
template <class T>
class Payload {
 public:
  constexpr explicit Payload(const char* ivarName) : name_(ivarName) {}
  // Adds the instance variable to a class under construction.
  void declare(objc::ClassBuilder& b) const { b.ivar(name_, sizeof(void*), 3, "^v"); }
  // Binds to the registered class; call once after finish().
  void bind(Class cls) { offset_.store(objc::ivarOffset(cls, name_), std::memory_order_release); }
  T*& of(objc::id self) const {
    return *reinterpret_cast<T**>(reinterpret_cast<char*>(self) +
                                  offset_.load(std::memory_order_acquire));
  }

 private:
  const char* name_;
  std::atomic<std::ptrdiff_t> offset_{0};
};

// Finishes a dealloc chain: runs the superclass's dealloc of IMPLEMENTOR on SELF.
void deallocSuper(objc::id self, Class implementor);

// Registers the class under construction in B with FIELDS as its instance variables (Payload, or
// any field with declare(ClassBuilder&) and bind(Class)), and binds each field to the class it
// returns: one call, so that no field is declared and left unbound, or bound to another class.
template <class... Fields>
Class finishWithFields(objc::ClassBuilder& b, Fields&... fields) {
  (fields.declare(b), ...);
  const Class cls = b.finish();
  (fields.bind(cls), ...);
  return cls;
}

// The NSString for TEXT (UTF-8, NUL-terminated) that lives until the process ends: the same object
// for every call with the same text, from any thread. Not owned by the caller; retain and release
// do nothing to it. Nil for NULL (or when memory runs out). This is what a string literal is.
objc::id constantString(const char* text);

}  // namespace foundation
