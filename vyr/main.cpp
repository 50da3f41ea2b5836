// vyr: the front door of the simulated device with VYR installed in it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/simulator.hpp"
#include "platform/uikit/host_calls.hpp"
#include "vyr/attach/device_folder.hpp"
#include "vyr/attach/install.hpp"
#include "vyr/base/out.hpp"
#include "vyr/base/suggest.hpp"
#include "vyr/commands/commands.hpp"

namespace {

// Every command, in the order `vyr --help` lists them.
const vyr::Command* const kCommands[] = {
    &vyr::hostCommand,   &vyr::colourCommand, &vyr::prefsCommand,  &vyr::showCommand,
    &vyr::importCommand, &vyr::exportCommand, &vyr::studioCommand,
};

const char kUsageHead[] = "usage: vyr [--device DIR] [--ios X.Y] COMMAND [ARGS]\n\ncommands:\n";
const char kUsageTail[] =
    "\n"
    "vyr COMMAND --help (or vyr help COMMAND) tells more about one command; vyr --version\n"
    "prints the version.\n"
    "--device DIR (before or after the command) picks the device folder; by default a folder\n"
    "under the user's data directory. A folder that does not exist yet, or an empty one, becomes\n"
    "a new device with VYR installed; a folder that holds other things is refused.\n"
    "--ios X.Y makes the device that iOS release (kept in the device) before the command runs;\n"
    "its frameworks then have that release's classes and methods.\n";

void usage(std::FILE* to) {
  vyr::out::lines(to, kUsageHead);
  for (const vyr::Command* command : kCommands) vyr::out::lines(to, command->synopsis);
  vyr::out::lines(to, kUsageTail);
}

// Commands that `vyr --help` does not list and no suggestion names: what the device processes
// that the listed commands start are to play.
const vyr::Command* const kHiddenCommands[] = {&vyr::roleCommand};

const vyr::Command* find(const std::string& name) {
  for (const vyr::Command* command : kCommands) {
    if (name == command->name || (command->alias != nullptr && name == command->alias)) {
      return command;
    }
  }
  for (const vyr::Command* command : kHiddenCommands) {
    if (name == command->name) return command;
  }
  return nullptr;
}

bool isHelp(const std::string& arg) {
  return arg == "-h" || arg == "--help";
}

// Whether the command's own arguments ask for its help; what follows a lone "--" is an operand.
bool asksForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (isHelp(arg)) return true;
  }
  return false;
}

// The release --ios names, or nullptr after saying on standard error which releases there are.
const sim::IosRelease* iosRelease(const std::string& version) {
  const sim::IosRelease* release = sim::findIosRelease(version);
  if (release == nullptr) {
    vyr::out::print(stderr, "vyr: --ios %s: not a release the simulated device can be (%s)\n",
                    version.c_str(), sim::knownIosVersions().c_str());
  }
  return release;
}

