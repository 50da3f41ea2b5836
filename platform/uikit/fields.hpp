// Instance variables of the UIKit stand-in's classes, kept inline in the instances.
//
// Internal to the stand-in frameworks (UIKit, SpringBoard): the system's own code never includes
// this. State that is plain data (colour components, object references) lives directly in an
// instance variable rather than behind foundation::Payload: `alloc` zero-fills instances, so a
// colour or a view is usable even before (or without) an init method, as on the device, and no
// per-instance heap allocation is needed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/foundation/object.hpp"
#include "platform/objc/runtime.hpp"

namespace uikit {

// An instance variable of trivially copyable type T. Declared on a class under construction,
// bound once after registration (during the load-time constructor, before other threads run).
template <class T>
class Field {
 public:
  constexpr explicit Field(const char* name) : name_(name) {}

  // Adds the variable to a class under construction; TYPE is its runtime type encoding.
  void declare(objc::ClassBuilder& b, const char* type) const {
    b.ivar(name_, sizeof(T), log2Alignment(), type);
  }
  void bind(Class cls) { offset_ = objc::ivarOffset(cls, name_); }
  T& of(objc::id self) const {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + offset_);
  }

 private:
  static constexpr std::uint8_t log2Alignment() {
    std::uint8_t n = 0;
    while ((std::size_t{1} << n) < alignof(T)) ++n;
    return n;
  }
  const char* name_;
  std::ptrdiff_t offset_ = 0;
};

// An object reference that the instance owns (one retain), released by the class's dealloc.
class ObjectField {
 public:
  constexpr explicit ObjectField(const char* name) : field_(name) {}
  void declare(objc::ClassBuilder& b) const { field_.declare(b, "@"); }
  void bind(Class cls) { field_.bind(cls); }

  // The stored object, not retained for the caller (nil when unset).
  objc::id get(objc::id self) const { return field_.of(self); }
  // The stored object retained and autoreleased, as the device's getters hand out objects.
  objc::id getAutoreleased(objc::id self) const {
    return foundation::autorelease(foundation::retain(field_.of(self)));
  }
  // Retains VALUE, stores it, then releases the previous object (in that order, so that storing
  // the object already held is safe).
  void set(objc::id self, objc::id value) const {
    foundation::retain(value);
    objc::id old = field_.of(self);
    field_.of(self) = value;
    foundation::release(old);
  }
  // Releases the stored object and leaves nil (for dealloc).
  void clear(objc::id self) const { set(self, nullptr); }

 private:
  Field<objc::id> field_;
};

}  // namespace uikit
