#include "vyr/profile/history.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <string_view>
#include <vector>

#include "device/files.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "platform/preferences/domain.hpp"
#include "tweak/elements.hpp"

namespace vyr::history {
namespace {

constexpr char kFolder[] = "history";
constexpr char kMagic[] = "vyr-undo-step 1\n";
// As large as a settings file any reader takes.
constexpr std::size_t kLargestSettings = 16u << 20;
constexpr std::size_t kLargestStep = 2 * kLargestSettings + 4096;
constexpr std::size_t kNameDigits = 10;
// How long after a step a change of the same series still joins it: longer than the picker's
// writes are apart while it is dragged, shorter than a person takes to type another value.
constexpr long long kSeriesMilliseconds = 1000;

long long milliseconds(const timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Step files are named by their number, zero-padded so that names sort as numbers.
std::string stepName(unsigned long long number) {
  std::string digits = std::to_string(number);
  return std::string(kNameDigits - std::min(kNameDigits, digits.size()), '0') + digits + ".step";
}

std::optional<unsigned long long> stepNumber(std::string_view name) {
  if (name.size() != kNameDigits + 5 || !name.ends_with(".step")) return std::nullopt;
  unsigned long long number = 0;
  const auto [end, err] = std::from_chars(name.data(), name.data() + kNameDigits, number);
  if (err != std::errc() || end != name.data() + kNameDigits) return std::nullopt;
  return number;
}

// The step numbers in the history, oldest first.
std::vector<unsigned long long> stepNumbers() {
  std::vector<unsigned long long> numbers;
  const auto names = sim::listFolder(sim::Area::Simulator, kFolder);
  if (!names) return numbers;
  for (const std::string& name : *names) {
    if (const auto n = stepNumber(name)) numbers.push_back(*n);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::string path(unsigned long long number) {
  return std::string(kFolder) + "/" + stepName(number);
}

void appendState(std::string& out, const char* label, const std::optional<std::string>& bytes) {
  out += label;
  out += bytes ? std::to_string(bytes->size()) : std::string("none");
  out += '\n';
  if (bytes) out += *bytes + "\n";
}

struct Step {
  std::string what;
  std::optional<std::string> before;
  std::optional<std::string> after;
};

std::string encode(const Step& step) {
  std::string out = kMagic;
  std::string what = step.what;
  std::replace(what.begin(), what.end(), '\n', ' ');
  out += "what " + what + "\n";
  appendState(out, "before ", step.before);
  appendState(out, "after ", step.after);
  return out;
}

// Reads one "LABEL N\n<N bytes>\n" (or "LABEL none\n") at AT; false when it is not there.
bool readState(std::string_view text, std::size_t& at, std::string_view label,
               std::optional<std::string>& bytes) {
  const std::size_t end = text.find('\n', at);
  if (end == std::string_view::npos) return false;
  std::string_view line = text.substr(at, end - at);
  if (!line.starts_with(label)) return false;
  line.remove_prefix(label.size());
  at = end + 1;
  if (line == "none") {
    bytes.reset();
    return true;
  }
  std::size_t size = 0;
  const auto [stop, err] = std::from_chars(line.data(), line.data() + line.size(), size);
  if (err != std::errc() || stop != line.data() + line.size() || size > text.size() - at ||
      text.size() - at - size < 1 || text[at + size] != '\n') {
    return false;
  }
  bytes = std::string(text.substr(at, size));
  at += size + 1;
  return true;
}

// A step file's contents; nothing when it is not one (the device folder is untrusted).
std::optional<Step> decode(std::string_view text) {
  Step step;
  if (!text.starts_with(kMagic)) return std::nullopt;
  std::size_t at = sizeof kMagic - 1;
  const std::size_t end = text.find('\n', at);
  if (end == std::string_view::npos || text.substr(at, 5) != "what ") return std::nullopt;
  step.what = std::string(text.substr(at + 5, end - at - 5));
  at = end + 1;
  if (!readState(text, at, "before ", step.before) || !readState(text, at, "after ", step.after) ||
      at != text.size()) {
    return std::nullopt;
  }
  return step;
}

void postSettingsChanged() {
  CFNotificationCenterPostNotification(
      CFNotificationCenterGetDarwinNotifyCenter(),
      reinterpret_cast<CFStringRef>(ns::String::literal<kSettingsChanged>().get()), nullptr,
      nullptr, 1);
}

}  // namespace

Result<std::optional<std::string>> settingsNow() {
  int error = 0;
  std::optional<std::string> bytes =
      sim::readFile(sim::Area::Device, kPreferencesPath, kLargestSettings, &error);
  if (bytes) return std::optional<std::string>(std::move(bytes));
  if (error == ENOENT) return std::optional<std::string>();
  return failed(std::string("cannot read ") + kPreferencesPath + ": " + sim::describe(error));
}

Before before() {
  Before taken;
  if (Result<std::optional<std::string>> now = settingsNow()) {
    taken.taken = true;
    taken.bytes = *std::move(now);
  }
  return taken;
}

std::optional<std::string> record(const Before& before, const std::string& what,
                                  const std::string& series) {
  if (!before.taken) return "the settings before it could not be read: it cannot be undone";
  const preferences::WritersLock lock(kDomain);
  if (!lock) return lock.problem() + ": it cannot be undone";
  return recordHoldingLock(before, what, series);
}

std::optional<std::string> recordHoldingLock(const Before& before, const std::string& what,
                                             const std::string& series) {
  if (!before.taken) return "the settings before it could not be read: it cannot be undone";
  Result<std::optional<std::string>> after = settingsNow();
  if (!after) return after.error() + ": it cannot be undone";
  if (*after == before.bytes) return std::nullopt;
  if (const int error = sim::makeFolders(sim::Area::Simulator, kFolder, 0700); error != 0) {
    return "cannot keep the history of changes (" + sim::describe(error) + "): it cannot be undone";
  }
  const std::vector<unsigned long long> numbers = stepNumbers();
  unsigned long long next = numbers.empty() ? 1 : numbers.back() + 1;
  Step step{what, before.bytes, *after};
  // A change that goes on the newest step's series (a colour dragged in the studio's picker), made
  // within a second of it and on the settings it left, becomes part of it: one undo takes the
  // whole drag back.
  if (!series.empty() && !numbers.empty()) {
    const sim::Fd newest = sim::openFile(sim::Area::Simulator, path(numbers.back()));
    struct stat st {};
    std::optional<std::string> text;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (newest && ::fstat(newest.get(), &st) == 0 &&
        milliseconds(now) - milliseconds(st.st_mtim) <= kSeriesMilliseconds) {
      text = sim::readOpenFile(newest.get(), kLargestStep);
    }
    const std::optional<Step> last = text ? decode(*text) : std::nullopt;
    if (last && last->what.starts_with(series) && last->after == before.bytes) {
      step.before = last->before;
      next = numbers.back();
    }
  }
  const std::string data = encode(step);
  if (const int error = sim::writeFile(sim::Area::Simulator, path(next), data, 0600); error != 0) {
    return "cannot keep the history of changes (" + sim::describe(error) + "): it cannot be undone";
  }
  // The oldest steps go once there are more than are kept.
  for (std::size_t i = 0; i + kMaxSteps < numbers.size() + 1; ++i) {
    sim::removeFile(sim::Area::Simulator, path(numbers[i]));
  }
  return std::nullopt;
}

std::variant<Undone, NotUndone> undo() {
  const preferences::WritersLock lock(kDomain);
  if (!lock) return NotUndone{Refusal::failed, lock.problem()};
  std::vector<unsigned long long> numbers = stepNumbers();
  // A step that cannot be read is dropped: it can never be undone.
  while (!numbers.empty()) {
    int error = 0;
    const std::optional<std::string> text =
        sim::readFile(sim::Area::Simulator, path(numbers.back()), kLargestStep, &error);
    const std::optional<Step> step = text ? decode(*text) : std::nullopt;
    if (!step) {
      if (text || error != ENOENT) {
        sim::removeFile(sim::Area::Simulator, path(numbers.back()));
      }
      numbers.pop_back();
      continue;
    }
    Result<std::optional<std::string>> now = settingsNow();
    if (!now) return NotUndone{Refusal::failed, now.error() + "; nothing undone"};
    if (*now != step->after) {
      return NotUndone{Refusal::changedOutside,
                       "the settings file changed since VYR last changed it (" + step->what +
                           "), by something other than VYR; nothing undone, so that change is "
                           "kept"};
    }
    const int error2 =
        step->before ? sim::writeFile(sim::Area::Device, kPreferencesPath, *step->before, 0644)
                     : sim::removeFile(sim::Area::Device, kPreferencesPath);
    if (error2 != 0 && !(error2 == ENOENT && !step->before)) {
      return NotUndone{Refusal::failed, std::string("cannot put back ") + kPreferencesPath + ": " +
                                            sim::describe(error2) + "; nothing undone"};
    }
    sim::removeFile(sim::Area::Simulator, path(numbers.back()));
    postSettingsChanged();
    return Undone{step->what, step->before, step->after, numbers.size() - 1};
  }
  return NotUndone{Refusal::nothingToUndo,
                   "nothing to undo: no change made through VYR is left to undo"};
}

std::size_t steps() {
  return stepNumbers().size();
}

}  // namespace vyr::history
