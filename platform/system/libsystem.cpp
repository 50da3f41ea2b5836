// The device's C library entry points: each records the call, then hands it to the shell or the
// device. Nothing here throws: a failure to record (out of memory) loses only the record.
#include "platform/system/libsystem.h"
#include "platform/system/libsystem_names.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <random>

#include "device/files.hpp"
#include "platform/system/shell.hpp"

namespace libsystem {
namespace {

constexpr std::size_t kKeptCalls = 4096;

struct CallLog {
  std::mutex lock;
  std::deque<std::string> calls;
};
CallLog& callLog() {
  static CallLog* log = new CallLog();  // never destroyed: calls may come during exit
  return *log;
}

void record(const char* what, const char* argument) noexcept {
  try {
    std::string line = what;
    line += ' ';
    line += argument != nullptr ? argument : "(null)";
    CallLog& log = callLog();
    std::lock_guard<std::mutex> guard(log.lock);
    log.calls.push_back(std::move(line));
    if (log.calls.size() > kKeptCalls) log.calls.pop_front();
  } catch (...) {
  }
}

struct Journal {
  std::mutex lock;
  std::deque<Step> steps;
};
Journal& journal() {
  static Journal* j = new Journal();  // never destroyed: calls may come during exit
  return *j;
}

void journalStep(const char* call, const char* argument, bool failed, std::string outcome,
                 std::vector<std::string> ended = {}) noexcept {
  try {
    Step step{call, argument != nullptr ? argument : "(null)", failed, std::move(outcome),
              std::move(ended)};
    Journal& j = journal();
    std::lock_guard<std::mutex> guard(j.lock);
    j.steps.push_back(std::move(step));
    if (j.steps.size() > kKeptCalls) j.steps.pop_front();
  } catch (...) {
  }
}

struct RandomSource {
  std::mutex lock;
  std::function<uint32_t()> source;
};
RandomSource& randomSource() {
  static RandomSource* source = new RandomSource();
  return *source;
}

uint32_t kernelRandom() noexcept {
  uint32_t value = 0;
  std::size_t got = 0;
  while (got < sizeof value) {
    const ssize_t n = ::getrandom(reinterpret_cast<char*>(&value) + got, sizeof value - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (got == sizeof value) return value;
  try {
    return static_cast<uint32_t>(std::random_device()());
  } catch (...) {
    // No random source at all: a thread-local generator seeded from the clock is the last resort.
    thread_local std::mt19937 fallback(static_cast<uint32_t>(::getpid()) ^
                                       static_cast<uint32_t>(time(nullptr)));
    return static_cast<uint32_t>(fallback());
  }
}

}  // namespace
}  // namespace libsystem

// The device's C names (see libsystem_names.h).

uint32_t vyr_libsystem_arc4random() noexcept {
  using namespace libsystem;
  RandomSource& r = randomSource();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.source) {
      try {
        return r.source();
      } catch (...) {
      }
    }
  }
  return kernelRandom();
}

size_t vyr_libsystem_strlen(const char* text) noexcept {
  // strnlen: a call to strlen here could be bound to this very function by an interposer.
  return text != nullptr ? ::strnlen(text, SIZE_MAX) : 0;
}

int vyr_libsystem_unlink(const char* devicePath) noexcept {
  libsystem::record("unlink", devicePath);
  if (devicePath == nullptr) {
    libsystem::journalStep("unlink", devicePath, true, "no path");
    errno = EFAULT;
    return -1;
  }
  try {
    // unlink(2) never removes a folder (Linux says EISDIR).
    const int error = sim::removeFile(sim::Area::Device, devicePath);
    if (error == 0) {
      libsystem::journalStep("unlink", devicePath, false, "removed");
      return 0;
    }
    // Neither the root itself ("." or ".." as the last step) nor the simulator's own state is
    // anything the device's unlink can name.
    errno = error == EINVAL || error == sim::kSimulatorState ? ENOENT : error;
    const int reported = errno;
    libsystem::journalStep(
        "unlink", devicePath, reported != ENOENT,
        reported == ENOENT ? "not there" : "not removed: " + sim::describe(reported));
    errno = reported;
    return -1;
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
}

int vyr_libsystem_system(const char* command) noexcept {
  libsystem::record("system", command);
  if (command == nullptr) return 1;
  try {
    libsystem::shell::Outcome outcome;
    const int status = libsystem::shell::run(libsystem::shell::parse(command), &outcome);
    libsystem::journalStep("system", command, status != 0, std::move(outcome.words),
                           std::move(outcome.ended));
    return status << 8;
  } catch (...) {
    libsystem::journalStep("system", command, true, "not run: out of memory");
    return 127 << 8;
  }
}

namespace libsystem {

std::vector<Step> takeJournal() {
  Journal& j = journal();
  std::lock_guard<std::mutex> guard(j.lock);
  std::vector<Step> out(std::make_move_iterator(j.steps.begin()),
                        std::make_move_iterator(j.steps.end()));
  j.steps.clear();
  return out;
}

namespace testing {

std::vector<std::string> calls() {
  CallLog& log = callLog();
  std::lock_guard<std::mutex> guard(log.lock);
  return {log.calls.begin(), log.calls.end()};
}

void clearCalls() {
  CallLog& log = callLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.calls.clear();
}

void setRandomSource(std::function<uint32_t()> source) {
  RandomSource& r = randomSource();
  std::lock_guard<std::mutex> guard(r.lock);
  r.source = std::move(source);
}

}  // namespace testing
}  // namespace libsystem
