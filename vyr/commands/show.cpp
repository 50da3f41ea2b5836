// `vyr show`: SpringBoard's screens as VYR colours them.
//
// A child process becomes the device's SpringBoard (the loader injects VYRSignals into it,
// confined to the device), asks its classes for every colour the way UIKit does while drawing the
// status bar, an app's refresh control and the lock screen, and sends the answers here, where
// they are shown: as a picture file, as text in a colour terminal, and as a table
// naming each colour's source. With --watch the SpringBoard stays up and sends them again
// whenever the device's settings change; a respring ends it and a new one is started, as the
// device starts SpringBoard again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "device/confine.hpp"
#include "device/files.hpp"
#include "tweak/elements.hpp"
#include "vyr/attach/held_folder.hpp"
#include "vyr/attach/process.hpp"
#include "vyr/attach/supervision.hpp"
#include "vyr/base/files.hpp"
#include "vyr/base/options.hpp"
#include "vyr/base/out.hpp"
#include "vyr/base/suggest.hpp"
#include "vyr/commands/commands.hpp"
#include "vyr/profile/profile.hpp"
#include "vyr/render/draw.hpp"
#include "vyr/render/report.hpp"
#include "vyr/render/scene.hpp"
#include "vyr/render/terminal.hpp"
#include "vyr/roles/springboard.hpp"

namespace vyr {
namespace {

using show::DeviceState;

constexpr char kHelp[] =
    "usage: vyr show [--out FILE] [--battery PERCENT] [--charging] [--style default|light]\n"
    "                [--no-picture] [--watch | --profile FILE]\n"
    "  --out FILE         where the picture goes: FILE.png or FILE.svg (default vyr-show.png;\n"
    "                     - writes a PNG to standard output and the table to standard error)\n"
    "  --battery PERCENT  the battery level the host asks its colours for (0 to 100, default 80)\n"
    "  --charging         the battery is charging\n"
    "  --style S          the home screen's status-bar style: default (dark content) or light\n"
    "  --no-picture       print the table only: no picture file, no drawing in the terminal\n"
    "  --watch            stay up and show everything again whenever the settings change\n"
    "  --profile FILE     show the device as it would look with the settings profile FILE,\n"
    "                     leaving its settings file as it is and posting nothing\n";

struct Options {
  DeviceState state;
  std::string out = "vyr-show.png";
  bool outGiven = false;
  bool picture = true;
  bool watch = false;
  std::string profile;  // a profile to preview, or empty
};

void progress(const std::string& line) {
  vyr::out::print(stderr, "vyr show: %s\n", line.c_str());
}

// Reports LINE as the command's one line about what went wrong; returns STATUS.
int failure(const std::string& line, int status = 1) {
  progress(line);
  return status;
}

bool parsePercent(const std::string& text, int& out) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 100) return false;
  out = value;
  return true;
}

// The options, or nothing after printing one line about the first problem.
std::optional<Options> parse(const std::vector<std::string>& args) {
  Options o;
  auto fail = [](const std::string& line) {
    failure(line);
    return std::nullopt;
  };
  for (OptionReader options(args); options.next();) {
    const std::string& arg = options.name();
    if (arg == "--out" || arg == "--battery" || arg == "--style" || arg == "--profile") {
      const std::optional<std::string> v = options.value();
      if (!v) return fail(arg + " needs a value");
      if (arg == "--profile") {
        if (v->empty()) return fail("--profile needs a file name");
        o.profile = *v;
      } else if (arg == "--out") {
        if (v->empty()) return fail("--out needs a file name");
        if (!show::pictureFormatOf(*v)) {
          return fail(
              "--out writes PNG (FILE.png), SVG (FILE.svg) or a PNG to standard output "
              "(-), not '" +
              *v + "'");
        }
        o.out = *v;
        o.outGiven = true;
      } else if (arg == "--battery") {
        if (!parsePercent(*v, o.state.batteryPercent)) {
          return fail("--battery takes a whole percentage from 0 to 100, not '" + *v + "'");
        }
      } else if (*v == "default" || *v == "light") {
        o.state.homeStyle = *v == "default" ? show::kStyleDefault : show::kStyleLight;
      } else {
        return fail("--style is default or light, not '" + *v + "'" +
                    didYouMean(*v, {"default", "light"}));
      }
    } else if (options.hasInlineValue()) {
      return fail(arg + " takes no value");
    } else if (arg == "--charging") {
      o.state.charging = true;
    } else if (arg == "--no-picture") {
      o.picture = false;
    } else if (arg == "--watch") {
      o.watch = true;
    } else {
      failure("unknown option " + arg +
              didYouMean(
                  arg, {"--out", "--battery", "--charging", "--style", "--no-picture", "--watch"}));
      vyr::out::lines(stderr, kHelp);
      return std::nullopt;
    }
  }
  if (!o.picture && o.outGiven) return fail("--no-picture and --out exclude each other");
  if (o.watch && !o.profile.empty()) return fail("--watch and --profile exclude each other");
  return o;
}

