#include "vyr/show/child_process.hpp"

#include "device/spawn.hpp"
#include "vyr/printable.hpp"

namespace vyr::show {

Result<ChildProcess> startChild(const std::string& exe, const std::string& device,
                                const std::vector<std::string>& command) {
  sim::SpawnOptions options;
  options.exe = exe;
  options.args = {"--device", device};
  options.args.insert(options.args.end(), command.begin(), command.end());
  options.in = sim::Stdio::Pipe;
  options.out = sim::Stdio::Pipe;
  options.err = sim::Stdio::Pipe;
  options.escapeLine = [](std::string_view line) { return printable(line); };
  options.deviceProcess = true;
  options.device = device;
  sim::Spawned child = sim::spawnProcess(options);
  if (child.pid < 0) return failed(child.error);
  return ChildProcess{child.pid, child.in.release(), child.out.release()};
}

}  // namespace vyr::show
