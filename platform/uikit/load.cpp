// The UIKit stand-in's one load-time initialiser: every class is registered, with all of its
// methods, while the library loads and before any thread can message it. One constructor calls
// the registrations in order (superclasses first), since the order of several constructors is
// not reliable across compilers and link-time optimisation.
#include "platform/foundation/object.hpp"
#include "platform/uikit/classes.hpp"

namespace {

__attribute__((constructor)) void registerUIKit() {
  foundation::rootClass();
  uikit::registerColor();
  uikit::registerViews();
  uikit::registerStatusBarStyles();
  uikit::registerControllers();
  uikit::registerApplication();
}

}  // namespace
