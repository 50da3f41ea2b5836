// A library an attacker plants in a device's /Library/MobileSubstrate/DynamicLibraries: when it is
// loaded, its constructor tries to reach the machine outside the device and says on standard
// error, one line each, whether every attempt was "refused" or "DONE". The targets come from the
// environment, or (a device process gets an environment of its own) from the file planted.conf
// at the device's root, one NAME=VALUE a line: PLANTED_OUTSIDE (a folder outside the device
// holding a file "precious"), PLANTED_PID (a process of the machine), PLANTED_PORT (a loopback
// TCP port), PLANTED_UNIX (a listening unix socket outside the device), PLANTED_SHM (the key of
// System V shared memory), PLANTED_KEY (the serial of a key in the user's keyring),
// PLANTED_SUPERVISOR (another device's supervisor socket, asked to SIGKILL its SpringBoard),
// PLANTED_PROTOCOL (what to write to the front end's protocol socket, see tryProtocol). It
// also pushes a character into every terminal among its descriptors (TIOCSTI), opens a packet
// socket, leaves behind a detached process that ignores SIGTERM and holds a lock on
// planted.lock at the device's root for a minute, and prints on standard output a line that
// `vyr host` would answer (kForged), as if it were the command's answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/keyctl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace {

// A green battery: no setting of the tests gives one.
constexpr char kForged[] =
    "{\"result\": [0, 1, 0, 1], \"host\": null, \"colour\": \"#00FF00:1.000000\"}\n";

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

std::map<std::string, std::string> targets() {
  std::map<std::string, std::string> out;
  for (const char* name :
       {"PLANTED_OUTSIDE", "PLANTED_PID", "PLANTED_PORT", "PLANTED_UNIX", "PLANTED_SHM",
        "PLANTED_KEY", "PLANTED_SUPERVISOR", "PLANTED_PROTOCOL"}) {
    if (const char* value = std::getenv(name)) out[name] = value;
  }
  if (const char* root = std::getenv("VYR_DEVICE_ROOT"); root != nullptr && out.empty()) {
    std::ifstream in(std::string(root) + "/planted.conf");
    for (std::string line; std::getline(in, line);) {
      const std::size_t eq = line.find('=');
      if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return out;
}

bool tryUnix(const std::string& path) {
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  ::close(s);
  return ok;
}

// Whether a character could be pushed into any terminal among the open descriptors.
bool tryTiocsti() {
  bool pushed = false;
  for (int fd = 0; fd < 256; ++fd) {
    if (::isatty(fd) == 0) continue;
    const char c = '#';
    pushed = ::ioctl(fd, TIOCSTI, &c) == 0 || pushed;
  }
  return pushed;
}

bool tryShm(const std::string& key) {
  const int id = ::shmget(static_cast<key_t>(std::strtol(key.c_str(), nullptr, 0)), 0, 0);
  if (id < 0) return false;
  void* at = ::shmat(id, nullptr, SHM_RDONLY);
  if (at == reinterpret_cast<void*>(-1)) return false;
  ::shmdt(at);
  return true;
}

bool tryKey(const std::string& serial) {
  char secret[64];
  return ::syscall(SYS_keyctl, KEYCTL_READ, std::atol(serial.c_str()), secret, sizeof secret) > 0;
}

// Whether another device's supervisor could be asked to kill that device's SpringBoard.
bool trySupervisor(const std::string& path) {
  const int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);
  char answer[256] = {};
  bool killed = false;
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(s, "control", 7, 0) == 7 && ::recv(s, answer, sizeof answer - 1, 0) > 0) {
    const char request[] = "killall 9\tSpringBoard";
    killed = ::send(s, request, sizeof request - 1, 0) > 0 &&
             ::recv(s, answer, sizeof answer - 1, 0) > 0 && std::strncmp(answer, "ok 0", 4) != 0;
  }
  ::close(s);
  return killed;
}

bool tryPacket() {
  const int s = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (s >= 0) ::close(s);
  return s >= 0;
}

// A process that leaves its parents behind, ignores SIGTERM and holds planted.lock for a minute.
void leaveBehind() {
  const char* root = std::getenv("VYR_DEVICE_ROOT");
  if (root == nullptr) return;
  const std::string lock = std::string(root) + "/planted.lock";
  const pid_t first = ::fork();
  if (first == 0) {
    ::setsid();
    if (::fork() == 0) {
      std::signal(SIGTERM, SIG_IGN);
      const int null = ::open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 256; ++fd) {
        if (fd != null) ::close(fd);
      }
      const int held = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
      ::flock(held, LOCK_EX);
      ::sleep(60);
    }
    ::_exit(0);
  }
  if (first > 0) ::waitpid(first, nullptr, 0);
}

// Speaks on the front end's protocol socket, when the process has one, as a library that
// writes there may: PLANTED_PROTOCOL "flood" sends a line of 3 MiB, one whose type is a number
// and a scene of the wrong shape; "many" sends 40 lines whose type is a number; "exit" ends the
// process at once, with status 0, before it did any of its work.
void tryProtocol(const std::string& how) {
  if (how == "exit") ::_exit(0);
  struct stat st {};
  if (how.empty() || ::fstat(5, &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  std::string out;
  if (how == "flood") {
    out = std::string(3 << 20, 'x') + "\n{\"type\": 7}\n{\"type\": \"scene\", \"reason\": 5}\n";
  } else {
    for (int i = 0; i < 40; ++i) out += "{\"type\": 7}\n";
  }
  for (std::size_t at = 0; at < out.size();) {
    const ssize_t n = ::write(5, out.data() + at, out.size() - at);
    if (n < 0 && errno == EAGAIN) {  // the process's own channel made it non-blocking
      pollfd p{5, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      continue;
    }
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

__attribute__((constructor)) void planted() noexcept {
  auto target = targets();
  if (target.count("PLANTED_OUTSIDE") == 0) return;
  const std::string outside = target["PLANTED_OUTSIDE"];
  const int secret = ::open((outside + "/precious").c_str(), O_RDONLY | O_CLOEXEC);
  report("read", secret >= 0);
  if (secret >= 0) ::close(secret);
  const int written = ::open((outside + "/written").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  report("write", written >= 0);
  if (written >= 0) ::close(written);
  report("delete", ::unlink((outside + "/precious").c_str()) == 0);
  const std::string pid = target["PLANTED_PID"];
  report("signal",
         !pid.empty() && ::kill(static_cast<pid_t>(std::atoi(pid.c_str())), SIGTERM) == 0);
  const std::string port = target["PLANTED_PORT"];
  report("connect", !port.empty() && tryConnect(std::atoi(port.c_str())));
  report("shell", tryShell(outside));
  report("unix", tryUnix(target["PLANTED_UNIX"]));
  report("tiocsti", tryTiocsti());
  report("shm", tryShm(target["PLANTED_SHM"]));
  report("keyring", tryKey(target["PLANTED_KEY"]));
  report("packet", tryPacket());
  report("supervisor", trySupervisor(target["PLANTED_SUPERVISOR"]));
  leaveBehind();
  tryProtocol(target["PLANTED_PROTOCOL"]);
  [[maybe_unused]] const ssize_t forged = ::write(STDOUT_FILENO, kForged, sizeof kForged - 1);
}

}  // namespace
