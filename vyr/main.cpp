// vyr: the front door of the simulated device with VYR installed in it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/simulator.hpp"
#include "vyr/commands.hpp"
#include "vyr/install.hpp"

namespace {

const char kUsage[] =
    "usage: vyr [--device DIR] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  host [--process NAME]   start a UI process of the device with VYRSignals injected;\n"
    "                          it answers commands on standard input (send, notify, hooks, quit)\n"
    "  colour STRING ...       the colour of each colour string, as the library reads it\n"
    "  colour --key KEY [--fallback STRING]\n"
    "                          the colour the library reads for KEY from the device's settings\n"
    "  prefs [get|set|tap|respring ...]\n"
    "                          the device's Settings pane of VYR\n"
    "  show [--out FILE] [--battery PERCENT] [--charging] [--style default|light]\n"
    "       [--no-picture] [--watch]\n"
    "                          SpringBoard's status bar, home and lock screens in VYR's colours:\n"
    "                          a picture (PNG, or SVG for FILE.svg) and a table of the sources\n"
    "  import FILE             puts a settings profile (a property list) on the device and\n"
    "                          posts the settings-changed notification\n"
    "  studio [--port N] [--no-open]\n"
    "                          the phone's screens and VYR's Settings pane side by side in a\n"
    "                          browser, live, served on 127.0.0.1\n"
    "\n"
    "--device DIR (before or after the command) picks the device folder; by default a folder\n"
    "under the user's data directory. A folder that does not exist yet becomes a new device\n"
    "with VYR installed.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string device;
  std::string command;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--device") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vyr: --device needs a folder\n");
        return 2;
      }
      device = argv[++i];
    } else if (arg.rfind("--device=", 0) == 0) {
      device = arg.substr(9);
    } else if (command.empty() && (arg == "-h" || arg == "--help" || arg == "help")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (command.empty()) {
      command = arg;
    } else {
      rest.push_back(arg);
    }
  }
  if (command.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (device.empty()) device = vyr::defaultDeviceFolder();

  const std::string err = vyr::prepareDevice(device);
  if (!err.empty()) {
    std::fprintf(stderr, "vyr: %s\n", err.c_str());
    return 1;
  }
  sim::attachDevice(device);
  // Processes that this one starts belong to the same device.
  setenv("VYR_DEVICE_ROOT", sim::deviceRoot().c_str(), 1);
  cfsim::refreshVersionNumber();

  const vyr::Invocation inv{sim::deviceRoot(), rest};
  if (command == "host") return vyr::runHost(inv);
  if (command == "colour" || command == "color") return vyr::runColour(inv);
  if (command == "prefs") return vyr::runPrefs(inv);
  if (command == "show") return vyr::runShow(inv);
  if (command == "import") return vyr::runImport(inv);
  if (command == "studio") return vyr::runStudio(inv);
  std::fprintf(stderr, "vyr: unknown command '%s'\n\n%s", command.c_str(), kUsage);
  return 2;
}
