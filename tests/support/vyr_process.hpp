// The `vyr` command run as a separate process, for end-to-end tests: its standard input and
// output are pipes, its standard error goes to a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vyrtest {

// The vyr binary of this build.
std::string vyrBinary();

class VyrProcess {
 public:
  // Starts `vyr ARGS...`; the child belongs to its own process group.
  explicit VyrProcess(const std::vector<std::string>& args);
  ~VyrProcess();  // closes standard input, waits briefly, then kills what is left
  VyrProcess(const VyrProcess&) = delete;
  VyrProcess& operator=(const VyrProcess&) = delete;

  // Writes LINE and a newline to the child's standard input.
  void send(const std::string& line);
  // The next line of standard output, or nothing when none comes within TIMEOUT or the output
  // ended.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // send, then readLine.
  std::optional<std::string> ask(const std::string& line);
  void closeInput();
  // Waits up to TIMEOUT for the child to end; its wait status, or nothing while it still runs.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything the child wrote to standard error so far.
  std::string errors() const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string errPath_;
  std::string buffer_;
  std::optional<int> status_;
};

// Runs `vyr ARGS...` to its end; its exit code (or 128 + signal) and standard output.
struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
RunResult runVyr(const std::vector<std::string>& args, const std::string& input = {});

}  // namespace vyrtest
