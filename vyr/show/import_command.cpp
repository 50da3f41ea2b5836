// `vyr import FILE`: puts a settings profile on the device, as the Settings pane would leave it.
//
// The profile is copied beside the device's preferences file under a temporary name, read back
// there by Foundation exactly as the library will read it (so nothing the library would refuse
// ever replaces the settings), renamed over the preferences file in one step, and then the
// settings-changed notification is posted so that running processes re-read their switches. The
// settings' writers' lock is held throughout, as by every writer of the settings.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/files.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "platform/preferences/domain.hpp"
#include "tweak/elements.hpp"
#include "vyr/commands.hpp"
#include "vyr/result.hpp"
#include "vyr/show/files.hpp"

namespace vyr {
namespace {

// The settings file's folder and its name there.
constexpr std::string_view kSettingsFile = kPreferencesPath;
constexpr std::string_view kPreferencesFolder = kSettingsFile.substr(0, kSettingsFile.rfind('/'));
constexpr std::string_view kPreferencesName = kSettingsFile.substr(kSettingsFile.rfind('/') + 1);
constexpr std::size_t kLargestProfile = 1 << 20;  // settings files are a few hundred bytes

int fail(const std::string& line) {
  std::fprintf(stderr, "vyr import: %s\n", show::oneLine(line).c_str());
  return 1;
}

// The bytes of PATH, a file of the machine. Only a regular file is read: a FIFO or device node is
// refused, never waited on.
Result<std::string> readProfile(const std::string& path) {
  const sim::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  int why = fd ? 0 : errno;
  std::optional<std::string> bytes;
  if (fd) bytes = sim::readOpenFile(fd.get(), kLargestProfile, &why);
  if (bytes) return *std::move(bytes);
  return failed(why == EFBIG ? path + " is larger than 1 MiB: not a settings profile"
                             : "cannot read " + path + ": " + sim::describe(why));
}

// Removes the staged copy unless it was renamed into place.
class StagedFile {
 public:
  explicit StagedFile(std::string devicePath) : path_(std::move(devicePath)) {}
  ~StagedFile() {
    if (!path_.empty()) sim::removeFile(sim::Area::Device, path_);
  }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

int runImport(const std::string& source) {
  const Result<std::string> bytes = readProfile(source);
  if (!bytes) return fail(bytes.error());

  // Held until the rename: a pane write at the same moment would otherwise put back the old
  // settings with its one change, undoing the import.
  const preferences::WritersLock lock(kDomain);
  if (!lock) return fail(lock.problem());

  const std::string folder(kPreferencesFolder);
  if (const int err = sim::makeFolders(sim::Area::Device, folder); err != 0) {
    return fail("cannot create " + folder + " in the device: " + sim::describe(err));
  }

  // A name starting with '.' that no reader of the settings mistakes for the settings file.
  const std::string stagedPath =
      folder + "/." + std::string(kPreferencesName) + ".import-" + std::to_string(::getpid());
  if (const int err = sim::writeFile(sim::Area::Device, stagedPath, *bytes); err != 0) {
    return fail("cannot write " + stagedPath + " in the device: " + sim::describe(err));
  }
  StagedFile staged(stagedPath);

  unsigned long keys = 0;
  {
    ns::AutoreleasePool pool;
    const ns::Owned<ns::Dictionary> read =
        ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(stagedPath.c_str()));
    if (!read) return fail(source + " is not a property list with a dictionary at its root");
    keys = read->count();
  }
  const std::string target = kPreferencesPath;
  if (const int err = sim::renameFile(sim::Area::Device, staged.path(), target); err != 0) {
    return fail("cannot replace " + target + " in the device: " + sim::describe(err));
  }
  staged.keep();

  CFNotificationCenterPostNotification(
      CFNotificationCenterGetDarwinNotifyCenter(),
      reinterpret_cast<CFStringRef>(ns::String::literal<kSettingsChanged>().get()), nullptr,
      nullptr, 1);
  std::printf("imported %s (%lu settings); posted %s\n", show::oneLine(source).c_str(), keys,
              kSettingsChanged);
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
