// vyr: the front door of the simulated device with VYR installed in it.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/simulator.hpp"
#include "vyr/commands.hpp"
#include "vyr/device_folder.hpp"
#include "vyr/install.hpp"
#include "vyr/printable.hpp"
#include "vyr/suggest.hpp"

namespace {

// Every command, in the order `vyr --help` lists them.
const vyr::Command* const kCommands[] = {
    &vyr::hostCommand,   &vyr::colourCommand, &vyr::prefsCommand,  &vyr::showCommand,
    &vyr::importCommand, &vyr::exportCommand, &vyr::studioCommand,
};

const char kUsageHead[] = "usage: vyr [--device DIR] COMMAND [ARGS]\n\ncommands:\n";
const char kUsageTail[] =
    "\n"
    "vyr COMMAND --help (or vyr help COMMAND) tells more about one command; vyr --version\n"
    "prints the version.\n"
    "--device DIR (before or after the command) picks the device folder; by default a folder\n"
    "under the user's data directory. A folder that does not exist yet, or an empty one, becomes\n"
    "a new device with VYR installed; a folder that holds other things is refused.\n";

void usage(std::FILE* to) {
  std::fputs(kUsageHead, to);
  for (const vyr::Command* command : kCommands) std::fputs(command->synopsis, to);
  std::fputs(kUsageTail, to);
}

const vyr::Command* find(const std::string& name) {
  for (const vyr::Command* command : kCommands) {
    if (name == command->name || (command->alias != nullptr && name == command->alias)) {
      return command;
    }
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

}  // namespace

int main(int argc, char** argv) {
  std::string device;
  bool deviceGiven = false;
  std::string name;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--device") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vyr: --device needs a folder\n");
        return 2;
      }
      device = argv[++i];
      deviceGiven = true;
    } else if (arg.rfind("--device=", 0) == 0) {
      device = arg.substr(9);
      deviceGiven = true;
    } else if (name.empty() && arg == "--version") {
      std::printf("vyr %s\n", VYR_VERSION);
      return 0;
    } else if (name.empty() && arg == "help" && i + 1 < argc) {
      // `vyr help show`, as `vyr show --help`.
      const vyr::Command* command = find(argv[i + 1]);
      if (command == nullptr) {
        std::fprintf(stderr, "vyr: unknown command '%s'\n", argv[i + 1]);
        return 2;
      }
      std::fputs(command->help, stdout);
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
    std::fprintf(stderr, "vyr: --device needs a folder, not an empty name\n");
    return 2;
  }

  // The command line is settled before any folder is touched.
  const vyr::Command* command = find(name);
  if (command == nullptr) {
    std::vector<std::string> names;
    for (const vyr::Command* c : kCommands) names.emplace_back(c->name);
    std::fprintf(stderr, "vyr: unknown command '%s'%s\n\n", vyr::printable(name).c_str(),
                 vyr::didYouMean(name, names).c_str());
    usage(stderr);
    return 2;
  }
  if (asksForHelp(rest)) {
    std::fputs(command->help, stdout);
    return 0;
  }
  const std::optional<vyr::Run> run = command->parse(rest);
  if (!run) return 2;

  if (device.empty()) device = vyr::defaultDeviceFolder();
  vyr::Result<> ready = vyr::checkDeviceFolder(device);
  // prepareDevice attaches this process to the device it prepared.
  if (ready) ready = vyr::prepareDevice(device);
  // An iOS version that cannot be read would silently count as another one.
  if (ready) {
    if (std::string problem = sim::deviceSettingsProblem(); !problem.empty()) {
      ready = vyr::failed(std::move(problem));
    }
  }
  if (!ready) {
    std::fprintf(stderr, "vyr: %s\n", ready.error().c_str());
    return 1;
  }
  // Processes that this one starts belong to the same device.
  setenv("VYR_DEVICE_ROOT", sim::deviceRoot().c_str(), 1);
  cfsim::refreshVersionNumber();

  return (*run)(vyr::Invocation{sim::deviceRoot(), rest});
}
