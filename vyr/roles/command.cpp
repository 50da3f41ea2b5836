// `vyr role ROLE`: a process of the device that a front end starts and talks to over its protocol
// socket (vyr/child/), each role a subcommand of its own rather than an option of a user command:
//   springboard [--relaunch]  SpringBoard for `vyr show` and the studio (--relaunch: its front end
//                             starts it again after a respring, as the device's launchd does)
//   settings-app              the Settings app with VYR's pane, for the studio
// Not listed in `vyr --help`: nobody runs one by hand. One started without its front end's socket
// (from a terminal) is refused as a usage error before any device folder is touched.
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "device/processes.hpp"
#include "device/spawn.hpp"
#include "vyr/base/out.hpp"
#include "vyr/commands/commands.hpp"
#include "vyr/roles/settings_app.hpp"
#include "vyr/roles/springboard.hpp"

namespace vyr {
namespace {

constexpr char kHelp[] =
    "usage: vyr role springboard [--relaunch] | vyr role settings-app\n"
    "The device processes that `vyr show` and `vyr studio` start and talk to over a socket;\n"
    "they are not run by hand.\n";

bool hasProtocolSocket() {
  struct stat st {};
  return ::fstat(sim::kProtocolFd, &st) == 0 && S_ISSOCK(st.st_mode);
}

std::optional<Run> parseRole(const std::vector<std::string>& args) {
  const auto refuse = [](const std::string& line) -> std::optional<Run> {
    vyr::out::print(stderr, "vyr role: %s\n", line.c_str());
    return std::nullopt;
  };
  const std::string role = args.empty() ? std::string() : args.front();
  const std::vector<std::string> options(args.begin() + (args.empty() ? 0 : 1), args.end());
  std::optional<Run> run;
  if (role == "springboard" && options.empty()) {
    run = Run([](const Invocation&) { return show::runSpringBoard(sim::Relaunch::Never); });
  } else if (role == "springboard" && options == std::vector<std::string>{"--relaunch"}) {
    run = Run([](const Invocation&) { return show::runSpringBoard(sim::Relaunch::ByParent); });
  } else if (role == "settings-app" && options.empty()) {
    run = Run([](const Invocation&) { return studio::runSettingsApp(); });
  } else {
    vyr::out::lines(stderr, kHelp);
    return std::nullopt;
  }
  if (!hasProtocolSocket()) {
    return refuse(role +
                  " is a process of the device that `vyr show` or `vyr studio` starts and talks "
                  "to; it is not run by hand");
  }
  return run;
}

}  // namespace

const Command roleCommand{"role", nullptr, "", kHelp, &parseRole};

}  // namespace vyr
