// The device's header as this library's sources include it: everything it declares is exported
// (the library is built with hidden visibility). Include this before anything that includes
// CoreFoundation.h, so that no source sees those declarations hidden: one hidden reference
// would hide the symbol for the whole library.
#pragma once

#include "platform/objc/runtime.hpp"

#pragma GCC visibility push(default)
#include "platform/corefoundation/CoreFoundation.h"
#pragma GCC visibility pop
