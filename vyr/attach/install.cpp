#include "vyr/attach/install.hpp"
#include "vyr/base/out.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "device/confine.hpp"
#include "device/device.hpp"
#include "device/files.hpp"

namespace fs = std::filesystem;

namespace vyr {
namespace {

// The largest file the installer compares before it writes: far above any file VYR installs.
constexpr std::size_t kLargestInstalled = 256u << 20;

// The build's own files are the machine's, not the device's: they are read as plain files.
std::optional<std::string> readBuildFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Failure deviceFailure(const std::string& what, const std::string& devicePath, int error) {
  return failed(what + " " + devicePath + " in the device: " + sim::describe(error));
}

std::string parentOf(const std::string& devicePath) {
  const std::size_t slash = devicePath.rfind('/');
  return slash == 0 ? std::string("/") : devicePath.substr(0, slash);
}

// Copies the build's FROM to device path TO unless TO already holds the same bytes; the new file
// replaces the old one in a single rename, so a process that has the old library mapped keeps
// running on it.
Result<> installFile(const fs::path& from, const std::string& to) {
  std::error_code ec;
  if (!fs::is_regular_file(from, ec)) return failed("missing from the build: " + from.string());
  const std::optional<std::string> bytes = readBuildFile(from);
  if (!bytes) return failed("cannot read " + from.string());
  int error = 0;
  const auto installed = sim::readFile(sim::Area::Device, to, kLargestInstalled, &error);
  if (installed && *installed == *bytes) return {};
  // A device's copy that differs from the build is replaced: said, since it may be the user's
  // own edit of, say, the pane's row list.
  if (installed)
    vyr::out::print(stderr, "vyr: refreshed %s in the device from the build\n", to.c_str());
  if (error = sim::makeFolders(sim::Area::Device, parentOf(to)); error != 0) {
    return deviceFailure("cannot create", parentOf(to), error);
  }
  const auto perms = static_cast<mode_t>(fs::status(from, ec).permissions() & fs::perms::all);
  if (error = sim::writeFile(sim::Area::Device, to, *bytes, ec ? 0644 : perms); error != 0) {
    return deviceFailure("cannot write", to, error);
  }
  return {};
}

Result<> installTree(const fs::path& from, const std::string& to) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    Result<> installed =
        installFile(it->path(), to + "/" + fs::relative(it->path(), from).generic_string());
    if (!installed) return installed;
  }
  if (ec) return failed("cannot read " + from.string() + ": " + ec.message());
  return {};
}

// A new device: the folders and files that the system expects to find on a device, among them
// the caches that a respring deletes, and the simulator's settings.
Result<> makeSkeleton() {
  for (const char* dir :
       {"/var/mobile/Library/Preferences", "/var/mobile/Library/Caches/com.apple.UIStatusBar",
        "/var/mobile/Library/Caches/SpringBoardIconCache",
        "/var/mobile/Library/Caches/com.apple.IconsCache",
        "/Library/MobileSubstrate/DynamicLibraries", "/Library/PreferenceBundles",
        "/Library/PreferenceLoader/Preferences", "/Applications/Cydia.app"}) {
    if (const int error = sim::makeFolders(sim::Area::Device, dir); error != 0) {
      return deviceFailure("cannot create", dir, error);
    }
  }
  for (const char* file :
       {"com.apple.springboard-imagecache-icons", "com.apple.springboard-imagecache-icons.plist",
        "com.apple.SpringBoard.folderSwitcherLinen", "com.apple.UIStatusBar/images",
        "SpringBoardIconCache/icon.png"}) {
    const std::string path = std::string("/var/mobile/Library/Caches/") + file;
    if (const int error = sim::writeFile(sim::Area::Device, path, "cache\n"); error != 0) {
      return deviceFailure("cannot write", path, error);
    }
  }
  int error = sim::makeFolders(sim::Area::Simulator, ".");
  if (error == 0) {
    error = sim::writeFile(sim::Area::Simulator, "device.conf",
                           "# The simulated device's settings.\n"
                           "# ios: the iOS version; it sets kCFCoreFoundationVersionNumber (8.1: "
                           "1141.14).\n"
                           "ios=8.1\n");
  }
  if (error != 0) return deviceFailure("cannot write", "/.sim/device.conf", error);
  return {};
}

// The device's own alias /User -> /var/mobile, relative so that it names the same folder for
// every program of the machine too. Something else already at /User is the device's own business.
Result<> linkUser() {
  const int error = sim::makeLink(sim::Area::Device, "/User", "var/mobile");
  if (error != 0 && error != EEXIST) return deviceFailure("cannot link", "/User", error);
  return {};
}

}  // namespace

std::string payloadFolder() {
  return sim::executableFolder();
}

std::string defaultDeviceFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/vyr/device";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/share/vyr/device";
}

Result<> prepareDevice(const std::string& dir) {
  std::error_code ec;
  const fs::path root = fs::absolute(dir, ec);
  if (ec) return failed("cannot use device folder " + dir + ": " + ec.message());
  // The folder the user named is theirs to name: it is made like mkdir -p, then opened once, and
  // everything inside it goes through the door.
  fs::create_directories(root, ec);
  if (ec) return failed("cannot create the device folder " + root.string() + ": " + ec.message());
  sim::attachDevice(root.string());
  if (!sim::rootDescriptor()) return failed("cannot open the device folder " + root.string());
  if (!sim::exists(sim::Area::Simulator, ".")) {
    if (Result<> made = makeSkeleton(); !made) return made;
    // A mistyped --device makes a new device: never without a word.
    vyr::out::print(stderr, "vyr: made a new device in %s and installed VYR into it\n",
                    root.string().c_str());
  }
  if (Result<> linked = linkUser(); !linked) return linked;
  const fs::path payload = payloadFolder();
  const std::string substrate = "/Library/MobileSubstrate/DynamicLibraries";
  for (const auto& [from, to] : {
           std::pair{payload / "VYRSignals.dylib", substrate + "/VYRSignals.dylib"},
           std::pair{payload / "VYRSignals.plist", substrate + "/VYRSignals.plist"},
       }) {
    if (Result<> installed = installFile(from, to); !installed) return installed;
  }
  // The settings pane ships as a bundle plus the entry that makes the Settings app list it.
  if (fs::exists(payload / "VYR.bundle", ec)) {
    Result<> installed =
        installTree(payload / "VYR.bundle", "/Library/PreferenceBundles/VYR.bundle");
    if (!installed) return installed;
    installed = installFile(payload / "PreferenceLoader/VYR.plist",
                            "/Library/PreferenceLoader/Preferences/VYR.plist");
    if (!installed) return installed;
  }
  return {};
}

}  // namespace vyr
