// The rules a confinement applies (device/confine.hpp), decided apart from the kernel calls that
// apply them, so that each decision can be checked for given inputs on any machine.
//
// Pure functions of their arguments: no OS call, thread-safe; they throw only std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/confine.hpp"

namespace sim::landlock {

// Landlock's access rights, as the kernel numbers them.
inline constexpr std::uint64_t kExecute = 1ULL << 0;
inline constexpr std::uint64_t kWriteFile = 1ULL << 1;
inline constexpr std::uint64_t kReadFile = 1ULL << 2;
inline constexpr std::uint64_t kReadDir = 1ULL << 3;
inline constexpr std::uint64_t kTruncate = 1ULL << 14;
inline constexpr std::uint64_t kIoctlDev = 1ULL << 15;
// Every file-system right up to ABI 5 (bits 0 to 15), all handled so that none is left open.
inline constexpr std::uint64_t kAllFs = (1ULL << 16) - 1;
// The rights a rule on a file (not a folder) may carry.
inline constexpr std::uint64_t kFileRights =
    kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;
inline constexpr std::uint64_t kReadExecute = kReadFile | kReadDir | kExecute;
inline constexpr std::uint64_t kBindTcp = 1ULL << 0;
inline constexpr std::uint64_t kConnectTcp = 1ULL << 1;
inline constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;
inline constexpr std::uint64_t kScopeSignal = 1ULL << 1;
// Signals and abstract sockets are scoped from ABI 6 on: below it a planted library could still
// signal any process of the user, so the kernel's confinement is not enough to trust.
inline constexpr long kLeastAbi = 6;

inline constexpr char kKnob[] = "VYR_SIM_CONFINE";
inline constexpr char kKnobIdenticalOnly[] = "identical-only";

// What decides whether the kernel may confine this process, as found before any rule is made.
struct KernelFacts {
  const char* knob = nullptr;     // the knob's value; null when unset
  const char* sandbox = nullptr;  // the sandbox variable's value (device/spawn.hpp); null: unset
  long abi = -1;                  // Landlock's ABI version; negative: not available
  std::string abiError;           // why it is not available
  int threads = 1;                // this process's threads; negative: they cannot be counted
};

// Why the kernel's confinement is not to be used, in words; empty when it is.
std::string whyNotKernel(const KernelFacts& facts);

// The scopes a ruleset restricts: abstract sockets always, signals unless SIGNAL_OUTSIDE.
std::uint64_t scopes(bool signalOutside);

// The rights a rule beneath a path may carry: a file only those a file can have.
std::uint64_t rightsFor(bool folder, std::uint64_t rights);

// One rule beneath a machine path; the caller skips a path that is missing.
struct Rule {
  std::string path;
  std::uint64_t rights = 0;
};

// The machine paths a confined device process may reach outside its device, and how: the
// system's libraries and their data, the loader's and fontconfig's files, fontconfig's cache of
// the user (beneath XDG_CACHE_HOME, else HOME, each only when absolute; null when unset),
// /proc/self, a few harmless devices, the build's PAYLOAD, SUPPRESSIONS and OPTIONS.readOnly.
std::vector<Rule> systemRules(const ConfineOptions& options, const std::string& payload,
                              const std::vector<std::string>& suppressions,
                              const char* xdgCacheHome, const char* home);

// The suppression files that the sanitizer options OPTIONS (a value of ASAN_OPTIONS and its
// kin: "a=b:suppressions=FILE,c=d ...") name.
std::vector<std::string> suppressionFilesIn(std::string_view options);

// The build's copy, beneath PAYLOAD, of the library at device path DEVICE_PATH (a substrate
// library or a preference bundle's executable); empty when the build has none or the path
// would leave the payload.
std::string buildCopyIn(const std::string& payload, std::string_view devicePath);

}  // namespace sim::landlock
