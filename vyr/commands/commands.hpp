// The subcommands of the `vyr` command.
//
// Each command first reads its arguments, before any device is made, attached or changed: a
// command line that is wrong leaves every folder as it was. Only then does main prepare the
// device and run the work the command's parse returned. To add a command, define its Command in
// its own file and list it in main.cpp's table.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vyr {

struct Invocation {
  std::string device;             // the device folder, attached to this process
  std::vector<std::string> args;  // the arguments after the command's name
};

// The work of a command whose arguments were read: run on the attached device, it returns the
// process's exit status.
using Run = std::function<int(const Invocation&)>;

struct Command {
  const char* name;
  const char* alias;     // another name it answers to, or null
  const char* synopsis;  // its lines in `vyr --help`, each ending in a newline
  const char* help;      // `vyr NAME --help`, on standard output
  // Reads ARGS (the arguments after the name, --device and --help taken out): the work to run, or
  // nothing after one line on standard error saying what is wrong (a usage error, status 2).
  std::optional<Run> (*parse)(const std::vector<std::string>& args);
};

extern const Command hostCommand;    // vyr/commands/host.cpp
extern const Command colourCommand;  // vyr/commands/colour.cpp
extern const Command prefsCommand;   // vyr/commands/prefs.cpp
extern const Command showCommand;    // vyr/commands/show.cpp
extern const Command importCommand;  // vyr/commands/profiles.cpp
extern const Command exportCommand;  // vyr/commands/profiles.cpp
extern const Command studioCommand;  // vyr/studio/studio.cpp
// Hidden: the device processes' roles, started by the commands above, never listed.
extern const Command roleCommand;  // vyr/roles/command.cpp

}  // namespace vyr
