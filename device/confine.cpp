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

#include "device/files/paths.hpp"

namespace sim {
namespace {

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

constexpr std::uint64_t kExecute = 1ULL << 0;
constexpr std::uint64_t kWriteFile = 1ULL << 1;
constexpr std::uint64_t kReadFile = 1ULL << 2;
constexpr std::uint64_t kReadDir = 1ULL << 3;
constexpr std::uint64_t kTruncate = 1ULL << 14;
constexpr std::uint64_t kIoctlDev = 1ULL << 15;
// Every file-system right up to ABI 5 (bits 0 to 15), all handled so that none is left open.
constexpr std::uint64_t kAllFs = (1ULL << 16) - 1;
// The rights a rule on a file (not a folder) may carry.
constexpr std::uint64_t kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;
constexpr std::uint64_t kBindTcp = 1ULL << 0;
constexpr std::uint64_t kConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;
constexpr std::uint64_t kScopeSignal = 1ULL << 1;
// Signals and abstract sockets are scoped from ABI 6 on: below it a planted library could still
// signal any process of the user, so the kernel's confinement is not enough to trust.
constexpr long kLeastAbi = 6;

constexpr char kKnob[] = "VYR_SIM_CONFINE";
constexpr char kKnobIdenticalOnly[] = "identical-only";

constexpr std::uint64_t kReadExecute = kReadFile | kReadDir | kExecute;

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
    PathBeneathAttr rule{S_ISDIR(st.st_mode) ? rights : rights & kFileRights, fd};
    ::syscall(kAddRule, ruleset, kRulePathBeneath, &rule, 0U);
  }
  ::close(fd);
}

// The machine folders (and files) a device process reads outside its device: the dynamic
// loader's and the system's libraries, their data (/usr/share: locales, fonts), fontconfig's
// settings and caches, this process's own /proc entry (sanitizers read its maps), and a few
// harmless devices.
void allowSystem(int ruleset, const ConfineOptions& options, const std::string& payload) {
  for (const char* folder : {"/usr", "/lib", "/lib64", "/lib32", "/libx32", "/bin", "/sbin"}) {
    allow(ruleset, folder, kReadExecute);
  }
  for (const char* file :
       {"/etc/ld.so.cache", "/etc/ld.so.preload", "/etc/ld.so.conf", "/etc/ld.so.conf.d",
        "/etc/fonts", "/etc/localtime", "/var/cache/fontconfig"}) {
    allow(ruleset, file, kReadFile | kReadDir);
  }
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
    allow(ruleset, std::string(cache) + "/fontconfig", kReadFile | kReadDir);
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    allow(ruleset, std::string(home) + "/.cache/fontconfig", kReadFile | kReadDir);
  }
  // "/proc/self" resolves to this process's own folder: other processes' entries stay closed.
  allow(ruleset, "/proc/self", kReadFile | kReadDir);
  for (const char* device : {"/dev/null", "/dev/zero", "/dev/urandom", "/dev/random"}) {
    allow(ruleset, device, kReadFile | kWriteFile);
  }
  allow(ruleset, payload, kReadExecute);
  for (const std::string& file : sanitizerSuppressionFiles()) allow(ruleset, file, kReadFile);
  for (const std::string& extra : options.readOnly) allow(ruleset, extra, kReadExecute);
}

// Asks the kernel to confine this process; an empty answer when it did, else why not.
std::string confineByKernel(const ConfineOptions& options, const std::string& payload) {
  if (const char* knob = std::getenv(kKnob);
      knob != nullptr && std::strcmp(knob, kKnobIdenticalOnly) == 0) {
    return std::string("the kernel's confinement is turned off (") + kKnob + "=" +
           kKnobIdenticalOnly + ")";
  }
  // A device process that its front end could not put in the sandbox loads only the build's own
  // code, whatever Landlock could add.
  if (const char* sandbox = std::getenv("VYR_SIM_SANDBOX");
      sandbox != nullptr && std::strncmp(sandbox, "none: ", 6) == 0) {
    return std::string("the device process runs without its sandbox: ") + (sandbox + 6);
  }
  const long abi = ::syscall(kCreateRuleset, nullptr, 0U, kAskVersion);
  if (abi < 0) return "Landlock is not available: " + errnoText(errno);
  if (abi < kLeastAbi) {
    return "the kernel's Landlock (ABI " + std::to_string(abi) +
           ") cannot scope signals and sockets (ABI " + std::to_string(kLeastAbi) + " needed)";
  }
  if (const int threads = threadCount(); threads != 1) {
    return threads < 0 ? std::string("this process's threads cannot be counted")
                       : "this process already runs " + std::to_string(threads) +
                             " threads, which the kernel would leave unconfined";
  }
  const RulesetAttr attr{kAllFs, kBindTcp | kConnectTcp,
                         kScopeAbstractUnix | (options.signalOutside ? 0 : kScopeSignal)};
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
  allowSystem(ruleset.get(), options, payload);
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
    // Where the installer puts the build's files: a substrate library by its name, a preference
    // bundle as the build's bundle folder.
    for (const std::string_view folder :
         {std::string_view("/Library/MobileSubstrate/DynamicLibraries/"),
          std::string_view("/Library/PreferenceBundles/")}) {
      if (!devicePath.starts_with(folder)) continue;
      const std::string_view rest = devicePath.substr(folder.size());
      if (rest.empty() || rest.find("..") != std::string_view::npos || rest.front() == '/') {
        return {};
      }
      return payloadFolder() + "/" + std::string(rest);
    }
    return {};
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
    for (std::string_view rest = value != nullptr ? value : ""; !rest.empty();) {
      const std::size_t end = std::min(rest.find_first_of(":, "), rest.size());
      const std::string_view option = rest.substr(0, end);
      rest.remove_prefix(end < rest.size() ? end + 1 : end);
      constexpr std::string_view kSuppressions = "suppressions=";
      if (option.starts_with(kSuppressions)) {
        files.emplace_back(option.substr(kSuppressions.size()));
      }
    }
  }
  return files;
}

}  // namespace sim