bool toStandardOutput(const Options& options) {
  return options.picture && options.out == "-";
}

// "HH:MM:SS", local time.
std::string timeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[16] = "";
  if (localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// The screens drawn as text when standard output is a colour terminal wide enough for them, or a
// line saying why they are not; empty when it is no terminal.
std::string terminalDrawing(const show::Scene& scene) {
  const show::TerminalColours colours = show::terminalColours();
  if (colours == show::TerminalColours::none) return {};
  const int columns = show::terminalColumns();
  const int needed = show::terminalDrawingColumns();
  if (columns > 0 && columns < needed) {
    return "(the screens are drawn in a terminal at least " + std::to_string(needed) +
           " columns wide; this one has " + std::to_string(columns) + ")\n";
  }
  std::string out = show::renderTerminal(scene, colours) + "\n";
  if (colours == show::TerminalColours::palette256) {
    out +=
        "(drawn with the nearest of 256 colours: this terminal does not say it shows 24-bit "
        "colour; COLORTERM=truecolor says it does)\n";
  }
  return out;
}

// Shows the scene the SpringBoard sent; PREVIOUS holds the rows shown last (empty at
// first), and gets this scene's. Returns the exit status.
int showOnce(const Options& options, const show::SceneMessage& message, bool redraw,
             std::vector<show::Row>& previous) {
  if (options.profile.empty()) {
    if (const auto note = profile::unreadableSettingsNote()) progress(*note);
  } else if (message.settingsFile == "unreadable") {
    // What SpringBoard made of the profile as its settings file: a preview of a broken file
    // must not pass for a preview of defaults that were chosen.
    progress(options.profile +
             " is not a property list with a dictionary at its root: the library reads no "
             "setting from it, so every element shows its default (vyr import refuses it)");
  }
  const show::Scene& scene = message.scene;
  if (options.picture) {
    const Result<std::string> bytes = show::renderPicture(scene, show::formatFor(options.out));
    if (!bytes) return failure(bytes.error());
    if (toStandardOutput(options)) {
      if (!vyr::out::bytes(stdout, *bytes) || std::fflush(stdout) != 0) {
        return failure("cannot write the picture to standard output");
      }
    } else if (const Result<> written = show::replaceFile(options.out, *bytes); !written) {
      return failure(written.error());
    }
    if (!toStandardOutput(options)) progress("wrote " + options.out);
  }
  // With the picture on standard output, the table goes to standard error.
  std::FILE* text = toStandardOutput(options) ? stderr : stdout;
  const std::vector<show::Row>& rows = message.rows;
  std::string out;
  bool written = true;
  if (redraw) {
    // A terminal shows the new state in place of the old; anything else gets it appended.
    written = vyr::out::drawing(text, ::isatty(::fileno(text)) == 1 ? "\x1b[H\x1b[2J" : "\n");
    const std::vector<std::string> changed = show::changedItems(previous, rows);
    std::string list;
    for (const std::string& item : changed) list += (list.empty() ? "" : ", ") + item;
    out += "at " + timeNow() + " the settings changed: " +
           (changed.empty() ? std::string("no element looks different") : "changed " + list) + "\n";
  }
  written = vyr::out::lines(text, out) && written;
  if (options.picture && !toStandardOutput(options)) {
    written = vyr::out::drawing(text, terminalDrawing(scene)) && written;
  }
  written = vyr::out::lines(text, show::formatTable(scene, rows)) && written;
  previous = rows;
  if (!written || std::fflush(text) != 0) {
    return failure("cannot write to standard output");
  }
  return 0;
}

// Ends a one-shot show that a signal (read from STOP, a signalfd) interrupted before it showed
// anything. Its picture was never written, so an earlier file at --out is removed: it is not this
// run's picture, and `vyr show --out x.png; upload x.png` must not send it. Returns 128 plus the
// signal's number, as a shell reports a command that the signal ended.
int interrupted(const Options& options, int stop, show::SpringBoard& springBoard) {
  signalfd_siginfo info{};
  const bool read = ::read(stop, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
  const int signal = read ? static_cast<int>(info.ssi_signo) : SIGINT;
  springBoard.stop();
  std::string line = std::string("interrupted by ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
                     " before the screens were shown";
  if (options.picture && !toStandardOutput(options)) {
    struct stat st {};
    if (::lstat(options.out.c_str(), &st) == 0) {
      line += ::unlink(options.out.c_str()) == 0
                  ? "; removed " + options.out + ", an earlier picture, not this run's"
                  : "; " + options.out +
                        " is an earlier picture, not this run's, and could not "
                        "be removed: " +
                        std::strerror(errno);
    } else {
      line += "; no picture was written";
    }
  }
  progress(line);
  return 128 + signal;
}

// A throw-away device for a preview: the device's settings of its own (device.conf), the
// profile as its settings file, and VYR installed by the SpringBoard child's vyr as into any new
// device. Removed with everything in it when the show ends; the device itself is never written.
class PreviewDevice {
 public:
  PreviewDevice() = default;
  ~PreviewDevice() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  PreviewDevice(const PreviewDevice&) = delete;
  PreviewDevice& operator=(const PreviewDevice&) = delete;

  // Makes it with PROFILE (a file of the machine) as its settings; its folder, or a failure.
  Result<std::string> make(const std::string& profile) {
    const sim::Fd file(::open(profile.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    int why = file ? 0 : errno;
    std::optional<std::string> bytes;
    if (file) bytes = sim::readOpenFile(file.get(), 1 << 20, &why);
    if (!bytes) return failed("cannot read " + profile + ": " + sim::describe(why));
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vyr-preview-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      return failed("cannot make a folder for the preview: " + sim::describe(errno));
    }
    path_ = pattern;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path settings = fs::path(path_) / fs::path(kPreferencesPath).relative_path();
    fs::create_directories(fs::path(path_) / ".sim", ec);
    if (!ec) fs::create_directories(settings.parent_path(), ec);
    if (ec) return failed("cannot make the preview's device: " + ec.message());
    const std::string conf =
        sim::readFile(sim::Area::Simulator, "device.conf", 1 << 16).value_or("");
    for (const auto& [where, data] :
         {std::pair{fs::path(path_) / ".sim/device.conf", conf}, std::pair{settings, *bytes}}) {
      const sim::Fd folder(::open(where.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      const int error =
          folder ? sim::writeFileIn(folder.get(), where.filename().string(), data) : errno;
      if (error != 0) return failed("cannot make the preview's device: " + sim::describe(error));
    }
    return path_;
  }

 private:
  std::string path_;
};

int run(const Options& options, const std::string& device) {
  struct ReleaseFonts {
    ~ReleaseFonts() { show::releaseFontCaches(); }
  } releaseFonts;
  // A reader that goes away (`vyr show | head`) ends the output, not the process.
  std::signal(SIGPIPE, SIG_IGN);

  if (options.picture && !toStandardOutput(options)) {
    const std::string folder = show::folderOf(options.out);
    if (::access(folder.c_str(), W_OK) != 0) {
      return failure("cannot write " + options.out + ": its folder " + folder +
                     " is missing or read-only");
    }
    // Told now rather than after SpringBoard has run: the picture never replaces a device node,
    // a FIFO or a folder (nor goes through a link to one).
    struct stat st {};
    if (::stat(options.out.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return failure("cannot write " + options.out + ": it exists and is not a regular file");
    }
  }
  // Ctrl-C and SIGTERM become events, so that the SpringBoard is ended with this process.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stops, nullptr);
  const sim::Fd stop(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
  const std::string exe = sim::ownExecutable();
  if (!stop || exe.empty()) return failure("cannot prepare to start SpringBoard");

  // A watch starts it again after a respring, as the device's launchd does.
  std::vector<std::string> child{"role", "springboard"};
  if (options.watch) child.push_back("--relaunch");
  PreviewDevice preview;
  std::string shownDevice = device;
  if (!options.profile.empty()) {
    const Result<std::string> made = preview.make(options.profile);
    if (!made) return failure(made.error());
    shownDevice = *made;
    progress("previewing " + options.profile +
             " on a copy of the device's state; its settings file stays as it is");
  }
  show::SpringBoard springBoard(progress);
  progress("starting SpringBoard on the device, with VYRSignals injected");
  if (const Result<> started = springBoard.start(exe, shownDevice, child, options.state);
      !started) {
    return failure(started.error());
  }
  // Only a SpringBoard that came up and was ended as the device ends it is started again: one
  // that cannot start or crashes would only do so again.
  using namespace std::chrono_literals;
  attach::Supervision supervision({1, 0s, 0ms, 0ms, true, "vyr show"});
  supervision.started("");
  bool shown = false;               // something was shown at all
  std::vector<show::Row> previous;  // the rows shown last
  // A watch holds the device by its folder's identity: SpringBoard is started again where the
  // folder is now, never at a name that may since hold nothing (or another folder).
  std::optional<show::HeldFolder> held;
  if (options.watch) held.emplace(device);
  std::string devicePath = device;
  // Whether the device folder is still there, following it when it was moved.
  const auto deviceStillThere = [&]() {
    if (!held) return true;
    const show::HeldFolder::Where where = held->where();
    if (where.state == show::HeldFolder::State::gone) return false;
    if (where.state == show::HeldFolder::State::moved) {
      progress("the device folder " + devicePath + " was moved to " + where.path +
               "; following it");
      devicePath = where.path;
      ::setenv("VYR_DEVICE_ROOT", devicePath.c_str(), 1);
    }
    return true;
  };
  const auto gone = [&]() {
    springBoard.stop();
    return failure("the device folder " + devicePath +
                   " is gone (deleted, or moved where it cannot be found); the watch ends");
  };
  for (;;) {
    std::array<pollfd, 3> fds{{{stop.get(), POLLIN, 0},
                               springBoard.pollEntry(),
                               {held ? held->descriptor() : -1, POLLIN, 0}}};
    // A deletion that the kernel does not report to the watch is noticed within a second.
    if (::poll(fds.data(), fds.size(), held ? 1000 : -1) < 0) {
      if (errno == EINTR) continue;
      return failure("cannot wait for SpringBoard");
    }
    if (fds[0].revents != 0) {
      if (options.watch) break;  // the way a watch ends
      return interrupted(options, stop.get(), springBoard);
    }
    if (held) {
      if (fds[2].revents != 0) held->changed();
      if (!deviceStillThere()) return gone();
    }
    const show::SpringBoard::Output output = springBoard.onEvents(fds[1].revents);
    if (output.restarted) supervision.started("");
    for (const show::SceneMessage& message : output.scenes) {
      if (shown && message.reason == "settings") progress("settings changed");
      const int status = showOnce(options, message, shown, previous);
      if (!options.watch) return status;
      // A picture that cannot be written this time may be writable the next; a closed output
      // not.
      if (status != 0 && std::ferror(stdout) != 0) return 1;
      if (!shown) progress("watching the device's settings (Ctrl-C ends)");
      shown = true;
      supervision.shown();
    }
    if (!output.startError.empty() && supervision.saidCannotStart(output.startError).action ==
                                          attach::Supervision::Action::giveUp) {
      return deviceStillThere() ? failure(supervision.message()) : gone();
    }
    if (!output.ended) continue;
    bool clean = false;
    const std::string how = springBoard.reap(&clean);
    if (!deviceStillThere()) return gone();
    // A one-shot show has ended before it showed anything, so this is never a respring there.
    if (supervision.ended(clean, how, attach::Supervision::Clock::now()).action !=
        attach::Supervision::Action::restart) {
      return failure(supervision.message());
    }
    progress(supervision.message());
    if (const Result<> started = springBoard.start(exe, devicePath, child, options.state);
        !started) {
      return failure(started.error());
    }
    supervision.started("");
  }
  springBoard.stop();
  progress("stopped");
  return 0;
}

std::optional<Run> parseShow(const std::vector<std::string>& args) {
  const std::optional<Options> options = parse(args);
  if (!options) return std::nullopt;
  return Run([o = *options](const Invocation& inv) { return run(o, inv.device); });
}

}  // namespace

const Command showCommand{
    "show", nullptr,
    "  show [--out FILE] [--battery PERCENT] [--charging] [--style default|light]\n"
    "       [--no-picture] [--watch | --profile FILE]\n"
    "                          SpringBoard's status bar, home and lock screens in VYR's colours:\n"
    "                          a picture (PNG, or SVG for FILE.svg) and a table of the sources\n",
    kHelp, &parseShow};

}  // namespace vyr
