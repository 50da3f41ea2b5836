#include "device/spawn.hpp"

#include <fcntl.h>
#include <linux/keyctl.h>
#include <seccomp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "device/confine.hpp"
#include "device/device.hpp"
#include "device/launchd.hpp"
#include "device/processes.hpp"

extern char** environ;

namespace sim {
namespace {

constexpr char kBubblewrap[] = "/usr/bin/bwrap";
// The descriptors a device process finds its supervisor's unjoined socket and (for bubblewrap)
// its seccomp filter on.
constexpr int kJoinFd = 3;
constexpr int kSeccompFd = 4;
// What the relay of a device process's standard error writes of one line at most; the rest of a
// longer line follows on lines of its own.
constexpr std::size_t kRelayLine = 64 * 1024;

std::string errnoText(int error) {
  return std::strerror(error);
}

// A descriptor moved to 10 or above, so that placing it at 3 or 4 in the child never collides
// with another being placed.
Fd high(Fd fd) {
  if (!fd) return fd;
  Fd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 10));
  return moved ? std::move(moved) : Fd::failure(errno);
}

bool sanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// A condition on argument INDEX of a call (libseccomp's own macros are C compound literals).
scmp_arg_cmp argument(unsigned index, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
  scmp_arg_cmp c{};
  c.arg = index;
  c.op = op;
  c.datum_a = a;
  c.datum_b = b;
  return c;
}

// The seccomp filter of a device process, as BPF in a memory file; an invalid Fd and *WHY when
// it cannot be made. It covers every processor a device process of this build may run as: under
// qemu-user an ARM build's device process is a machine (x86-64) process to the kernel.
Fd seccompFilter(std::string* why) {
  scmp_filter_ctx ctx = ::seccomp_init(SCMP_ACT_ALLOW);
  if (ctx == nullptr) {
    *why = "libseccomp cannot make a filter";
    return Fd();
  }
  int failed = 0;
  for (const std::uint32_t arch :
       {std::uint32_t{SCMP_ARCH_X86_64}, std::uint32_t{SCMP_ARCH_AARCH64},
        std::uint32_t{SCMP_ARCH_ARM}}) {
    const int r = ::seccomp_arch_add(ctx, arch);
    if (r != 0 && r != -EEXIST) failed = r;
  }
  const auto refuse = [&](int call) {
    if (const int r = ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), call, 0); r != 0) failed = r;
  };
  // New unix sockets reach any listener with a path the process can name; packet and netlink
  // sockets see traffic and the kernel's tables. Socket pairs stay: they reach nothing.
  for (const int family : {AF_UNIX, AF_PACKET, AF_NETLINK}) {
    const int r = ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(socket), 1,
                                     argument(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(family)));
    if (r != 0) failed = r;
  }
  // Pushing input into a terminal (or the console's selection) that some descriptor still
  // reaches.
  for (const int request : {TIOCSTI, TIOCLINUX}) {
    const int r = ::seccomp_rule_add(
        ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
        argument(1, SCMP_CMP_MASKED_EQ, 0xffffffffU, static_cast<unsigned>(request)));
    if (r != 0) failed = r;
  }
  for (const int call :
       {SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(init_module),
        SCMP_SYS(finit_module), SCMP_SYS(delete_module), SCMP_SYS(kexec_load),
        SCMP_SYS(kexec_file_load), SCMP_SYS(reboot), SCMP_SYS(process_vm_readv),
        SCMP_SYS(process_vm_writev),
        // io_uring makes sockets without the socket call the rule above sees.
        SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register)}) {
    refuse(call);
  }
  // LeakSanitizer stops the process's own threads with ptrace at its end: a sanitizer build
  // keeps ptrace (its PID namespace and Landlock still keep every other process out of reach).
  if (!sanitizerBuild()) refuse(SCMP_SYS(ptrace));
  if (failed != 0) {
    ::seccomp_release(ctx);
    *why = "libseccomp refused a rule: " + errnoText(-failed);
    return Fd();
  }
  Fd out(::memfd_create("vyr-seccomp", MFD_CLOEXEC));
  const int exported = out ? ::seccomp_export_bpf(ctx, out.get()) : -errno;
  ::seccomp_release(ctx);
  if (exported != 0 || ::lseek(out.get(), 0, SEEK_SET) != 0) {
    *why = "the seccomp filter cannot be written: " + errnoText(exported != 0 ? -exported : errno);
    return Fd();
  }
  return out;
}

