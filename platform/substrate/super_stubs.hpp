// Stubs that call a superclass's implementation as it is at the time of each call.
//
// A stub is a real function address: it takes whatever arguments the method takes (every
// argument register, integer and SSE, and the stack are passed on untouched) and jumps to
// class_getMethodImplementation(superclass, selector) looked up afresh at each call, so a later
// change to the superclass's method is followed. The stubs come from a fixed pool of
// machine code; they are never taken back.
#pragma once

#include <cstddef>

#include "platform/objc/runtime.hpp"
#include "platform/substrate/super_stubs_layout.h"

namespace substrate {

inline constexpr std::size_t kSuperStubCount = VYR_SUPER_STUB_COUNT;

// The stub for SUPERCLASS and SELECTOR: the same stub for the same pair, a new one otherwise.
// Null when SUPERCLASS or SELECTOR is null or every stub of the pool is taken. Thread-safe.
IMP superCallStub(Class superclass, SEL selector);

}  // namespace substrate
