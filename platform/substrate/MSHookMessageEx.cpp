// The device's C name, translated to the core, with the warnings the device's library logs.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "platform/substrate/hook.hpp"
#include "platform/substrate/substrate.h"

namespace {

// One line on standard error in a single write, so that lines of threads do not interleave.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return;
  std::size_t length =
      static_cast<std::size_t>(n) < sizeof line - 1 ? static_cast<std::size_t>(n) : sizeof line - 2;
  line[length++] = '\n';
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, length);
}

const char* nameOf(SEL selector) {
  return selector ? sel_getName(selector) : "(null)";
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void MSHookMessageEx(Class cls, SEL selector,
                                                                       IMP hook, IMP* original) {
  using substrate::HookOutcome;
  HookOutcome outcome = HookOutcome::failed;
  try {
    outcome = substrate::hookMessage(cls, selector, hook, original);
  } catch (...) {
    // Out of memory, or a lock the system could not give: the device's callers know only C.
  }
  switch (outcome) {
    case HookOutcome::replaced:
    case HookOutcome::overridden:
      return;
    case HookOutcome::nilClass:
      logLine("MS:Error: nil class argument for selector %s", nameOf(selector));
      return;
    case HookOutcome::nilSelector:
      logLine("MS:Error: nil selector argument for class %s", class_getName(cls));
      return;
    case HookOutcome::nilHook:
      logLine("MS:Error: nil replacement for [%s %s]", class_getName(cls), nameOf(selector));
      return;
    case HookOutcome::notAnswered:
      logLine("MS:Warning: message not found [%s %s]", class_getName(cls), nameOf(selector));
      return;
    case HookOutcome::noStubLeft:
      logLine("MS:Error: no stub left to hook inherited [%s %s]", class_getName(cls),
              nameOf(selector));
      return;
    case HookOutcome::failed:
      logLine("MS:Error: cannot hook [%s %s]", class_getName(cls), nameOf(selector));
      return;
  }
}