struct Argv {
  std::vector<std::string> items;
  void add(std::initializer_list<std::string> more) { items.insert(items.end(), more); }
};

// What a device process sees of the machine besides its device: the system's library folders
// (their links kept as links), the loader's and fontconfig's files, the build's payload, the
// cross build's sysroot, the sanitizers' suppression files, and the device's supervisor socket.
void addBinds(Argv& a, const std::string& payload, const std::string& device,
              const std::string& supervisor) {
  a.add({"--ro-bind", "/usr", "/usr"});
  for (const char* folder : {"/lib", "/lib64", "/lib32", "/libx32", "/bin", "/sbin"}) {
    char target[4096];
    const ssize_t n = ::readlink(folder, target, sizeof target - 1);
    if (n > 0) {
      a.add({"--symlink", std::string(target, static_cast<std::size_t>(n)), folder});
    } else {
      a.add({"--ro-bind-try", folder, folder});
    }
  }
  for (const char* file :
       {"/etc/ld.so.cache", "/etc/ld.so.preload", "/etc/ld.so.conf", "/etc/ld.so.conf.d",
        "/etc/fonts", "/etc/localtime", "/var/cache/fontconfig"}) {
    a.add({"--ro-bind-try", file, file});
  }
  // The sandbox's own /tmp before the binds that follow: a build, a sanitizer's suppression file
  // or a device folder may itself lie under the machine's /tmp, and a later tmpfs would hide it.
  a.add({"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp"});
#ifdef VYR_SYSROOT
  a.add({"--ro-bind-try", VYR_SYSROOT, VYR_SYSROOT});
#endif
  for (const std::string& file : sanitizerSuppressionFiles()) {
    a.add({"--ro-bind-try", file, file});
  }
  a.add({"--ro-bind", payload, payload, "--bind", device, device});
  if (!supervisor.empty()) a.add({"--bind", supervisor, kSandboxSupervisor});
  a.add({"--chdir", device});
}

// The environment of a device process: its own, with the few of this process's that tell how
// the build runs (sanitizer options, the test knob).
std::vector<std::string> childEnvironment(const std::string& device, const std::string& sandbox,
                                          const std::string& supervisor) {
  std::vector<std::string> env{
      "PATH=/usr/local/bin:/usr/bin:/bin",
      "HOME=" + device + "/var/mobile",
      "LANG=C.UTF-8",
      "VYR_DEVICE_ROOT=" + device,
      std::string(kDeviceProcessVariable) + "=1",
      std::string(kSandboxVariable) + "=" + sandbox,
  };
  if (!supervisor.empty()) {
    env.push_back("VYR_SIM_SUPERVISOR=" + supervisor);
    env.push_back("VYR_SIM_JOIN_FD=" + std::to_string(kJoinFd));
  }
  for (const char* variable :
       {"VYR_SIM_CONFINE", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(variable))
      env.push_back(std::string(variable) + "=" + value);
  }
  return env;
}

std::string probeSandbox();

std::mutex gProbeLock;
std::string* gWhyNoSandbox = nullptr;  // guarded by gProbeLock; never freed

// Writes the lines read from FD to standard error, each through ESCAPE, until FD ends; owns FD.
void relay(int fd, std::string (*escape)(std::string_view)) {
  std::string pending;
  char buffer[16384];
  const auto emit = [&](std::string_view line) {
    std::string out = escape != nullptr ? escape(line) : std::string(line);
    out += '\n';
    for (std::size_t at = 0; at < out.size();) {
      const ssize_t n = ::write(STDERR_FILENO, out.data() + at, out.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  };
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos || pending.size() >= kRelayLine) {
      const std::size_t cut = nl != std::string::npos ? nl : kRelayLine;
      emit(std::string_view(pending).substr(0, cut));
      pending.erase(0, nl != std::string::npos ? cut + 1 : cut);
    }
  }
  if (!pending.empty()) emit(pending);
  ::close(fd);
}

