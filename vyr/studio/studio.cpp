// `vyr studio`: the device in a browser. The phone's screens (drawn by `vyr show`'s renderer in a
// SpringBoard of the device with VYRSignals injected) beside VYR's Settings pane (the real
// controller and specifier list, through the Preferences stand-in), on one local page that
// follows every change of the settings, whatever made it.
//
// This process serves the page and loads nothing from the device: the Settings app (with the
// pane) and SpringBoard are device processes of their own, each joined to the device and confined
// to it. The studio's main thread talks to both and answers the page's changes, which the
// server's threads hand to it. A respring ends SpringBoard as the device ends its user interface,
// and the studio starts a new one, as the device does.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "device/confine.hpp"
#include "device/device.hpp"
#include "platform/foundation/facade.hpp"
#include "vyr/attach/held_folder.hpp"
#include "vyr/attach/install.hpp"
#include "vyr/attach/supervision.hpp"
#include "vyr/attach/watch.hpp"
#include "vyr/base/files.hpp"
#include "vyr/base/options.hpp"
#include "vyr/base/out.hpp"
#include "vyr/commands/commands.hpp"
#include "vyr/render/draw.hpp"
#include "vyr/render/report.hpp"
#include "vyr/roles/settings_app.hpp"
#include "vyr/roles/springboard.hpp"
#include "vyr/studio/instance.hpp"
#include "vyr/studio/preview.hpp"
#include "vyr/studio/regions.hpp"
#include "vyr/studio/requests.hpp"
#include "vyr/studio/server.hpp"

extern char** environ;

