#include "tests/support/vyr_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vyrtest {

std::string vyrBinary() {
  return VYR_BINARY;
}

VyrProcess::VyrProcess(const std::vector<std::string>& args) {
  int inPipe[2];
  int outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  char pattern[] = "/tmp/vyr-stderr-XXXXXX";
  const int errFd = mkstemp(pattern);
  if (errFd < 0) throw std::runtime_error("mkstemp");
  errPath_ = pattern;

  std::vector<std::string> argv = {vyrBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(inPipe[0], STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  close(errFd);
  close(inPipe[0]);
  close(outPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
}

VyrProcess::~VyrProcess() {
  closeInput();
  if (!wait(std::chrono::seconds(5))) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  if (out_ >= 0) close(out_);
  std::filesystem::remove(errPath_);
}

void VyrProcess::send(const std::string& line) {
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(in_, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::optional<std::string> VyrProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> VyrProcess::ask(const std::string& line) {
  send(line);
  return readLine();
}

void VyrProcess::closeInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

std::optional<int> VyrProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

std::string VyrProcess::errors() const {
  std::ifstream in(errPath_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

RunResult runVyr(const std::vector<std::string>& args, const std::string& input) {
  VyrProcess p(args);
  if (!input.empty()) p.send(input);
  p.closeInput();
  RunResult r;
  while (auto line = p.readLine(std::chrono::seconds(60))) r.out += *line + "\n";
  const auto status = p.wait(std::chrono::seconds(30));
  if (status) {
    r.exitCode = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
  }
  r.err = p.errors();
  return r;
}

}  // namespace vyrtest
