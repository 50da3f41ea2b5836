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
  notAdded,     // the runtime refused the override (*original already holds the stub, unused)
};

// Makes SELECTOR of CLS run HOOK, as MSHookMessageEx in substrate.h says, and tells what it did.
// ORIGINAL may be null. *ORIGINAL is stored with release ordering before HOOK becomes reachable.
// Calls are serialised with each other; thread-safe against threads that message the class for
// a method of the class's own (an inherited one adds a method: install those before other
// threads message the class).
HookOutcome hookMessage(Class cls, SEL selector, IMP hook, IMP* original);

}  // namespace substrate
