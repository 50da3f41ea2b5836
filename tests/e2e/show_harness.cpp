#include "tests/e2e/show_harness.hpp"

#include <cairo.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace vyrtest {
namespace {

using Clock = std::chrono::steady_clock;

// The environment of the child: this process's, with OVERRIDES applied.
std::vector<std::string> childEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : overrides) {
      replaced = replaced || entry.rfind(name + "=", 0) == 0;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : overrides) {
    if (!value.empty()) env.push_back(name + "=" + value);
  }
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Starts vyr with standard input, output and error on the given descriptors (in the child);
// returns its pid.
pid_t spawn(const std::vector<std::string>& args,
            const std::vector<std::pair<std::string, std::string>>& env, const std::string& cwd,
            int in, int out, int err) {
  std::vector<std::string> argv{VYR_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envp = childEnvironment(env);
  std::vector<char*> argvp = pointers(argv);
  std::vector<char*> envpp = pointers(envp);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(argvp[0], argvp.data(), envpp.data());
    _exit(127);
  }
  return pid;
}

int statusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Reads whatever FD has; false at its end.
bool drain(int fd, std::string& into) {
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) into.append(buf, static_cast<std::size_t>(n));
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

std::optional<int> waitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) return statusOf(raw);
    if (done < 0 || Clock::now() > deadline) return std::nullopt;
    usleep(5000);
  }
}

constexpr auto kRunLimit = std::chrono::seconds(10);

}  // namespace

Finished runVyrWith(const std::vector<std::string>& args, const RunOptions& options) {
  Finished result;
  int out[2];
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) return result;
  int terminalSide = -1;
  if (options.terminal) {
    if (openpty(&out[0], &terminalSide, nullptr, nullptr, nullptr) != 0) return result;
    fcntl(out[0], F_SETFD, FD_CLOEXEC);
    out[1] = terminalSide;
  } else if (pipe2(out, O_CLOEXEC) != 0) {
    return result;
  }
  const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = spawn(args, options.env, options.cwd, nothing, out[1], err[1]);
  close(nothing);
  close(out[1]);
  close(err[1]);

  const auto deadline = Clock::now() + kRunLimit;
  bool outOpen = true;
  bool errOpen = true;
  while ((outOpen || errOpen) && Clock::now() < deadline) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 100) <= 0) continue;
    // A pseudo-terminal reports its end as an error (EIO) once the child has closed it.
    if (fds[0].revents != 0) outOpen = drain(out[0], result.out);
    if (fds[1].revents != 0) errOpen = drain(err[0], result.err);
  }
  close(out[0]);
  close(err[0]);
  if (auto status = waitFor(pid, std::chrono::seconds(2))) {
    result.status = *status;
  } else {
    kill(pid, SIGKILL);
    waitFor(pid, std::chrono::seconds(2));
  }
  return result;
}

std::map<std::string, TableRow> parseTable(const std::string& out) {
  std::map<std::string, TableRow> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("screen  ", 0) == 0) rows.clear();  // a new table starts
    if (line.rfind("home ", 0) != 0 && line.rfind("lock ", 0) != 0) continue;
    // Columns are separated by at least two spaces; names hold single spaces.
    std::vector<std::string> cells;
    for (std::size_t at = 0; at < line.size();) {
      std::size_t end = line.find("  ", at);
      if (end == std::string::npos) end = line.size();
      cells.push_back(line.substr(at, end - at));
      at = line.find_first_not_of(' ', end);
      if (at == std::string::npos) break;
    }
    if (cells.size() == 5) rows[cells[0] + " " + cells[1]] = {cells[2], cells[3], cells[4]};
  }
  return rows;
}

Rgb rgbOf(const std::string& hex) {
  auto byte = [&](std::size_t at) { return std::stoi(hex.substr(at, 2), nullptr, 16); };
  return {byte(1), byte(3), byte(5)};
}

Rgb rgbOf(vyr::show::layout::Hex hex) {
  return {static_cast<int>((hex >> 16) & 0xff), static_cast<int>((hex >> 8) & 0xff),
          static_cast<int>(hex & 0xff)};
}

std::string toString(const Rgb& c) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c.red & 0xff, c.green & 0xff, c.blue & 0xff);
  return text;
}

Picture::Picture(const std::string& path) {
  cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
  // An opaque picture may come back without its alpha channel: the pixels are laid out alike.
  const cairo_format_t format = cairo_image_surface_get_format(s);
  if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS &&
      (format == CAIRO_FORMAT_ARGB32 || format == CAIRO_FORMAT_RGB24)) {
    cairo_surface_flush(s);
    width_ = cairo_image_surface_get_width(s);
    height_ = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    pixels_.resize(static_cast<std::size_t>(width_ * height_));
    for (int y = 0; y < height_; ++y) {
      std::memcpy(&pixels_[static_cast<std::size_t>(y * width_)], data + y * stride,
                  static_cast<std::size_t>(width_) * 4);
    }
  }
  cairo_surface_destroy(s);
}

Rgb Picture::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {-1, -1, -1};
  // The canvas is opaque, so cairo's premultiplied components are the colour itself.
  const unsigned p = pixels_[static_cast<std::size_t>(y * width_ + x)];
  return {static_cast<int>((p >> 16) & 0xff), static_cast<int>((p >> 8) & 0xff),
          static_cast<int>(p & 0xff)};
}

Rgb Picture::at(vyr::show::layout::Point p) const {
  const auto px = vyr::show::layout::pixelOf(p);
  return pixel(px.x, px.y);
}

bool Picture::contains(const vyr::show::layout::Rect& r, const Rgb& c, int tolerance) const {
  const auto from = vyr::show::layout::pixelOf({r.x, r.y});
  const auto to = vyr::show::layout::pixelOf({r.right(), r.bottom()});
  for (int y = from.y; y < to.y; ++y) {
    for (int x = from.x; x < to.x; ++x) {
      const Rgb p = pixel(x, y);
      if (std::abs(p.red - c.red) <= tolerance && std::abs(p.green - c.green) <= tolerance &&
          std::abs(p.blue - c.blue) <= tolerance) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace vyrtest
