// The one load-time initialiser of the Foundation stand-in: every class is built, with all its
// methods, before any code of the process can send it a message.
#include <exception>

#include "platform/foundation/internal.hpp"

namespace {

// Priority 101, the first one open to programs: the classes exist before any plain constructor
// of this library or of a library loaded after it runs.
__attribute__((constructor(101))) void loadFoundation() {
  try {
    foundation::rootClass();
    // NSString first: every description, and so every other class, makes strings.
    foundation::registerStringClass();
    foundation::registerNumberClass();
    foundation::registerDataClasses();
    foundation::registerArrayClass();
    foundation::registerDictionaryClasses();
    foundation::registerURLClass();
    foundation::registerAutoreleasePoolClass();
  } catch (const std::exception& e) {
    foundation::logLine("*** Foundation: classes could not be registered: %s", e.what());
  }
}

}  // namespace
