#include "device/confine.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device/confine_rules.hpp"
#include "device/files/paths.hpp"
#include "device/spawn.hpp"

namespace sim {
namespace {

using namespace landlock;

// Landlock's interface, spelt out here: the C library's headers of this generation know only its
// first versions, and the ABI is asked of the running kernel anyway.
#ifndef SYS_landlock_create_ruleset
constexpr long kCreateRuleset = 444;
constexpr long kAddRule = 445;
constexpr long kRestrictSelf = 446;
#else
constexpr long kCreateRuleset = SYS_landlock_create_ruleset;
constexpr long kAddRule = SYS_landlock_add_rule;
constexpr long kRestrictSelf = SYS_landlock_restrict_self;
#endif
constexpr unsigned kAskVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

struct RulesetAttr {
  std::uint64_t handledFs;
  std::uint64_t handledNet;
  std::uint64_t scoped;
};
struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowed;
  std::int32_t parentFd;
};

std::atomic<Confinement> gConfinement{Confinement::None};
std::mutex gConfineLock;
std::string* gWhy = nullptr;      // guarded by gConfineLock; never freed
std::string* gPayload = nullptr;  // guarded by gConfineLock; never freed

std::string errnoText(int error) {
  return std::string(std::strerror(error));
}

std::string payloadFolder() {
  std::lock_guard<std::mutex> guard(gConfineLock);
  if (gPayload == nullptr) gPayload = new std::string(executableFolder());
  return *gPayload;
}

int threadCount() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
  ::closedir(dir);
  return n;
}

// Allows RIGHTS beneath the machine path PATH; a path that is missing is skipped. A file gets
// only the rights a file can have.
void allow(int ruleset, const std::string& path, std::uint64_t rights) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    PathBeneathAttr rule{rightsFor(S_ISDIR(st.st_mode), rights), fd};
    ::syscall(kAddRule, ruleset, kRulePathBeneath, &rule, 0U);
  }
  ::close(fd);
}

// Asks the kernel to confine this process; an empty answer when it did, else why not.
std::string confineByKernel(const ConfineOptions& options, const std::string& payload) {
  KernelFacts facts;
  facts.knob = std::getenv(kKnob);
  facts.sandbox = std::getenv(kSandboxVariable);
  // The environment decides first: the kernel is asked nothing when it has no say.
  facts.abi = kLeastAbi;
  if (std::string why = whyNotKernel(facts); !why.empty()) return why;
  facts.abi = ::syscall(kCreateRuleset, nullptr, 0U, kAskVersion);
  if (facts.abi < 0) facts.abiError = errnoText(errno);
  facts.threads = threadCount();
  if (std::string why = whyNotKernel(facts); !why.empty()) return why;
  const RulesetAttr attr{kAllFs, kBindTcp | kConnectTcp, scopes(options.signalOutside)};
  const long made = ::syscall(kCreateRuleset, &attr, sizeof attr, 0U);
  if (made < 0) return "the kernel refused a Landlock ruleset: " + errnoText(errno);
  const Fd ruleset(static_cast<int>(made));
  // The device as attached, by its descriptor: a folder swapped in under its name later is not
  // the device.
  const Fd root = rootDescriptor();
  if (!root) return "the device's folder cannot be opened: " + describe(root.error());
  PathBeneathAttr device{kAllFs, root.get()};
  if (::syscall(kAddRule, ruleset.get(), kRulePathBeneath, &device, 0U) != 0) {
    return "the kernel refused the device's folder as a Landlock rule: " + errnoText(errno);
  }
  for (const Rule& rule : systemRules(options, payload, sanitizerSuppressionFiles(),
                                      std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"))) {
    allow(ruleset.get(), rule.path, rule.rights);
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return "no_new_privs cannot be set: " + errnoText(errno);
  }
  if (::syscall(kRestrictSelf, ruleset.get(), 0U) != 0) {
    return "the kernel refused to confine this process: " + errnoText(errno);
  }
  return {};
}

}  // namespace

Confinement confineToDevice(const ConfineOptions& options) {
  try {
    const std::string payload = options.payload.empty() ? payloadFolder() : options.payload;
    std::lock_guard<std::mutex> guard(gConfineLock);
    if (gConfinement.load() != Confinement::None) return gConfinement.load();
    if (gPayload == nullptr) gPayload = new std::string();
    *gPayload = payload;
    if (gWhy == nullptr) gWhy = new std::string();
    *gWhy = confineByKernel(options, payload);
    gConfinement.store(gWhy->empty() ? Confinement::Kernel : Confinement::IdenticalOnly);
    return gConfinement.load();
  } catch (...) {
    // Out of memory before anything was restricted: the safe rule of the two.
    gConfinement.store(Confinement::IdenticalOnly);
    return Confinement::IdenticalOnly;
  }
}

Confinement confinement() {
  return gConfinement.load();
}

std::string whyNotConfined() {
  try {
    std::lock_guard<std::mutex> guard(gConfineLock);
    switch (gConfinement.load()) {
      case Confinement::Kernel:
        return {};
      case Confinement::None:
        return "this process is not confined to the device";
      case Confinement::IdenticalOnly:
        return gWhy != nullptr && !gWhy->empty() ? *gWhy : std::string("not confined");
    }
    return {};
  } catch (...) {
    return "not confined";
  }
}

std::string buildCopyOf(std::string_view devicePath) {
  try {
    if (!devicePath.starts_with("/Library/")) return {};
    return buildCopyIn(payloadFolder(), devicePath);
  } catch (...) {
    return {};
  }
}

bool identicalTo(int fd, const std::string& buildCopy) {
  const Fd own(::open(buildCopy.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat a {
  }, b{};
  if (!own || ::fstat(own.get(), &a) != 0 || ::fstat(fd, &b) != 0 || !S_ISREG(a.st_mode) ||
      !S_ISREG(b.st_mode) || a.st_size != b.st_size) {
    return false;
  }
  char x[16384], y[16384];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(own.get(), x, sizeof x, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    ssize_t m = 0;
    while (m < n) {
      const ssize_t k = ::pread(fd, y + m, static_cast<std::size_t>(n - m), at + m);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return false;
      m += k;
    }
    if (n == 0) {
      // Both at their end: the device's copy must not have grown meanwhile.
      return ::pread(fd, y, 1, at) == 0;
    }
    if (std::memcmp(x, y, static_cast<std::size_t>(n)) != 0) return false;
    at += n;
  }
}

std::string ownExecutable() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string executableFolder() {
  const std::string exe = ownExecutable();
  if (exe.empty()) return ".";
  const std::size_t slash = exe.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::vector<std::string> sanitizerSuppressionFiles() {
  std::vector<std::string> files;
  for (const char* variable : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* value = std::getenv(variable);
    for (std::string& file : landlock::suppressionFilesIn(value != nullptr ? value : "")) {
      files.push_back(std::move(file));
    }
  }
  return files;
}

}  // namespace sim
