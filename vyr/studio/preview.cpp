#include "vyr/studio/preview.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

extern char** environ;

namespace vyr::studio {
namespace {

using nlohmann::json;

// A preview draws in a second or two; one that takes far longer is ended, then killed.
constexpr auto kPreviewTime = std::chrono::seconds(30);
constexpr auto kGraceTime = std::chrono::seconds(5);
// What is kept of the child's output and picture: far more than a preview makes.
constexpr std::size_t kMaxOutput = 256 * 1024;
constexpr std::size_t kMaxPicture = 8 * 1024 * 1024;
constexpr char kProfileFile[] = "profile.plist";
constexpr char kPictureFile[] = "preview.svg";

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// TEXT as one word of a POSIX shell's command line.
std::string shellWord(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_./:@%+=,-") == std::string::npos;
  if (plain) return text;
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

int pidfdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void pidfdSignal(int pidfd, int signal) {
  ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t max) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(max + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got > max) return std::nullopt;
  bytes.resize(got);
  return bytes;
}

bool writeNew(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0 && done == bytes.size();
}

}  // namespace

std::string previewJson(const std::string& name, const std::string& device,
                        const std::string& folder, const std::string& out, const std::string& err,
                        int status, const std::optional<std::string>& svg) {
  // The messages name the file as the user knows it, not by its copy in the private folder.
  std::string text = err;
  replaceAll(text, folder + "/" + kProfileFile, name);
  replaceAll(text, folder + "/", "");
  json messages = json::array();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.ends_with(std::string("wrote ") + kPictureFile)) continue;
    messages.push_back(line);
  }
  std::string table = out;
  replaceAll(table, folder + "/", "");
  return dump({{"file", name},
               {"svg", svg ? json(*svg) : json(nullptr)},
               {"table", table},
               {"messages", messages},
               {"status", status},
               {"apply", "vyr --device " + shellWord(device) + " import " + shellWord(name)}});
}

struct Previews::Job {
  std::thread thread;
  int pidfd = -1;  // the child while it runs, for stop() to end it
  std::atomic<bool> finished{false};
};

Previews::Previews(std::string exe, std::string prefix)
    : exe_(std::move(exe)), prefix_(std::move(prefix)) {
  namespace fs = std::filesystem;
  const fs::path start(prefix_);
  std::error_code ec;
  for (fs::directory_iterator it(start.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().filename().string().starts_with(start.filename().string())) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
}

Previews::~Previews() {
  stop();
}

void Previews::reapFinished() {
  std::list<std::unique_ptr<Job>> done;
  {
    std::lock_guard lock(mutex_);
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if ((*it)->finished) {
        done.push_back(std::move(*it));
        it = jobs_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& job : done) job->thread.join();
}

void Previews::start(const std::string& device, const std::string& name, std::string bytes,
                     Answer answer) {
  reapFinished();
  std::lock_guard lock(mutex_);
  if (stopping_) {
    answer({503, dump({{"error", "the studio is stopping"}})});
    return;
  }
  if (jobs_.size() >= static_cast<std::size_t>(kMaxRunning)) {
    answer({429, dump({{"error", "the studio is drawing " + std::to_string(kMaxRunning) +
                                     " previews already: try again when one is shown"}})});
    return;
  }
  auto job = std::make_unique<Job>();
  Job& running = *job;
  jobs_.push_back(std::move(job));
  running.thread = std::thread([this, &running, device, name, bytes = std::move(bytes), answer] {
    try {
      run(running, device, name, bytes, answer);
    } catch (const std::exception& e) {
      answer({500, dump({{"error", std::string("the preview failed: ") + e.what()}})});
    }
    running.finished = true;
  });
}

void Previews::stop() {
  std::list<std::unique_ptr<Job>> all;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& job : jobs_) {
      if (job->pidfd >= 0) pidfdSignal(job->pidfd, SIGTERM);
    }
    all.swap(jobs_);
  }
  for (const auto& job : all) job->thread.join();
}

