// What the Preferences stand-in's source files share among themselves. Internal: neither the
// system's own code nor the colour-picker stand-in includes this (they use facade.hpp).
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/facade.hpp"
#include "platform/objc/runtime.hpp"
#include "platform/preferences/facade.hpp"

namespace preferences {

// Registers the framework's classes with the runtime. The library's one load-time constructor
// calls these in this order (a superclass always comes first), adding every method before
// registering, since adding methods later is unsafe under running threads.
void registerSpecifier();       // PSSpecifier
void registerListController();  // PSListController (a UIViewController)
void registerCells();           // PSTableCell and the framework's own cell kinds

// A new specifier with a copy of PROPERTIES (one item of a specifier list) and TARGET (not
// retained). Owned by the caller.
objc::id makeSpecifier(ns::Dictionary properties, objc::id target);

// The specifiers of the specifier-list file at device path PATH (a property list whose "items"
// array holds one dictionary per row), each with TARGET; autoreleased. Nil when the file is
// missing or unreadable or has no "items" array; items that are not dictionaries are skipped.
ns::Array specifiersFromFile(ns::String path, objc::id target);

// The cell class for SPECIFIER: its "cellClass" property when that names a subclass of
// PSTableCell, else the framework's own class for its cell type; nil for a group (a group is a
// header, not a cell).
Class cellClassFor(ps::Specifier specifier);

// An autoreleased NSArray of the COUNT objects at OBJECTS.
ns::Array makeArray(const objc::id* objects, unsigned long count);

// Runs BODY, swallowing any C++ exception: a method implementation must never let one escape
// into the runtime's caller. Returns FALLBACK when BODY threw.
template <class R, class F>
R guarded(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}
template <class F>
void guarded(F&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace preferences