struct Pipe {
  Fd read;
  Fd write;
};
bool makePipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  p.read = Fd(fds[0]);
  p.write = Fd(fds[1]);
  return true;
}

Spawned failure(std::string why) {
  Spawned s;
  s.error = std::move(why);
  return s;
}

// Starts ARGV (argv[0] the program) with ENV (null: this process's), the descriptors PLACED
// (child descriptor, descriptor here) put in place, and the rest of OPTIONS' choices.
Spawned start(const std::vector<std::string>& argv, const std::vector<std::string>* env,
              const std::vector<std::pair<int, int>>& placed, bool newSession) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [target, source] : placed) {
    if (source < 0) {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions, source, target);
    }
  }
  // Nothing else of this process's passes: descriptors that its own parent leaked to it
  // included.
  int above = STDERR_FILENO;
  for (const auto& entry : placed) above = std::max(above, entry.first);
  posix_spawn_file_actions_addclosefrom_np(&actions, above + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newSession) flags = static_cast<short>(flags | POSIX_SPAWN_SETSID);
  posix_spawnattr_setflags(&attributes, flags);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& item : args) argp.push_back(item.data());
  argp.push_back(nullptr);
  std::vector<std::string> envs = env != nullptr ? *env : std::vector<std::string>();
  std::vector<char*> envp;
  for (std::string& item : envs) envp.push_back(item.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, argp.data(),
                                  env != nullptr ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return failure(argv[0] + ": " + errnoText(error));
  Spawned s;
  s.pid = pid;
  return s;
}