// The frameworks of this process registered their classes for the release of the device it had
// when they loaded (none, if it was started without one). A command for a device of another
// release starts again as a process of that device, which its frameworks then follow. The
// version option has done its work by then and is left out.
[[noreturn]] void restartForDevice(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ios") {
      ++i;
      continue;
    }
    if (arg.rfind("--ios=", 0) == 0) continue;
    args.push_back(argv[i]);
  }
  args.push_back(nullptr);
  setenv("VYR_RESTARTED_FOR_DEVICE", "1", 1);
  ::execv("/proc/self/exe", args.data());
  vyr::out::print(stderr, "vyr: cannot start again for the device's iOS release\n");
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string device;
  bool deviceGiven = false;
  const sim::IosRelease* ios = nullptr;
  std::string name;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--device") {
      if (i + 1 >= argc) {
        vyr::out::print(stderr, "vyr: --device needs a folder\n");
        return 2;
      }
      device = argv[++i];
      deviceGiven = true;
    } else if (arg.rfind("--device=", 0) == 0) {
      device = arg.substr(9);
      deviceGiven = true;
    } else if (arg == "--ios" || arg.rfind("--ios=", 0) == 0) {
      if (arg == "--ios" && i + 1 >= argc) {
        vyr::out::print(stderr, "vyr: --ios needs a version such as 8.1\n");
        return 2;
      }
      ios = iosRelease(arg == "--ios" ? argv[++i] : arg.substr(6));
      if (ios == nullptr) return 2;
    } else if (name.empty() && arg == "--version") {
      vyr::out::print(stdout, "vyr %s\n", VYR_VERSION);
      return 0;
    } else if (name.empty() && arg == "help" && i + 1 < argc) {
      // `vyr help show`, as `vyr show --help`.
      const vyr::Command* command = find(argv[i + 1]);
      if (command == nullptr) {
        vyr::out::print(stderr, "vyr: unknown command '%s'\n", argv[i + 1]);
        return 2;
      }
      vyr::out::lines(stdout, command->help);
      return 0;
    } else if (name.empty() && (isHelp(arg) || arg == "help")) {
      usage(stdout);
      return 0;
    } else if (name.empty()) {
      name = arg;
    } else {
      rest.push_back(arg);
    }
  }
  if (name.empty()) {
    usage(stderr);
    return 2;
  }
  // An empty --device is a mistake (an unset variable in a script), not the default device.
  if (deviceGiven && device.empty()) {
    vyr::out::print(stderr, "vyr: --device needs a folder, not an empty name\n");
    return 2;
  }

  // The command line is settled before any folder is touched.
  const vyr::Command* command = find(name);
  if (command == nullptr) {
    std::vector<std::string> names;
    for (const vyr::Command* c : kCommands) names.emplace_back(c->name);
    vyr::out::print(stderr, "vyr: unknown command '%s'%s\n\n", name.c_str(),
                    vyr::didYouMean(name, names).c_str());
    usage(stderr);
    return 2;
  }
  if (asksForHelp(rest)) {
    vyr::out::lines(stdout, command->help);
    return 0;
  }
  const std::optional<vyr::Run> run = command->parse(rest);
  if (!run) return 2;

  if (device.empty()) device = vyr::defaultDeviceFolder();
  vyr::Result<> ready = vyr::checkDeviceFolder(device);
  // prepareDevice attaches this process to the device it prepared.
  if (ready) ready = vyr::prepareDevice(device);
  if (ready && ios != nullptr) {
    const std::string before = sim::iosVersion();
    if (const int error = sim::setIosVersion(*ios); error != 0) {
      ready =
          vyr::failed("cannot write " + sim::simFolder() + "/device.conf: " + std::strerror(error));
    } else {
      vyr::out::print(stderr, "vyr: the device is iOS %s (CoreFoundation %.2f)%s\n", ios->version,
                      ios->coreFoundation,
                      before == ios->version ? "" : (" instead of " + before).c_str());
    }
  }
  // An iOS version that cannot be read would silently count as another one.
  if (ready) {
    if (std::string problem = sim::deviceSettingsProblem(); !problem.empty()) {
      ready = vyr::failed(std::move(problem));
    }
  }
  if (!ready) {
    vyr::out::print(stderr, "vyr: %s\n", ready.error().c_str());
    return 1;
  }
  // Processes that this one starts belong to the same device.
  setenv("VYR_DEVICE_ROOT", sim::deviceRoot().c_str(), 1);
  if (uikitsim::registeredInterfaces() != sim::iosRelease().interfaces &&
      std::getenv("VYR_RESTARTED_FOR_DEVICE") == nullptr) {
    restartForDevice(argc, argv);
  }
  unsetenv("VYR_RESTARTED_FOR_DEVICE");
  cfsim::refreshVersionNumber();

  return (*run)(vyr::Invocation{sim::deviceRoot(), rest});
}
