#include "vyr/install.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "device/device.hpp"

namespace fs = std::filesystem;

namespace vyr {
namespace {

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Copies FROM to TO unless TO already holds the same bytes; the new file replaces the old one in a
// single rename, so a process that has the old library mapped keeps running on it.
std::string installFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (!fs::is_regular_file(from, ec)) return "missing from the build: " + from.string();
  const std::string bytes = readAll(from);
  if (fs::exists(to, ec) && readAll(to) == bytes) return {};
  fs::create_directories(to.parent_path(), ec);
  if (ec) return "cannot create " + to.parent_path().string() + ": " + ec.message();
  if (!sim::writeFileAtomically(to.string(), bytes)) return "cannot write " + to.string();
  fs::permissions(to, fs::status(from).permissions(), ec);
  return {};
}

std::string installTree(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string err = installFile(it->path(), to / fs::relative(it->path(), from));
    if (!err.empty()) return err;
  }
  return ec ? "cannot read " + from.string() + ": " + ec.message() : std::string();
}

// A new device: the folders and files that the system expects to find on a device, among them
// the caches that a respring deletes.
std::string makeSkeleton(const fs::path& root) {
  std::error_code ec;
  for (const char* dir :
       {"var/mobile/Library/Preferences", "var/mobile/Library/Caches/com.apple.UIStatusBar",
        "var/mobile/Library/Caches/SpringBoardIconCache",
        "var/mobile/Library/Caches/com.apple.IconsCache",
        "Library/MobileSubstrate/DynamicLibraries", "Library/PreferenceBundles",
        "Library/PreferenceLoader/Preferences", "Applications/Cydia.app", ".sim"}) {
    fs::create_directories(root / dir, ec);
    if (ec) return "cannot create the device folder " + (root / dir).string() + ": " + ec.message();
  }
  for (const char* file :
       {"com.apple.springboard-imagecache-icons", "com.apple.springboard-imagecache-icons.plist",
        "com.apple.SpringBoard.folderSwitcherLinen", "com.apple.UIStatusBar/images",
        "SpringBoardIconCache/icon.png"}) {
    std::ofstream(root / "var/mobile/Library/Caches" / file) << "cache\n";
  }
  std::ofstream conf(root / ".sim/device.conf");
  conf << "# The simulated device's settings.\n"
          "# ios: the iOS version; it sets kCFCoreFoundationVersionNumber (8.1: 1141.14).\n"
          "ios=8.1\n";
  if (!conf) return "cannot write " + (root / ".sim/device.conf").string();
  return {};
}

}  // namespace

std::string payloadFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string defaultDeviceFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/vyr/device";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/share/vyr/device";
}

std::string prepareDevice(const std::string& dir) {
  std::error_code ec;
  const fs::path root = fs::absolute(dir, ec);
  if (ec) return "cannot use device folder " + dir + ": " + ec.message();
  if (!fs::exists(root / ".sim", ec)) {
    const std::string err = makeSkeleton(root);
    if (!err.empty()) return err;
  }
  const fs::path payload = payloadFolder();
  const fs::path substrate = root / "Library/MobileSubstrate/DynamicLibraries";
  for (const auto& [from, to] : {
           std::pair{payload / "VYRSignals.dylib", substrate / "VYRSignals.dylib"},
           std::pair{payload / "VYRSignals.plist", substrate / "VYRSignals.plist"},
       }) {
    const std::string err = installFile(from, to);
    if (!err.empty()) return err;
  }
  // The settings pane ships as a bundle plus the entry that makes the Settings app list it.
  if (fs::exists(payload / "VYR.bundle", ec)) {
    std::string err =
        installTree(payload / "VYR.bundle", root / "Library/PreferenceBundles/VYR.bundle");
    if (err.empty()) {
      err = installFile(payload / "PreferenceLoader/VYR.plist",
                        root / "Library/PreferenceLoader/Preferences/VYR.plist");
    }
    if (!err.empty()) return err;
  }
  return {};
}

}  // namespace vyr
