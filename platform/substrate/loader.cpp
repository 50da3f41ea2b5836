#include "platform/substrate/loader.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <utility>

#include "device/files.hpp"
#include "platform/foundation/facade.hpp"

namespace substrate {
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
  if (!sim::exists(sim::Area::Device, devicePlist)) return true;
  ns::AutoreleasePool pool;
  const ns::Owned<ns::Dictionary> plist =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(devicePlist.c_str()));
  if (!plist) return false;
  ns::Dictionary filter(plist->objectForKey(ns::String::literal<"Filter">().get()));
  bool ok = !filter;
  if (filter && filter.isKindOfClass(ns::Dictionary::cls())) {
    ok = listContains(ns::Array(filter.objectForKey(ns::String::literal<"Bundles">().get())),
                      process.bundles) ||
         listContains(ns::Array(filter.objectForKey(ns::String::literal<"Executables">().get())),
                      {process.executable});
  }
  return ok;
}

}  // namespace

Injected injectLibraries(const ProcessIdentity& process) {
  Injected injected;
  const auto listed = sim::listFolder(sim::Area::Device, kLibraries);
  if (!listed) return injected;
  std::vector<std::string> names;
  for (const std::string& file : *listed) {
    if (file.size() > 6 && file.ends_with(".dylib"))
      names.push_back(file.substr(0, file.size() - 6));
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string plist = std::string(kLibraries) + "/" + name + ".plist";
    if (!matches(plist, process)) continue;
    const std::string path = std::string(kLibraries) + "/" + name + ".dylib";
    // Libraries that made classes or installed methods can never be unloaded. A FIFO or device
    // node in the library's place is refused by the door, never waited on.
    std::string why;
    if (sim::loadLibrary(path, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE, &why) == nullptr) {
      injected.failures.push_back(std::move(why));
      continue;
    }
    injected.loaded.push_back(name);
  }
  return injected;
}

}  // namespace substrate