void Previews::run(Job& job, const std::string& device, const std::string& name,
                   const std::string& bytes, const Answer& answer) {
  const auto fail = [&](const std::string& why) {
    answer({500, dump({{"error", "cannot preview " + name + ": " + why}})});
  };
  std::string pattern = prefix_ + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return fail("cannot make a private folder for it: " + std::string(std::strerror(errno)));
  }
  const std::string folder = pattern;
  struct RemoveFolder {
    const std::string& path;
    ~RemoveFolder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } remove{folder};
  const std::string profile = folder + "/" + kProfileFile;
  const std::string picture = folder + "/" + kPictureFile;
  if (!writeNew(profile, bytes)) return fail("cannot write it into " + folder);

  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    for (const int fd : {out[0], out[1], err[0], err[1]})
      if (fd >= 0) ::close(fd);
    return fail("no pipe for its output");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The studio's threads block Ctrl-C and SIGTERM (its main loop reads them) and ignore SIGPIPE:
  // the child starts with neither.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int s : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> args{exe_,        "--device", device,  "show",
                                "--profile", profile,    "--out", picture};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = 0;
  {
    // Spawned and known to stop() in one step: stop() either ends this child or this never
    // starts it.
    std::lock_guard lock(mutex_);
    spawned = stopping_
                  ? ECANCELED
                  : ::posix_spawn(&pid, exe_.c_str(), &actions, &attributes, argv.data(), environ);
    if (spawned == 0) job.pidfd = pidfdOpen(pid);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ::close(err[0]);
    if (spawned == ECANCELED) return answer({503, dump({{"error", "the studio is stopping"}})});
    return fail("cannot start vyr show: " + std::string(std::strerror(spawned)));
  }

  // The child's output until it ends; a child that takes too long is ended, then killed.
  const auto signalChild = [&](int signal) {
    std::lock_guard lock(mutex_);
    if (job.pidfd >= 0) {
      pidfdSignal(job.pidfd, signal);
    } else {
      ::kill(pid, signal);  // not reaped yet: the pid is still this child's
    }
  };
  std::string texts[2];
  const auto started = std::chrono::steady_clock::now();
  bool ended = false;
  bool termed = false;
  bool killed = false;
  int open = 2;
  for (;;) {
    std::vector<pollfd> fds{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {job.pidfd, POLLIN, 0}};
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (!termed && elapsed > kPreviewTime) {
      signalChild(SIGTERM);
      termed = true;
    } else if (!killed && elapsed > kPreviewTime + kGraceTime) {
      signalChild(SIGKILL);
      killed = true;
    }
    // Once the child has ended, what is left in the pipes is read without waiting: a process it
    // left behind may hold them open.
    const int ready = ::poll(fds.data(), fds.size(), ended ? 0 : 200);
    if (ready < 0 && errno != EINTR) break;
    bool read = false;
    for (std::size_t i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        read = true;
        if (texts[i].size() < kMaxOutput) texts[i].append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(i == 0 ? out[0] : err[0]);
        (i == 0 ? out[0] : err[0]) = -1;
        --open;
      }
    }
    if (fds[2].revents != 0) ended = true;
    if (open == 0 && (ended || job.pidfd < 0)) break;
    if (ended && !read) break;
  }
  for (const int fd : {out[0], err[0]})
    if (fd >= 0) ::close(fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(mutex_);
    if (job.pidfd >= 0) ::close(job.pidfd);
    job.pidfd = -1;
  }
  bool stopping = false;
  {
    std::lock_guard lock(mutex_);
    stopping = stopping_;
  }
  if (stopping) return answer({503, dump({{"error", "the studio is stopping"}})});
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (termed) texts[1] += "vyr studio: the preview took longer than 30 s and was ended\n";
  const std::optional<std::string> svg =
      code == 0 ? readSmallFile(picture, kMaxPicture) : std::nullopt;
  answer({200, previewJson(name, device, folder, texts[0], texts[1], code, svg)});
}

}  // namespace vyr::studio
