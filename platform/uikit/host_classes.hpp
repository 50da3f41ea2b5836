// Registering the classes around the status-bar hooks as the device's table has them for the
// release this process's device is (platform/ios/interfaces.hpp). Internal to the stand-in
// frameworks (UIKit, SpringBoard).
//
// The table decides which of these classes exist, what each derives from, and which methods each
// declares itself with which types; the stand-ins only supply implementations. A stand-in offers
// one implementation per type signature it can answer in, and the one whose types the table gives
// is registered, so a stand-in can never register types the device does not have.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/ios/interfaces.hpp"
#include "platform/objc/runtime.hpp"

namespace uikit {

// The interface step the stand-ins registered their classes for, settled the first time anything
// asks (the stand-ins ask while they load).
ios::Interfaces registeredInterfaces();

// A builder for class NAME with its table superclass, or nothing when this release has no such
// class (or its superclass is not registered).
std::optional<objc::ClassBuilder> hostClass(const char* name);

// Adds to BUILDER (class CLASSNAME) the method SELECTOR when this release's table says the class
// declares it, implemented by whichever of IMPLEMENTATIONS has the table's types. A table row no
// implementation can answer is a mistake of the stand-in: the process ends naming it.
template <class... F>
void hostMethod(objc::ClassBuilder& builder, const char* className, const char* selector,
                F... implementations) {
  const ios::MethodFact* fact = ios::ownMethodIn(registeredInterfaces(), className, selector);
  if (fact == nullptr) return;
  const bool added = ((objc::typesOf(implementations) == fact->types
                           ? (builder.method(selector, implementations), true)
                           : false) ||
                      ...);
  if (!added) {
    std::fprintf(stderr, "*** stand-in has no -[%s %s] with the device's types %s\n", className,
                 selector, fact->types.text);
    std::abort();
  }
}

}  // namespace uikit