namespace vyr {
namespace {

using nlohmann::json;
using studio::Reply;

constexpr char kUsage[] =
    "usage: vyr studio [--port N] [--no-open]\n"
    "  --port N     listen on 127.0.0.1 port N (default: the port this device's studio had\n"
    "               last, else 8642; a taken port moves to the next free one; 0 takes any\n"
    "               free port)\n"
    "  --no-open    print the page's address only, open no browser\n"
    "One studio runs per device: another `vyr studio` on it prints the running one's address.\n"
    "Ctrl-C ends the studio and every device process it started.\n";

constexpr int kDefaultPort = 8642;
// A SpringBoard that ends three times in 30 s is not started again until the page asks.
attach::SupervisionRules supervisionRules() {
  using namespace std::chrono_literals;
  return {3, 30s, 400ms, 1500ms, false, "the studio"};
}

struct Options {
  int port = kDefaultPort;
  bool portGiven = false;
  bool open = true;
  bool help = false;
};

void progress(const std::string& line) {
  vyr::out::print(stderr, "vyr studio: %s\n", line.c_str());
}

std::optional<Options> parse(const std::vector<std::string>& args) {
  Options o;
  for (OptionReader options(args); options.next();) {
    const std::string& arg = options.name();
    if (arg == "--port") {
      const std::optional<std::string> value = options.value();
      if (!value) {
        progress("--port needs a number");
        return std::nullopt;
      }
      const std::string& v = *value;
      const bool digits =
          !v.empty() && v.size() <= 5 && v.find_first_not_of("0123456789") == std::string::npos;
      if (!digits || std::stoi(v) > 65535) {
        progress("--port takes a port number from 0 to 65535, not '" + v + "'");
        return std::nullopt;
      }
      o.port = std::stoi(v);
      o.portGiven = true;
    } else if (options.hasInlineValue()) {
      progress(arg + " takes no value");
      return std::nullopt;
    } else if (arg == "--no-open") {
      o.open = false;
    } else if (arg == "-h" || arg == "--help") {
      o.help = true;
    } else {
      progress("unknown option " + arg);
      return std::nullopt;
    }
  }
  return o;
}

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// How the Settings app's answers are said over HTTP: here alone.
Reply httpReply(studio::PaneAnswer answer) {
  using Outcome = studio::PaneAnswer::Outcome;
  using Refusal = studio::PaneAnswer::Refusal;
  int status = 500;
  switch (answer.outcome) {
    case Outcome::ok:
      status = 200;
      break;
    case Outcome::refused:
      switch (answer.refusal) {
        case Refusal::malformed:
          status = 400;
          break;
        case Refusal::noSuch:
          status = 404;
          break;
        case Refusal::notNow:
          status = 409;
          break;
        case Refusal::notTaken:
          status = 422;
          break;
      }
      break;
    case Outcome::failed:
      break;
    case Outcome::unreachable:
      status = 503;
      break;
  }
  return {status, std::move(answer.body)};
}

// A page's request that is not one of its kind, refused before the Settings app is asked.
studio::PaneAnswer malformed(const std::string& why) {
  return {studio::PaneAnswer::Outcome::refused, studio::PaneAnswer::Refusal::malformed,
          dump({{"error", why}})};
}

// Opens the private page at PATH in the user's browser without waiting for it; the opener's pid,
// or -1. The page forwards to the studio's address: the token is on no command line.
pid_t openBrowser(const std::string& path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::string program = "xdg-open";
  std::string target = path;
  char* argv[] = {program.data(), target.data(), nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, "xdg-open", &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

class Studio {
 public:
  Studio(Options options, std::string device)
      : options_(std::move(options)), device_(std::move(device)) {}

  int run();

 private:
  // What the page asks of the Settings app: answered once the app replies, never waited for.
  void changeSettings(const char* op, const std::string& body, const studio::Answer& answer);
  void respring(const std::string& body, const studio::Answer& answer);
  void profile(const studio::Answer& answer);
  Reply changeDevice(const std::string& body);
  Reply startAgain(const std::string& body);

  // Asks the Settings app for the pane and publishes it when it answers: never waits.
  void publishSettings() {
    pane_->ask(studio::PaneRequest::of("show"),
               [this](const studio::PaneAnswer& shown) { hub_.publish("settings", shown.body); });
  }
  void publishStatus();
  void startSpringBoard();
  void springBoardOutput(short revents);
  void springBoardEnded();
  void armRestart(std::chrono::nanoseconds after);
  // Whether the device folder is still there; a moved one is followed (the Settings app is
  // started again at its new name), a deleted one ends the studio.
  bool deviceStillThere();

  Options options_;
  std::string device_;
  std::optional<show::HeldFolder> held_;  // the device folder, by its identity
  int checkTimer_ = -1;                   // a second's tick: a deletion is not reported
  studio::Hub hub_;
  studio::MainThreadQueue queue_;
  std::optional<studio::SettingsApp> pane_;
  std::optional<studio::Previews> previews_;  // profiles previewed for the page, off this loop
  show::SpringBoard springBoard_{[](const std::string& line) { progress(line); }};
  show::DeviceState state_;
  std::string exe_;
  int restartTimer_ = -1;
  // The SpringBoard's phase and status line, and when it is started again.
  attach::Supervision supervision_{supervisionRules()};
  std::vector<std::string> notices_;
};

int Studio::run() {
  // Before any other thread starts: Ctrl-C and SIGTERM become events of the main loop.
  show::SettingsWatch watch;
  std::signal(SIGPIPE, SIG_IGN);

  studio::WebFiles files;
  if (const Result<> loaded = studio::loadWebFiles(payloadFolder() + "/studio", files); !loaded) {
    progress(loaded.error());
    return 1;
  }
  auto claimed = studio::Instance::claim();
  if (!claimed) {
    progress(claimed.error());
    return 1;
  }
  studio::Instance instance = *std::move(claimed);
  if (!instance.owner()) {
    progress("a studio of the device " + device_ + " runs already, at the address below");
    vyr::out::print(stdout, "%s\n", instance.runningUrl().c_str());
    return 0;
  }
  files.layout = studio::elementRegionsJson();
  exe_ = sim::ownExecutable();
  restartTimer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (exe_.empty() || restartTimer_ < 0) {
    progress("cannot prepare to start SpringBoard");
    return 1;
  }

  // A preview's files live in the private folder, never in the device.
  previews_.emplace(exe_, instance.folder() + "/" + instance.key() + "-preview-");
  held_.emplace(device_);
  checkTimer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (checkTimer_ >= 0) {
    const itimerspec everySecond{{1, 0}, {1, 0}};
    ::timerfd_settime(checkTimer_, 0, &everySecond, nullptr);
  }
  ns::AutoreleasePool pool;
  pane_.emplace(exe_, device_, [](const std::string& line) { progress(line); });
  publishSettings();
  if (const Result<void> started = watch.start(); !started) {
    notices_.push_back("The studio cannot watch the settings file (" + started.error() +
                       "): changes made elsewhere show after the next change made here.");
  }
  startSpringBoard();

  studio::Server server(
      std::move(files), hub_, queue_,
      studio::Actions{
          [this](const std::string& b, const studio::Answer& a) { changeSettings("set", b, a); },
          [this](const std::string& b, const studio::Answer& a) { changeSettings("tap", b, a); },
          [this](const std::string& b, const studio::Answer& a) { respring(b, a); },
          [this](const std::string& b, const studio::Answer& a) { a(changeDevice(b)); },
          [this](const std::string& b, const studio::Answer& a) { a(startAgain(b)); },
          [this](const studio::Answer& a) { profile(a); },
          [this](const std::string& b, const studio::Answer& a) { changeSettings("undo", b, a); },
          [this](const std::string& b, const studio::Answer& a) { changeSettings("reset", b, a); },
          [this](const std::string& name, const std::string& b, const studio::Answer& a) {
            previews_->start(device_, studio::profileName(name), b, a);
          }});
  // The port served last comes first, so that pages open from then find the studio again.
  const int port = options_.portGiven ? options_.port : instance.lastPort().value_or(kDefaultPort);
  if (const Result<> started = server.start(port, instance.token()); !started) {
    progress(started.error());
    return 1;
  }
  const std::string url = server.address().url();
  if (!server.takenPorts().empty()) {
    const auto& taken = server.takenPorts();
    progress((taken.size() == 1 ? "port " + std::to_string(taken.front()) + " is"
                                : "ports " + std::to_string(taken.front()) + " to " +
                                      std::to_string(taken.back()) + " are") +
             " taken by another program: serving on port " + std::to_string(server.address().port));
  }
  if (const Result<> recorded = instance.record(url); !recorded) progress(recorded.error());
  progress("the device " + device_ + " is served at the address below (Ctrl-C ends)");
  vyr::out::print(stdout, "%s\n", url.c_str());
  std::fflush(stdout);
  pid_t opener = -1;
  if (options_.open && (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY"))) {
    const Result<std::string> page = instance.opener(url);
    opener = page ? openBrowser(*page) : -1;
    if (opener < 0) progress("cannot open a browser: open the address yourself");
  }

  int status = 0;
  for (;;) {
    std::array<pollfd, 7> extra{{{queue_.descriptor(), POLLIN, 0},
                                 springBoard_.pollEntry(),
                                 {restartTimer_, POLLIN, 0},
                                 {held_->descriptor(), POLLIN, 0},
                                 {checkTimer_, POLLIN, 0},
                                 pane_->pollEntry(),
                                 {pane_->timerDescriptor(), POLLIN, 0}}};
    const auto event = watch.next(extra);
    if (opener > 0 && ::waitpid(opener, nullptr, WNOHANG) != 0) opener = -1;
    if (event == show::SettingsWatch::Event::stop) break;
    if (extra[3].revents != 0) held_->changed();
    if (extra[4].revents != 0) {
      std::uint64_t ticks = 0;
      [[maybe_unused]] const ssize_t n = ::read(checkTimer_, &ticks, sizeof ticks);
    }
    if (!deviceStillThere()) {
      status = 1;
      break;
    }
    ns::AutoreleasePool iteration;
    if (event == show::SettingsWatch::Event::changed) {
      publishSettings();
      continue;
    }
    if (extra[5].revents != 0 || extra[6].revents != 0) {
      pane_->onEvents(extra[5].revents, extra[6].revents != 0);
    }
    if (extra[0].revents != 0) queue_.runPending();
    if (extra[1].revents != 0) springBoardOutput(extra[1].revents);
    if (extra[2].revents != 0) {
      std::uint64_t expirations = 0;
      [[maybe_unused]] const ssize_t n = ::read(restartTimer_, &expirations, sizeof expirations);
      const attach::Supervision::Decision due =
          supervision_.timer(attach::Supervision::Clock::now());
      if (due.action == attach::Supervision::Action::restart && !springBoard_.running()) {
        startSpringBoard();
      }
    }
  }

  progress("stopping");
  queue_.close();
  // Every page's stream ends; the hub is this loop's, the server only borrows it.
  hub_.close();
  server.stop();
  previews_->stop();
  springBoard_.stop();
  ::close(restartTimer_);
  if (checkTimer_ >= 0) ::close(checkTimer_);
  pane_.reset();
  return status;
}

bool Studio::deviceStillThere() {
  const show::HeldFolder::Where where = held_->where();
  if (where.state == show::HeldFolder::State::here) return true;
  if (where.state == show::HeldFolder::State::gone) {
    supervision_.stop("The device folder " + device_ + " is gone; the studio ends.");
    publishStatus();
    progress("the device folder " + device_ +
             " is gone (deleted, or moved where it cannot be "
             "found); the studio ends");
    return false;
  }
  const std::string was = device_;
  device_ = where.path;
  ::setenv("VYR_DEVICE_ROOT", device_.c_str(), 1);
  progress("the device folder " + was + " was moved to " + device_ + "; following it");
  notices_.push_back("The device folder " + was + " was moved to " + device_ +
                     "; the studio follows it.");
  // The Settings app is started at the folder's new name when next asked.
  pane_.emplace(exe_, device_, [](const std::string& line) { progress(line); });
  publishStatus();
  return true;
}

void Studio::publishStatus() {
  json springboard = {{"phase", supervision_.phaseName()}, {"message", supervision_.message()}};
  springboard["pid"] = springBoard_.running() ? json(springBoard_.pid()) : json(nullptr);
  hub_.publish("status", dump({{"device", device_},
                               {"ios", sim::iosVersion()},
                               {"springboard", springboard},
                               {"deviceState",
                                {{"battery", state_.batteryPercent},
                                 {"charging", state_.charging},
                                 {"style", show::styleName(state_.homeStyle)}}},
                               {"notices", notices_}}));
}

void Studio::startSpringBoard() {
  if (const Result<> started =
          springBoard_.start(exe_, device_, {"role", "springboard", "--relaunch"}, state_);
      !started) {
    supervision_.couldNotStart(started.error());
    progress(started.error());
  } else {
    supervision_.started("Starting SpringBoard (pid " + std::to_string(springBoard_.pid()) +
                         ") with VYRSignals injected");
  }
  publishStatus();
}

void Studio::springBoardOutput(short revents) {
  const show::SpringBoard::Output output = springBoard_.onEvents(revents);
  if (output.restarted) {
    supervision_.started("SpringBoard kept sending messages that are dropped; started a new one");
    publishStatus();
  }
  for (const show::SceneMessage& scene : output.scenes) {
    // The page's picture is drawn here, from the colours the SpringBoard answered.
    json phone = show::pageScene(scene);
    // The process this studio started and can end, not what the process says of itself:
    // inside its sandbox its own pid is that of its PID namespace.
    phone["pid"] = springBoard_.pid();
    const auto svg = show::renderPicture(scene.scene, show::PictureFormat::svg);
    if (svg) {
      phone["svg"] = *svg;
    } else {
      phone["svg"] = nullptr;
      phone["error"] = svg.error();
    }
    hub_.publish("phone", dump(phone));
    if (supervision_.shown().publish) publishStatus();
  }
  if (!output.startError.empty()) supervision_.saidCannotStart(output.startError);
  if (output.ended) springBoardEnded();
}

void Studio::springBoardEnded() {
  bool clean = false;
  const std::string how = springBoard_.reap(&clean);
  const auto now = attach::Supervision::Clock::now();
  const attach::Supervision::Decision decision = supervision_.ended(clean, how, now);
  if (!decision.publish) return;
  if (decision.action == attach::Supervision::Action::restart) armRestart(decision.at - now);
  progress(supervision_.message());
  publishStatus();
}

void Studio::armRestart(std::chrono::nanoseconds after) {
  // Zero would disarm the timer: a restart due at once comes a nanosecond later.
  const long long ns = std::max<long long>(after.count(), 1);
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  ::timerfd_settime(restartTimer_, 0, &when, nullptr);
}

// The page's request read here, at the server's side: the Settings app is handed only typed values.
void Studio::changeSettings(const char* op, const std::string& body, const studio::Answer& answer) {
  Result<studio::PaneRequest> request = studio::paneRequestOf(op, body);
  if (!request) return answer(httpReply(malformed(request.error())));
  pane_->ask(*std::move(request), [this, answer](studio::PaneAnswer done) {
    if (done.outcome == studio::PaneAnswer::Outcome::ok) publishSettings();
    answer(httpReply(std::move(done)));
  });
}

void Studio::respring(const std::string& body, const studio::Answer& answer) {
  Result<studio::PaneRequest> request = studio::paneRequestOf("respring", body);
  if (!request) return answer(httpReply(malformed(request.error())));
  pane_->ask(*std::move(request),
             [answer](studio::PaneAnswer done) { answer(httpReply(std::move(done))); });
}

Reply Studio::changeDevice(const std::string& body) {
  const auto change = studio::parseDeviceChange(body);
  if (!change) return {400, dump({{"error", change.error()}})};
  state_ = change->applied(state_);
  springBoard_.send(state_);
  publishStatus();
  return {200, dump({{"battery", state_.batteryPercent},
                     {"charging", state_.charging},
                     {"style", show::styleName(state_.homeStyle)}})};
}

Reply Studio::startAgain(const std::string& body) {
  const auto request = studio::parseNoArguments(body);
  if (!request) return {400, dump({{"error", request.error()}})};
  if (springBoard_.running() || !supervision_.mayStartAgain()) {
    return {409, dump({{"error", "SpringBoard is already running or starting"}})};
  }
  startSpringBoard();
  return {200, dump({{"started", springBoard_.running()}})};
}

void Studio::profile(const studio::Answer& answer) {
  // The Settings app writes it, as `vyr export` does; only its bytes cross the pipe.
  pane_->ask(studio::PaneRequest::of("profile"), [answer](studio::PaneAnswer done) {
    if (done.outcome != studio::PaneAnswer::Outcome::ok) return answer(httpReply(std::move(done)));
    answer({200, std::move(done.body), "application/x-plist", "VYR.plist"});
  });
}

int run(const Options& options, const Invocation& inv) {
  // The phone is drawn here, from what the SpringBoard child answers: the fonts are this
  // process's to let go of.
  struct ReleaseFonts {
    ~ReleaseFonts() { show::releaseFontCaches(); }
  } releaseFonts;
  try {
    Studio studio(options, inv.device);
    return studio.run();
  } catch (const std::exception& e) {
    progress(e.what());
    return 1;
  }
}

std::optional<Run> parseStudio(const std::vector<std::string>& args) {
  const std::optional<Options> options = parse(args);
  if (!options) return std::nullopt;
  return Run([o = *options](const Invocation& inv) { return run(o, inv); });
}

}  // namespace

const Command studioCommand{"studio", nullptr,
                            "  studio [--port N] [--no-open]\n"
                            "                          the phone's screens and VYR's Settings pane "
                            "side by side in a\n"
                            "                          browser, live, served on 127.0.0.1\n",
                            kUsage, &parseStudio};

}  // namespace vyr
