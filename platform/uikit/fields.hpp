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
#include <type_traits>

#include "platform/foundation/object.hpp"
#include "platform/objc/runtime.hpp"

namespace uikit {

// An instance variable of trivially copyable type T. Declared on a class under construction,
// bound once after registration (during the load-time constructor, before other threads run).
template <class T>
class Field {
 public:
  using Type = T;
  // TYPE is the variable's runtime type encoding: the device's for T unless given.
  constexpr explicit Field(const char* name, const char* type = objc::Encoding<T>::value)
      : name_(name), type_(type) {}

  // Adds the variable to a class under construction.
  void declare(objc::ClassBuilder& b) const { b.ivar(name_, sizeof(T), log2Alignment(), type_); }
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
  const char* type_;
  std::ptrdiff_t offset_ = 0;
};

// An object reference that the instance owns (one retain), released by the class's dealloc.
class ObjectField {
 public:
  constexpr explicit ObjectField(const char* name) : field_(name) {}
  void declare(objc::ClassBuilder& b) const { field_.declare(b); }
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

// Methods for the accessors that do nothing more than read or write one field, with the device's
// memory rules: a getter hands out its object retained and autoreleased, a setter retains (or,
// for titles, copies) what it stores. Use as `.method("title", &getObject<gTitle>)`.
template <const ObjectField& F>
objc::id getObject(objc::id self, objc::SEL) {
  return F.getAutoreleased(self);
}
template <const ObjectField& F>
void setObject(objc::id self, objc::SEL, objc::id value) {
  F.set(self, value);
}
// Stores a copy of VALUE, so that a mutable string changed later does not change what is stored.
inline void setCopy(const ObjectField& field, objc::id self, objc::id value) {
  objc::id copy = objc::send<"copy">(value);
  field.set(self, copy);
  foundation::release(copy);
}
template <const ObjectField& F>
void setCopyOf(objc::id self, objc::SEL, objc::id value) {
  setCopy(F, self, value);
}
// A plain field's value, and its setter (no retain: an object in a plain field is a weak
// reference, as a target is).
template <const auto& F>
typename std::remove_cvref_t<decltype(F)>::Type getValue(objc::id self, objc::SEL) {
  return F.of(self);
}
template <const auto& F>
void setValue(objc::id self, objc::SEL, typename std::remove_cvref_t<decltype(F)>::Type value) {
  F.of(self) = value;
}

// A dealloc that releases the objects of FIELDS, then runs the superclass's dealloc of IMPLEMENTOR
// (the class the method is added to, once registered).
template <const Class& Implementor, const ObjectField&... Fields>
void releaseAndDealloc(objc::id self, objc::SEL) {
  (Fields.clear(self), ...);
  foundation::deallocSuper(self, Implementor);
}

}  // namespace uikit
