// The subcommands of the `vyr` command. Each takes the arguments after its name (with --device
// already taken out and the device attached) and returns the process's exit status.
#pragma once

#include <string>
#include <vector>

namespace vyr {

struct Invocation {
  std::string device;             // the device folder, attached to this process
  std::vector<std::string> args;  // the arguments after the command's name
};

int runHost(const Invocation& inv);
int runColour(const Invocation& inv);
int runPrefs(const Invocation& inv);
// `vyr show`: SpringBoard's screens as VYR colours them (vyr/show/show_command.cpp).
int runShow(const Invocation& inv);
// `vyr import FILE`: a settings profile put on the device (vyr/show/import_command.cpp).
int runImport(const Invocation& inv);
// `vyr studio`: the phone and the Settings pane side by side in a browser (vyr/studio/).
int runStudio(const Invocation& inv);

}  // namespace vyr
