// `vyr import FILE`: puts a settings profile on the device, as the Settings pane would leave it.
//
// The profile is copied beside the device's preferences file under a temporary name, read back
// there by Foundation exactly as the library will read it (so nothing the library would refuse
// ever replaces the settings), renamed over the preferences file in one step, and then the
// settings-changed notification is posted so that running processes re-read their switches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "vyr/commands.hpp"
#include "vyr/show/files.hpp"

namespace vyr {
namespace {

constexpr char kPreferencesFolder[] = "/var/mobile/Library/Preferences";
constexpr char kPreferencesName[] = "com.belvorin.VYR.plist";
constexpr std::size_t kLargestProfile = 1 << 20;  // settings files are a few hundred bytes

int fail(const std::string& line) {
  std::fprintf(stderr, "vyr import: %s\n", show::oneLine(line).c_str());
  return 1;
}

// The bytes of PATH, or nothing with *ERROR saying why.
std::optional<std::string> readProfile(const std::string& path, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "cannot read " + path + ": not a regular file";
    return std::nullopt;
  }
  if (static_cast<std::size_t>(st.st_size) > kLargestProfile) {
    *error = path + " is larger than 1 MiB: not a settings profile";
    return std::nullopt;
  }
  auto bytes = sim::readFile(path, kLargestProfile);
  if (!bytes) *error = "cannot read " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
  return bytes;
}

// Removes the staged copy unless it was renamed into place.
class StagedFile {
 public:
  explicit StagedFile(std::string path) : path_(std::move(path)) {}
  ~StagedFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

int runImport(const std::string& source) {
  std::string error;
  const std::optional<std::string> bytes = readProfile(source, &error);
  if (!bytes) return fail(error);

  const auto folder = sim::resolve(kPreferencesFolder);
  if (!folder) return fail(std::string("the device has no folder ") + kPreferencesFolder);
  std::error_code ec;
  std::filesystem::create_directories(*folder, ec);
  if (ec) return fail("cannot create " + *folder + ": " + ec.message());

  // A name starting with '.' that no reader of the settings mistakes for the settings file.
  const std::string stagedName =
      std::string(".") + kPreferencesName + ".import-" + std::to_string(::getpid());
  StagedFile staged(*folder + "/" + stagedName);
  if (std::string err = show::replaceFile(staged.path(), *bytes); !err.empty()) return fail(err);

  unsigned long keys = 0;
  {
    ns::AutoreleasePool pool;
    const std::string devicePath = std::string(kPreferencesFolder) + "/" + stagedName;
    ns::Dictionary read =
        ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(devicePath.c_str()));
    if (!read) return fail(source + " is not a property list with a dictionary at its root");
    keys = read.count();
    read.release();
  }
  const std::string target = *folder + "/" + kPreferencesName;
  if (::rename(staged.path().c_str(), target.c_str()) != 0) {
    return fail("cannot replace " + target + ": " + std::strerror(errno));
  }
  staged.keep();

  CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                       CFSTR("com.belvorin.VYR/settingschanged"), nullptr, nullptr,
                                       1);
  std::printf("imported %s (%lu settings); posted com.belvorin.VYR/settingschanged\n",
              show::oneLine(source).c_str(), keys);
  return 0;
}

std::optional<Run> parseImport(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    std::fputs("vyr import: usage: vyr import FILE   (a property list with a dictionary root)\n",
               stderr);
    return std::nullopt;
  }
  return Run([source = args[0]](const Invocation&) { return runImport(source); });
}

}  // namespace

const Command importCommand{
    "import", nullptr,
    "  import FILE             puts a settings profile (a property list) on the device and\n"
    "                          posts the settings-changed notification\n",
    "usage: vyr import FILE\n"
    "Puts the settings profile FILE (a property list with a dictionary at its root, such as\n"
    "those in examples/) on the device as its settings file, replacing the file in one step,\n"
    "and posts com.belvorin.VYR/settingschanged so that running processes read it. A FILE\n"
    "that the library could not read leaves the settings as they were.\n",
    &parseImport};

}  // namespace vyr