std::string probeSandbox() {
  if (const char* knob = std::getenv("VYR_SIM_CONFINE");
      knob != nullptr && std::strcmp(knob, "identical-only") == 0) {
    return "the sandbox is turned off (VYR_SIM_CONFINE=identical-only)";
  }
  if (::access(kBubblewrap, X_OK) != 0) {
    return std::string("bubblewrap is not installed (") + kBubblewrap + ")";
  }
  std::string why;
  Fd filter = high(seccompFilter(&why));
  if (!filter) return why.empty() ? "the seccomp filter cannot be made" : why;
  // The sandbox as a device process gets it, around a program that does nothing.
  Argv a;
  a.add({kBubblewrap, "--unshare-all", "--unshare-user", "--disable-userns", "--die-with-parent",
         "--new-session", "--cap-drop", "ALL", "--clearenv", "--seccomp",
         std::to_string(kSeccompFd)});
  addBinds(a, executableFolder(), executableFolder(), "");
  a.add({"--", "/usr/bin/true"});
  Pipe errors;
  if (!makePipe(errors)) return "no pipe: " + errnoText(errno);
  const std::vector<std::string> env;
  Spawned probe = start(a.items, &env,
                        {{STDIN_FILENO, -1},
                         {STDOUT_FILENO, -1},
                         {STDERR_FILENO, errors.write.get()},
                         {kSeccompFd, filter.get()}},
                        true);
  errors.write = Fd();
  if (probe.pid < 0) return probe.error;
  std::string said;
  char buffer[4096];
  for (ssize_t n; (n = ::read(errors.read.get(), buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (said.size() < 4096) said.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  while (::waitpid(probe.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
  if (const std::size_t nl = said.rfind('\n'); nl != std::string::npos) said.erase(0, nl + 1);
  return "bubblewrap cannot make the sandbox here" + (said.empty() ? "" : ": " + said);
}

}  // namespace

std::string whyNoSandbox() {
  try {
    std::lock_guard<std::mutex> guard(gProbeLock);
    if (gWhyNoSandbox == nullptr) {
      gWhyNoSandbox = new std::string(probeSandbox());
      if (!gWhyNoSandbox->empty()) {
        const std::string line = "vyr: device processes run without their sandbox (" +
                                 *gWhyNoSandbox + "): only VYR's own libraries are loaded\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
      }
    }
    return *gWhyNoSandbox;
  } catch (...) {
    return "out of memory";
  }
}

Spawned spawnProcess(const SpawnOptions& options) {
  try {
    if (options.deviceProcess && (options.in == Stdio::Inherit || options.out == Stdio::Inherit ||
                                  options.err == Stdio::Inherit)) {
      return failure("a device process is given no descriptor of this process's own");
    }
    if (options.in == Stdio::Errors || options.err == Stdio::Errors ||
        (options.out == Stdio::Errors && options.err != Stdio::Pipe)) {
      return failure("only standard output joins standard error, and only its pipe");
    }
    Pipe in, out, errors;
    if ((options.in == Stdio::Pipe && !makePipe(in)) ||
        (options.out == Stdio::Pipe && !makePipe(out)) ||
        (options.err == Stdio::Pipe && !makePipe(errors))) {
      return failure("no pipe: " + errnoText(errno));
    }
    std::vector<std::pair<int, int>> placed;
    const auto place = [&](int target, Stdio how, int source) {
      if (how == Stdio::Null) placed.emplace_back(target, -1);
      if (how == Stdio::Pipe) placed.emplace_back(target, source);
    };
    place(STDIN_FILENO, options.in, in.read.get());
    place(STDOUT_FILENO, options.out, out.write.get());
    if (options.out == Stdio::Errors) placed.emplace_back(STDOUT_FILENO, errors.write.get());
    place(STDERR_FILENO, options.err, errors.write.get());
    // Above every number placed, so that no placing overwrites it first.
    Fd protocol;
    if (options.protocol >= 0) {
      protocol = high(Fd(::fcntl(options.protocol, F_DUPFD_CLOEXEC, 0)));
      if (!protocol) return failure("cannot hand over the protocol socket: " + errnoText(errno));
      placed.emplace_back(kProtocolFd, protocol.get());
    }

    std::vector<std::string> argv{options.exe};
    std::vector<std::string> env;
    Fd join, filter;
    if (options.deviceProcess) {
      const std::string device = options.device.empty() ? deviceRoot() : options.device;
      if (device.empty()) return failure("no device is attached");
      const std::string payload = options.payload.empty() ? executableFolder() : options.payload;
      // The supervisor runs before its process starts (a sandboxed process could not start
      // it), and the process joins on a socket made here (it may make no unix socket itself).
      const std::string supervisor = supervisorSocketForChildren();
      join = high(Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)));
      if (supervisor.empty() || !join) {
        const std::string problem = supervisorProblem();
        return failure(problem.empty() ? std::string("the device's supervisor cannot be reached")
                                       : problem);
      }
      placed.emplace_back(kJoinFd, join.get());
      const std::string why = whyNoSandbox();
      if (why.empty()) {
        std::string ignored;
        filter = high(seccompFilter(&ignored));
        if (!filter) return failure("the seccomp filter cannot be made: " + ignored);
        placed.emplace_back(kSeccompFd, filter.get());
        env = childEnvironment(device, "namespaces", kSandboxSupervisor);
        Argv a;
        a.add({kBubblewrap, "--unshare-all", "--unshare-user", "--disable-userns",
               "--die-with-parent", "--new-session", "--cap-drop", "ALL", "--clearenv"});
        // bubblewrap gives the sandboxed program the environment it was given, less what
        // --clearenv drops: the variables go on its command line instead.
        for (const std::string& e : env) {
          const std::size_t eq = e.find('=');
          a.add({"--setenv", e.substr(0, eq), e.substr(eq + 1)});
        }
        a.add({"--seccomp", std::to_string(kSeccompFd)});
        addBinds(a, payload, device, supervisor);
        a.add({"--", options.exe});
        argv = std::move(a.items);
        env.clear();
      } else {
        // No namespaces: the process is told why, and loads nothing but the build's own code.
        env = childEnvironment(device, "none: " + why, supervisor);
      }
    }
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    Spawned s = start(argv, options.deviceProcess ? &env : nullptr, placed, options.deviceProcess);
    if (s.pid < 0) return s;
    s.in = std::move(in.write);
    s.out = std::move(out.read);
    if (options.err == Stdio::Pipe) {
      errors.write = Fd();
      s.errors = Relay(std::thread(relay, errors.read.release(), options.escapeLine));
    }
    return s;
  } catch (const std::exception& e) {
    return failure(e.what());
  }
}

}  // namespace sim
