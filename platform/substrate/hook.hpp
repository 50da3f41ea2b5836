// The core of the hooking library, under its own names: MSHookMessageEx only translates.
#pragma once

#include "platform/objc/runtime.hpp"

namespace substrate {

enum class HookOutcome {
  replaced,    // the class's own method now runs HOOK; *original holds the previous one
  overridden,  // an override running HOOK was added to the class; *original holds a stub
  nilClass,    // nothing installed, *original untouched (as for all the outcomes below)
  nilSelector,
  nilHook,
  notAnswered,  // the class does not answer the selector
  noStubLeft,   // the method is inherited and the pool of super-call stubs is used up
  failed,  // the runtime refused the override (*original then holds an unused stub), or no memory
};

// Makes SELECTOR of CLS run HOOK, as MSHookMessageEx in substrate.h says, and tells what it did.
// ORIGINAL may be null. *ORIGINAL is stored with release ordering before HOOK becomes reachable.
// Calls are serialised with each other. Hooking a method of the class's own is safe while other
// threads message the class: it is one method_setImplementation, except that a subclass still
// holding the old implementation in a private part of its dispatch table gets that table rebuilt.
// An inherited method adds a method and rebuilds the class's table. Both rebuilds need the
// classes concerned to be left alone meanwhile, as at load time. The lookup that precedes the
// change may run +initialize of the class and of its subclasses, as their first message would.
HookOutcome hookMessage(Class cls, SEL selector, IMP hook, IMP* original);

}  // namespace substrate
