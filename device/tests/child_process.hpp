// A child process of a test that plays a process of the attached device until it is signalled.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "device/processes.hpp"

namespace vyrtest {

class DeviceChild {
 public:
  // Registers the child as NAME; with a null NAME it only runs, unregistered.
  explicit DeviceChild(const char* name) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const char ok = name == nullptr || sim::registerProcess(name) ? '1' : '0';
      if (::write(ready[1], &ok, 1) != 1) ::_exit(3);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char ok = '0';
    ready_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == '1';
    ::close(ready[0]);
  }
  ~DeviceChild() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  DeviceChild(const DeviceChild&) = delete;
  DeviceChild& operator=(const DeviceChild&) = delete;

  pid_t pid() const { return pid_; }
  bool ready() const { return ready_; }

  // The signal that ended the child, waiting up to two seconds; 0 while it runs.
  int endedBy() {
    for (int i = 0; i < 200 && !reaped_; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return signal_;
  }
  bool runs() { return !reaped_ && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  bool reaped_ = false;
  int signal_ = 0;
};

}  // namespace vyrtest
