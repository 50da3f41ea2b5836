// A library an attacker plants in a device's /Library/MobileSubstrate/DynamicLibraries: when it is
// loaded, its constructor tries to reach the machine outside the device and says on standard
// error, one line each, whether every attempt was "refused" or "DONE". The targets come from the
// environment: PLANTED_OUTSIDE (a folder outside the device holding a file "precious"), PLANTED_PID
// (a process of the machine), PLANTED_PORT (a loopback TCP port).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void report(const char* what, bool done) {
  std::fprintf(stderr, "planted: %s %s\n", what, done ? "DONE" : "refused");
}

bool tryConnect(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  ::close(s);
  return ok;
}

bool tryShell(const std::string& outside) {
  const std::string script = "echo planted > '" + outside + "/from-shell'";
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
  return ::access((outside + "/from-shell").c_str(), F_OK) == 0;
}

__attribute__((constructor)) void planted() noexcept {
  const char* outsideEnv = std::getenv("PLANTED_OUTSIDE");
  if (outsideEnv == nullptr) return;
  const std::string outside = outsideEnv;
  const int secret = ::open((outside + "/precious").c_str(), O_RDONLY | O_CLOEXEC);
  report("read", secret >= 0);
  if (secret >= 0) ::close(secret);
  const int written = ::open((outside + "/written").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  report("write", written >= 0);
  if (written >= 0) ::close(written);
  report("delete", ::unlink((outside + "/precious").c_str()) == 0);
  const char* pid = std::getenv("PLANTED_PID");
  report("signal", pid != nullptr && ::kill(static_cast<pid_t>(std::atoi(pid)), SIGTERM) == 0);
  const char* port = std::getenv("PLANTED_PORT");
  report("connect", port != nullptr && tryConnect(std::atoi(port)));
  report("shell", tryShell(outside));
}

}  // namespace
