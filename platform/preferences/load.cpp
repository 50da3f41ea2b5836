// The Preferences stand-in's one load-time initialiser: every class is registered, with all of
// its methods, while the library loads and before any thread can message it. One constructor
// calls the registrations in order (superclasses first), since the order of several constructors
// is not reliable across compilers and link-time optimisation. Foundation and UIKit, which this
// library links, have registered their classes by then.
#include "platform/foundation/object.hpp"
#include "platform/preferences/internal.hpp"

namespace preferences {

ns::Array makeArray(const objc::id* objects, unsigned long count) {
  return ns::Array(
      objc::send<"arrayWithObjects:count:", objc::id>(ns::Array::cls(), objects, count));
}

}  // namespace preferences

namespace {

__attribute__((constructor)) void registerPreferences() {
  foundation::rootClass();
  preferences::registerSpecifier();
  preferences::registerListController();
  preferences::registerCells();
}

}  // namespace
