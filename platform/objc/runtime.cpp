#include "platform/objc/runtime.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace objc {
namespace {

// Type strings handed to the runtime must outlive every class: keep one copy of each for good.
const char* internTypes(const std::string& types) {
  static std::mutex lock;
  static std::set<std::string>* strings = new std::set<std::string>();
  std::lock_guard<std::mutex> guard(lock);
  return strings->insert(types).first->c_str();
}

#if !defined(__APPLE__)
void unrecognised(id self, SEL cmd) {
  std::fprintf(stderr, "*** -[%s %s]: unrecognized selector sent to instance %p\n", className(self),
               sel_getName(cmd), static_cast<void*>(self));
  std::abort();
}

IMP forwardHandler(id /*receiver*/, SEL /*cmd*/) {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&unrecognised));
}
#endif

}  // namespace

ClassBuilder::ClassBuilder(const char* name, Class superclass)
    : cls_(nullptr), existing_(objc_lookUpClass(name)) {
  if (existing_ != nullptr) return;
  cls_ = objc_allocateClassPair(superclass, name, 0);
  if (cls_ != nullptr && superclass == nullptr) {
    class_addIvar(cls_, "isa", sizeof(Class), 3, "#");
  }
}

ClassBuilder& ClassBuilder::addMethod(bool onMeta, const char* selector, IMP imp,
                                      const std::string& types) {
  if (cls_ == nullptr) return *this;
  Class target = onMeta ? object_getClass(asId(cls_)) : cls_;
  class_addMethod(target, sel_registerName(selector), imp, internTypes(types));
  return *this;
}

ClassBuilder& ClassBuilder::ivar(const char* name, std::size_t size, std::uint8_t log2Align,
                                 const char* type) {
  if (cls_ != nullptr) class_addIvar(cls_, name, size, log2Align, type);
  return *this;
}

Class ClassBuilder::finish() {
  if (existing_ != nullptr) return existing_;
  if (cls_ != nullptr) objc_registerClassPair(cls_);
  return cls_;
}

std::ptrdiff_t ivarOffset(Class cls, const char* name) {
  Ivar v = class_getInstanceVariable(cls, name);
  if (v == nullptr) {
    std::fprintf(stderr, "*** class %s has no instance variable %s\n", class_getName(cls), name);
    std::abort();
  }
  return ivar_getOffset(v);
}

namespace {

// The next character of a type encoding that names a type, past frame offsets and qualifiers.
const char* nextTypeChar(const char* p) {
  while (*p != '\0' && ((*p >= '0' && *p <= '9') || std::strchr("rnNoORV", *p) != nullptr)) ++p;
  return p;
}

}  // namespace

bool sameTypes(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  for (;;) {
    a = nextTypeChar(a);
    b = nextTypeChar(b);
    if (*a != *b) return false;
    if (*a == '\0') return true;
    ++a;
    ++b;
  }
}

const char* methodTypes(Class cls, SEL cmd) {
  if (cls == nullptr) return nullptr;
  Method m = class_getInstanceMethod(cls, cmd);
  return m == nullptr ? nullptr : method_getTypeEncoding(m);
}

void installUnrecognisedSelectorHandler() {
#if defined(__APPLE__)
  // The device's Foundation reports an unrecognised selector itself (an exception naming the
  // class and the selector); its forwarding is left alone.
#else
  __objc_msg_forward2 = &forwardHandler;
#endif
}

}  // namespace objc
