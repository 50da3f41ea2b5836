#include "device/confine_rules.hpp"

#include <algorithm>
#include <cstring>

namespace sim::landlock {

std::string whyNotKernel(const KernelFacts& facts) {
  if (facts.knob != nullptr && std::strcmp(facts.knob, kKnobIdenticalOnly) == 0) {
    return std::string("the kernel's confinement is turned off (") + kKnob + "=" +
           kKnobIdenticalOnly + ")";
  }
  // A device process that its front end could not put in the sandbox loads only the build's own
  // code, whatever Landlock could add.
  if (facts.sandbox != nullptr && std::strncmp(facts.sandbox, "none: ", 6) == 0) {
    return std::string("the device process runs without its sandbox: ") + (facts.sandbox + 6);
  }
  if (facts.abi < 0) return "Landlock is not available: " + facts.abiError;
  if (facts.abi < kLeastAbi) {
    return "the kernel's Landlock (ABI " + std::to_string(facts.abi) +
           ") cannot scope signals and sockets (ABI " + std::to_string(kLeastAbi) + " needed)";
  }
  if (facts.threads != 1) {
    return facts.threads < 0 ? std::string("this process's threads cannot be counted")
                             : "this process already runs " + std::to_string(facts.threads) +
                                   " threads, which the kernel would leave unconfined";
  }
  return {};
}

std::uint64_t scopes(bool signalOutside) {
  return kScopeAbstractUnix | (signalOutside ? 0 : kScopeSignal);
}

std::uint64_t rightsFor(bool folder, std::uint64_t rights) {
  return folder ? rights : rights & kFileRights;
}

std::vector<Rule> systemRules(const ConfineOptions& options, const std::string& payload,
                              const std::vector<std::string>& suppressions,
                              const char* xdgCacheHome, const char* home) {
  std::vector<Rule> rules;
  for (const char* folder : {"/usr", "/lib", "/lib64", "/lib32", "/libx32", "/bin", "/sbin"}) {
    rules.push_back({folder, kReadExecute});
  }
  for (const char* file :
       {"/etc/ld.so.cache", "/etc/ld.so.preload", "/etc/ld.so.conf", "/etc/ld.so.conf.d",
        "/etc/fonts", "/etc/localtime", "/var/cache/fontconfig"}) {
    rules.push_back({file, kReadFile | kReadDir});
  }
  if (xdgCacheHome != nullptr && *xdgCacheHome == '/') {
    rules.push_back({std::string(xdgCacheHome) + "/fontconfig", kReadFile | kReadDir});
  } else if (home != nullptr && *home == '/') {
    rules.push_back({std::string(home) + "/.cache/fontconfig", kReadFile | kReadDir});
  }
  // "/proc/self" resolves to this process's own folder: other processes' entries stay closed.
  rules.push_back({"/proc/self", kReadFile | kReadDir});
  for (const char* device : {"/dev/null", "/dev/zero", "/dev/urandom", "/dev/random"}) {
    rules.push_back({device, kReadFile | kWriteFile});
  }
  rules.push_back({payload, kReadExecute});
  for (const std::string& file : suppressions) rules.push_back({file, kReadFile});
  for (const std::string& extra : options.readOnly) rules.push_back({extra, kReadExecute});
  return rules;
}

std::vector<std::string> suppressionFilesIn(std::string_view options) {
  std::vector<std::string> files;
  for (std::string_view rest = options; !rest.empty();) {
    const std::size_t end = std::min(rest.find_first_of(":, "), rest.size());
    const std::string_view option = rest.substr(0, end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    constexpr std::string_view kSuppressions = "suppressions=";
    if (option.starts_with(kSuppressions)) files.emplace_back(option.substr(kSuppressions.size()));
  }
  return files;
}

std::string buildCopyIn(const std::string& payload, std::string_view devicePath) {
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
    return payload + "/" + std::string(rest);
  }
  return {};
}

}  // namespace sim::landlock
