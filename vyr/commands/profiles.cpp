// `vyr import FILE`: puts a settings profile on the device, as the Settings pane would leave it;
// `vyr export FILE`: writes the device's settings as such a profile.
//
// The profile is copied beside the device's preferences file under a temporary name, read back
// there by Foundation exactly as the library will read it (so nothing the library would refuse
// ever replaces the settings), checked against the pane's rows (so nothing the pane would not
// have written lands unless asked for), renamed over the preferences file in one step, and then
// the settings-changed notification is posted so that running processes re-read their switches.
// The settings' writers' lock is held throughout, as by every writer of the settings.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/files.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "platform/preferences/domain.hpp"
#include "tweak/elements.hpp"
#include "vyr/base/files.hpp"
#include "vyr/base/out.hpp"
#include "vyr/base/result.hpp"
#include "vyr/commands/commands.hpp"
#include "vyr/profile/history.hpp"
#include "vyr/profile/profile.hpp"

namespace vyr {
namespace {

// The settings file's folder and its name there.
constexpr std::string_view kSettingsFile = kPreferencesPath;
constexpr std::string_view kPreferencesFolder = kSettingsFile.substr(0, kSettingsFile.rfind('/'));
constexpr std::string_view kPreferencesName = kSettingsFile.substr(kSettingsFile.rfind('/') + 1);
constexpr std::size_t kLargestProfile = 1 << 20;  // settings files are a few hundred bytes

int fail(const std::string& line, const char* command = "import") {
  vyr::out::print(stderr, "vyr %s: %s\n", command, line.c_str());
  return 1;
}

// VYR's pane as the Settings app opens it, or nothing when it cannot be opened (its rows are then
// the library's keys).
std::unique_ptr<preferences::settings::Pane> openPane() {
  for (const auto& entry : preferences::settings::paneEntries()) {
    if (entry.bundle == "VYR") return preferences::settings::Pane::open(entry, nullptr);
  }
  return nullptr;
}

std::vector<profile::Setting> paneSettings(const char* command) {
  const auto pane = openPane();
  if (!pane) {
    vyr::out::print(stderr,
                    "vyr %s: VYR's settings pane cannot be opened; checking against the keys the "
                    "library reads\n",
                    command);
  }
  return profile::settingsOf(pane.get());
}

// The bytes of PATH, a file of the machine. Only a regular file is read: a FIFO or device node is
// refused, never waited on.
// "-" is standard input, read to its end (a pipe or a file; not a terminal, which would wait).
Result<std::string> readProfile(const std::string& path) {
  if (path == "-") {
    if (::isatty(STDIN_FILENO) == 1) {
      return failed("standard input is a terminal: pipe a profile in (vyr import - < FILE)");
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n == 0) return bytes;
      if (n < 0) {
        if (errno == EINTR) continue;
        return failed("cannot read standard input: " + sim::describe(errno));
      }
      bytes.append(buffer, static_cast<std::size_t>(n));
      if (bytes.size() > kLargestProfile) {
        return failed("standard input holds more than 1 MiB: not a settings profile");
      }
    }
  }
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

// Imports SOURCE's BYTES as one step of the settings' history.
int runImport(const std::string& source, const std::string& bytes, bool force) {
  // Held until the rename: a pane write at the same moment would otherwise put back the old
  // settings with its one change, undoing the import.
  const preferences::WritersLock lock(kDomain);
  if (!lock) return fail(lock.problem());
  const history::Before before = history::before();

  const std::string folder(kPreferencesFolder);
  if (const int err = sim::makeFolders(sim::Area::Device, folder); err != 0) {
    return fail("cannot create " + folder + " in the device: " + sim::describe(err));
  }

  // Staged under the writers' temporary-file pattern (".NAME.vyr-<random>"), which no reader of
  // the settings mistakes for the settings file, and locked while it lives: a copy left by an
  // import that was killed is removed by the next writer in the folder, as a killed writer's is.
  const sim::Fd folderFd = sim::openFolder(sim::Area::Device, folder);
  if (!folderFd) {
    return fail("cannot open " + folder + " in the device: " + sim::describe(folderFd.error()));
  }
  std::string tempName;
  const sim::Fd stagedFile = sim::createTempIn(folderFd.get(), kPreferencesName, tempName);
  if (!stagedFile) {
    return fail("cannot stage the settings in " + folder + ": " +
                sim::describe(stagedFile.error()));
  }
  const std::string stagedPath = folder + "/" + tempName;
  StagedFile staged(stagedPath);
  ::flock(stagedFile.get(), LOCK_EX);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(stagedFile.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      return fail("cannot write " + stagedPath +
                  " in the device: " + sim::describe(n < 0 ? errno : EIO));
    }
    done += static_cast<std::size_t>(n);
  }

