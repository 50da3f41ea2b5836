#include "platform/substrate/hook.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/substrate/super_stubs.hpp"

// GCC's runtime rebuilds a class's dispatch table, and its subclasses', with this (class_addMethod
// uses it). Exported by libobjc though not declared in its headers.
extern "C" void __objc_update_dispatch_table_for_class(Class cls);

namespace substrate {
namespace {

std::mutex gLock;

// GCC's method_setImplementation writes the new IMP into the owning class's dispatch table only.
// Two consequences are fixed around it:
//  - a class that has never been messaged has no table of its own yet but shares the runtime's
//    "not installed" table, and the write would land there, making every class not yet messaged
//    answer the selector with the hook. Looking the method up first installs the class's table
//    (and, as any first message does, runs its +initialize).
//  - subclasses share their superclass's table lazily, in blocks of selectors; a subclass that has
//    a method of its own in the same block holds a private copy and keeps calling the old IMP.
//    Those (and only those) subclasses get their tables rebuilt, so that hooking a class whose
//    subclasses are all up to date stays a single method_setImplementation.
void installDispatchTable(Class cls, SEL selector) {
  class_getMethodImplementation(cls, selector);
}

bool inheritsFrom(Class cls, Class ancestor) {
  for (Class c = class_getSuperclass(cls); c != nullptr; c = class_getSuperclass(c)) {
    if (c == ancestor) return true;
  }
  return false;
}

void refreshStaleSubclasses(Class cls, Method method, SEL selector, IMP hook) {
  const int count = objc_getClassList(nullptr, 0);
  if (count <= 0) return;
  std::vector<Class> classes(static_cast<std::size_t>(count));
  const int got = objc_getClassList(classes.data(), count);
  classes.resize(static_cast<std::size_t>(std::max(got, 0)));
  const bool meta = class_isMetaClass(cls) != objc::no;
  for (Class c : classes) {
    if (meta) c = object_getClass(objc::asId(c));
    if (c == nullptr || !inheritsFrom(c, cls)) continue;
    // Only subclasses that inherit exactly this method can be stale.
    if (class_getInstanceMethod(c, selector) != method) continue;
    if (class_getMethodImplementation(c, selector) != hook) {
      __objc_update_dispatch_table_for_class(c);
    }
  }
}

// Whether METHOD is in CLS's own method list, rather than found in a superclass.
bool isOwnMethod(Class cls, Method method) {
  unsigned int count = 0;
  Method* methods = class_copyMethodList(cls, &count);
  bool own = false;
  for (unsigned int i = 0; i < count && !own; ++i) own = methods[i] == method;
  std::free(methods);
  return own;
}

void publish(IMP* original, IMP value) {
  if (original == nullptr) return;
  if (reinterpret_cast<std::uintptr_t>(original) % alignof(IMP) == 0) {
    std::atomic_ref<IMP>(*original).store(value, std::memory_order_release);
  } else {
    // A slot that is not aligned cannot be atomic; a plain write is the best it can get.
    std::memcpy(static_cast<void*>(original), &value, sizeof value);
  }
}

}  // namespace

HookOutcome hookMessage(Class cls, SEL selector, IMP hook, IMP* original) {
  if (cls == nullptr) return HookOutcome::nilClass;
  if (selector == nullptr) return HookOutcome::nilSelector;
  if (hook == nullptr) return HookOutcome::nilHook;
  std::lock_guard<std::mutex> guard(gLock);
  const Method method = class_getInstanceMethod(cls, selector);
  if (method == nullptr) return HookOutcome::notAnswered;

  if (isOwnMethod(cls, method)) {
    installDispatchTable(cls, selector);
    publish(original, method_getImplementation(method));
    method_setImplementation(method, hook);
    refreshStaleSubclasses(cls, method, selector, hook);
    return HookOutcome::replaced;
  }

  // Inherited: the method found belongs to an ancestor, and changing it would change the
  // superclass and every sibling. Add an override to CLS alone; what CLS inherited is reached
  // through a stub that looks the superclass's method up at each call.
  const IMP stub = superCallStub(class_getSuperclass(cls), selector);
  if (stub == nullptr) return HookOutcome::noStubLeft;
  publish(original, stub);
  if (class_addMethod(cls, selector, hook, method_getTypeEncoding(method)) == objc::no) {
    return HookOutcome::failed;
  }
  return HookOutcome::overridden;
}

}  // namespace substrate
