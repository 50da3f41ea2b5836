#include "vyr/loader.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "device/device.hpp"
#include "platform/foundation/facade.hpp"

namespace vyr {
namespace {

constexpr const char* kLibraries = "/Library/MobileSubstrate/DynamicLibraries";

bool listContains(ns::Array list, const std::vector<std::string>& wanted) {
  if (!list || !list.isKindOfClass(ns::Array::cls())) return false;
  for (unsigned long i = 0; i < list.count(); ++i) {
    ns::String item(list.objectAtIndex(i));
    if (!item.isKindOfClass(ns::String::cls())) continue;
    if (std::find(wanted.begin(), wanted.end(), item.str()) != wanted.end()) return true;
  }
  return false;
}

// The substrate's filter rules: no filter plist or no Filter in it loads everywhere; an unreadable
// plist loads nowhere; otherwise any listed bundle or
// executable of the process matches.
bool matches(const std::string& devicePlist, const ProcessIdentity& process) {
  const auto machinePath = sim::resolve(devicePlist);
  std::error_code ec;
  if (!machinePath || !std::filesystem::exists(*machinePath, ec)) return true;
  ns::AutoreleasePool pool;
  ns::Dictionary plist =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(devicePlist.c_str()));
  if (!plist) return false;
  ns::Dictionary filter(plist.objectForKey(ns::String::literal<"Filter">().get()));
  bool ok = !filter;
  if (filter && filter.isKindOfClass(ns::Dictionary::cls())) {
    ok = listContains(ns::Array(filter.objectForKey(ns::String::literal<"Bundles">().get())),
                      process.bundles) ||
         listContains(ns::Array(filter.objectForKey(ns::String::literal<"Executables">().get())),
                      {process.executable});
  }
  plist.release();
  return ok;
}

}  // namespace

std::vector<std::string> injectLibraries(const ProcessIdentity& process) {
  std::vector<std::string> loaded;
  const auto folder = sim::resolve(kLibraries);
  if (!folder) return loaded;
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(*folder, ec)) {
    if (entry.path().extension() == ".dylib") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string plist = std::string(kLibraries) + "/" + name + ".plist";
    if (!matches(plist, process)) continue;
    const std::string path = *folder + "/" + name + ".dylib";
    // Libraries that made classes or installed methods can never be unloaded.
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE) == nullptr) {
      std::fprintf(stderr, "MS:Error: %s\n", dlerror());
      continue;
    }
    loaded.push_back(name);
  }
  return loaded;
}

}  // namespace vyr
