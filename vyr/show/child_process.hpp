// Starting one of the device's processes that a front end talks to in lines: `vyr` itself, run
// again as a child with the device and the command that makes it that process.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "vyr/result.hpp"

namespace vyr::show {

struct ChildProcess {
  pid_t pid = -1;
  int in = -1;   // its standard input, for writing; close-on-exec
  int out = -1;  // its standard output, for reading; close-on-exec
};

// Starts `EXE --device DEVICE COMMAND...` as a device process of the attached device, in its
// sandbox (device/spawn.hpp): its standard input and output on new pipes, its standard error
// written to this process's line by line with control characters spelt out, in a session of its
// own (so that the terminal's Ctrl-C reaches only the front end, which then ends it). The caller
// owns the pid (to reap; ending it ends everything the process started) and both descriptors.
// A failure (no pipes, no process) leaves nothing open and says why in a few words.
Result<ChildProcess> startChild(const std::string& exe, const std::string& device,
                                const std::vector<std::string>& command);

}  // namespace vyr::show
