// The replacements take the host's own types, checked when this file compiles, once per word size
// the project is built for (so the 32-bit ARM build checks them with its float CGFloat and int
// NSInteger). A replacement that forwards the wrong types can still pass every run-time test
// (unchanged registers survive the trip on every processor here), so the types themselves are
// compared: the library's, from its declarations, with the device's, from the table of the
// device's interfaces that the stand-in frameworks register.
#include <gtest/gtest.h>

#include "platform/ios/interfaces.hpp"
#include "tweak/hooks.hpp"

namespace vyrtest {
namespace {

constexpr sim::Interfaces kSteps[] = {sim::Interfaces::beforeIos7, sim::Interfaces::ios7,
                                      sim::Interfaces::ios8_3, sim::Interfaces::ios9,
                                      sim::Interfaces::ios10};

// iOS 10 takes the battery's capacities by style as integers: the one host method whose types
// differ from its replacement's, which the library's install guard leaves alone.
constexpr bool knownToDiffer(sim::Interfaces step, HookId h) {
  return step == sim::Interfaces::ios10 && h == HookId::batteryColorStyle;
}

// The first row whose replacement takes other types than the host method that answers it in some
// release (its own class's or one inherited), or -1 when every row matches.
constexpr int firstMismatch() {
  for (sim::Interfaces step : kSteps) {
    for (std::size_t i = 0; i < kHookedMethods.size(); ++i) {
      const HookedMethod& row = kHookedMethods[i];
      const ios::MethodFact* host = ios::methodIn(step, row.className, row.selector);
      if (host == nullptr) continue;
      const bool same = host->types == kReplacementTypes[i];
      if (same == knownToDiffer(step, row.id)) return static_cast<int>(i);
    }
  }
  return -1;
}
static_assert(firstMismatch() == -1,
              "a replacement's types differ from its host method's (or the known iOS 10 "
              "difference is gone): see kReplacementTypes and the device's interface table");

// Every row is answered in some release, so the check above looks at each replacement.
constexpr bool everyRowHasAHost() {
  for (const HookedMethod& row : kHookedMethods) {
    bool found = false;
    for (sim::Interfaces step : kSteps) {
      found = found || ios::methodIn(step, row.className, row.selector) != nullptr;
    }
    if (!found) return false;
  }
  return true;
}
static_assert(everyRowHasAHost());

TEST(HostTypes, AreComparedWhenThisFileCompiles) {
  // The encodings the check compares are the device compiler's for this word size.
  const char* const capacity = sizeof(objc::CGFloat) == 4 ? "f" : "d";
  EXPECT_EQ(
      std::string(kReplacementTypes[static_cast<std::size_t>(HookId::batteryColorCharging)].text),
      std::string("@@:") + capacity + capacity + objc::Encoding<objc::BOOL>::value);
}

}  // namespace
}  // namespace vyrtest