  unsigned long keys = 0;
  {
    ns::AutoreleasePool pool;
    const ns::Owned<ns::Dictionary> read =
        ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(stagedPath.c_str()));
    if (!read) return fail(source + " is not a property list with a dictionary at its root");
    keys = read->count();
    const std::vector<std::string> problems = profile::check(read.get(), paneSettings("import"));
    for (const std::string& problem : problems) fail(problem);
    if (!problems.empty()) {
      if (!force) {
        return fail(source + " is not what the Settings pane writes (" +
                    std::to_string(problems.size()) +
                    (problems.size() == 1 ? " problem" : " problems") +
                    "); nothing changed. --force imports it as it is");
      }
      fail("importing it as it is (--force)");
    }
  }
  const std::string target = kPreferencesPath;
  if (const int err = sim::renameFile(sim::Area::Device, staged.path(), target); err != 0) {
    return fail("cannot replace " + target + " in the device: " + sim::describe(err));
  }
  staged.keep();
  if (const auto problem = history::recordHoldingLock(before, "import " + source)) {
    fail("note: " + *problem);
  }

  CFNotificationCenterPostNotification(
      CFNotificationCenterGetDarwinNotifyCenter(),
      reinterpret_cast<CFStringRef>(ns::String::literal<kSettingsChanged>().get()), nullptr,
      nullptr, 1);
  vyr::out::print(stdout, "imported %s (%lu settings); posted %s\n", source.c_str(), keys,
                  kSettingsChanged);
  return 0;
}

int runImport(const std::string& path, bool force) {
  const Result<std::string> bytes = readProfile(path);
  if (!bytes) return fail(bytes.error());
  return runImport(path == "-" ? "standard input" : path, *bytes, force);
}

std::optional<Run> parseImport(const std::vector<std::string>& args) {
  std::vector<std::string> operands;
  bool force = false;
  for (const std::string& arg : args) {
    if (arg == "--force") {
      force = true;
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.size() != 1 || operands[0].empty() ||
      (operands[0][0] == '-' && operands[0] != "-")) {
    vyr::out::print(stderr,
                    "vyr import: usage: vyr import [--force] FILE   (a property list with a "
                    "dictionary root; - reads standard input)\n");
    return std::nullopt;
  }
  return Run([source = operands[0], force](const Invocation&) { return runImport(source, force); });
}

int runExport(const std::string& target) {
  ns::AutoreleasePool pool;
  std::vector<std::string> leftOut;
  const Result<std::string> bytes = profile::exportProfile(paneSettings("export"), &leftOut);
  if (!bytes) return fail(bytes.error(), "export");
  for (const std::string& line : leftOut) fail(line, "export");
  if (target == "-") {
    if (!vyr::out::bytes(stdout, *bytes) || std::fflush(stdout) != 0) {
      return fail("cannot write to standard output", "export");
    }
    return 0;
  }
  struct stat st {};
  const bool existed = ::stat(target.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) {
    return fail("cannot write " + target + ": it exists and is not a regular file", "export");
  }
  if (const Result<> written = show::replaceFile(target, *bytes); !written) {
    return fail(written.error(), "export");
  }
  // Replacing a file is said as such: it may have been another profile.
  vyr::out::print(stderr, "vyr export: %s %s\n", existed ? "replaced" : "wrote", target.c_str());
  return 0;
}

std::optional<Run> parseExport(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty() || (args[0][0] == '-' && args[0] != "-")) {
    vyr::out::print(stderr, "vyr export: usage: vyr export FILE   (- writes to standard output)\n");
    return std::nullopt;
  }
  return Run([target = args[0]](const Invocation&) { return runExport(target); });
}

}  // namespace

const Command importCommand{
    "import", nullptr,
    "  import [--force] FILE   puts a settings profile (a property list) on the device and\n"
    "                          posts the settings-changed notification\n",
    "usage: vyr import [--force] FILE\n"
    "Puts the settings profile FILE (a property list with a dictionary at its root, such as\n"
    "those in examples/; - reads it from standard input) on the device as its settings file,\n"
    "replacing the file in one step,\n"
    "and posts com.belvorin.VYR/settingschanged so that running processes read it. A FILE\n"
    "that the library could not read leaves the settings as they were.\n"
    "FILE is first checked against the Settings pane's rows: a key no row has, a value of\n"
    "another kind than its row stores, a preset number no row offers, and a colour string\n"
    "that the library would read as another colour (such as #RRGGBBAA) are listed on standard\n"
    "error, one line each starting with the key, and nothing is changed (exit status 1),\n"
    "unless --force is given.\n",
    &parseImport};

const Command exportCommand{
    "export", nullptr,
    "  export FILE             writes the device's settings as a profile that import takes\n",
    "usage: vyr export FILE\n"
    "Writes the device's settings as a settings profile (an XML property list): every key of\n"
    "the Settings pane's rows, with the settings file's value, or the row's default where the\n"
    "file holds none or one the row does not take (each such key named on standard error).\n"
    "FILE - writes the profile to standard output. An existing FILE is replaced in one step,\n"
    "and said to be.\n",
    &parseExport};

}  // namespace vyr
