#include "vyr/roles/springboard.hpp"
#include "vyr/base/out.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "device/files.hpp"
#include "platform/foundation/facade.hpp"
#include "tweak/elements.hpp"
#include "vyr/attach/process.hpp"
#include "vyr/attach/watch.hpp"
#include "vyr/render/report.hpp"
#include "vyr/render/sources.hpp"

namespace vyr::show {
namespace {

using nlohmann::json;

// Whether the settings file is there and reads as the library reads it: "ok", "missing" (the
// defaults apply), "unreadable" (the hooks keep what they read last), "unreachable" (the
// preferences folder itself cannot be reached).
std::string settingsFileState() {
  const sim::Fd at = sim::openPath(sim::Area::Device, kPreferencesPath);
  if (!at) return at.error() == ENOENT ? "missing" : "unreachable";
  ns::AutoreleasePool pool;
  const auto dict =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(kPreferencesPath));
  return dict ? "ok" : "unreadable";
}

// What the SpringBoard shows in STATE: every colour of the scene, the table of sources (which
// only this process, with the library's settings, can name), and the facts around them.
SceneMessage sceneOf(const DeviceState& state, const char* reason) {
  SceneMessage m;
  m.scene = askSpringBoard(state);
  m.scene.state = state;
  m.rows = tableRows(m.scene, &describeSource);
  m.reason = reason;
  m.settingsFile = settingsFileState();
  return m;
}

// Sends MESSAGE and waits until it is written: this side has nothing else to do meanwhile.
bool sendNow(child::Channel& channel, const json& message) {
  return channel.send(message) && channel.flush(10000);
}

void dropped(const std::string& why) {
  vyr::out::print(stderr, "vyr: SpringBoard dropped a message from its front end: %s\n",
                  why.c_str());
}

}  // namespace

int runSpringBoard(sim::Relaunch relaunch) {
  // Before SpringBoard starts anything that could run on another thread.
  SettingsWatch watch;
  std::signal(SIGPIPE, SIG_IGN);
  // A front end that dies without ending its SpringBoard still takes it down.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (frontEndGone()) return 0;
  child::Channel channel = child::protocolChannel();
  if (!channel.open()) {
    vyr::out::print(stderr, "vyr: SpringBoard was started without its front end's socket\n");
    return 1;
  }
  const auto startFailure = [&](const std::string& why) {
    sendNow(channel, encodeStartError(why));
    return 1;
  };
  if (const Result<void> started = startUiProcess("SpringBoard", relaunch); !started) {
    return startFailure(started.error());
  }
  followCustomSwitches();
  if (const Result<void> started = watch.start(); !started) return startFailure(started.error());

  std::optional<DeviceState> state;
  for (;;) {
    pollfd input{channel.descriptor(), POLLIN, 0};
    const auto event = watch.next(std::span<pollfd>(&input, 1));
    if (event == SettingsWatch::Event::stop) return 0;
    if (event == SettingsWatch::Event::changed) {
      if (state && !sendNow(channel, encodeScene(sceneOf(*state, "settings")))) return 0;
      continue;
    }
    child::Channel::Read read = channel.onReadable();
    for (const std::string& why : read.dropped) dropped(why);
    for (const child::Message& message : read.messages) {
      Result<DeviceState> next = decodeState(message);
      if (!next) {
        dropped(next.error());
        continue;
      }
      state = *next;
      if (!sendNow(channel, encodeScene(sceneOf(*state, "state")))) return 0;
    }
    if (read.ended) return 0;  // the front end has gone, or ends it
  }
}

Result<> SpringBoard::start(const std::string& exe, const std::string& device,
                            const std::vector<std::string>& command, const DeviceState& state) {
  const Result<void> started = process_.start(exe, device, command);
  if (!started) return failed("cannot start SpringBoard (" + started.error() + ")");
  exe_ = exe;
  device_ = device;
  command_ = command;
  bad_.clear();
  send(state);
  return {};
}

pollfd SpringBoard::pollEntry() {
  child::Channel& channel = process_.channel();
  return {channel.open() ? channel.descriptor() : -1, channel.events(), 0};
}

void SpringBoard::send(const DeviceState& state) {
  state_ = state;
  // Queued, never waited for; one that cannot be queued (it reads nothing) is dropped: the next
  // state or the next start says it again.
  if (process_.running()) process_.channel().send(encodeState(state));
}

SpringBoard::Output SpringBoard::onEvents(short revents) {
  Output out;
  child::Channel& channel = process_.channel();
  if (!process_.running()) return out;
  if ((revents & POLLOUT) != 0) channel.onWritable();
  if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return out;
  child::Channel::Read read = channel.onReadable();
  std::vector<std::string> bad = std::move(read.dropped);
  for (const child::Message& message : read.messages) {
    if (message.type == "error") {
      if (const Result<std::string> error = decodeStartError(message)) out.startError = *error;
      continue;
    }
    Result<SceneMessage> scene = decodeScene(message);
    if (scene) {
      out.scenes.push_back(*std::move(scene));
    } else {
      bad.push_back(scene.error());
    }
  }
  bool restart = false;
  const auto now = child::BadMessages::Clock::now();
  for (const std::string& why : bad) {
    if (say_) say_(child::droppedLine("SpringBoard", why));
    restart = bad_.add(now) || restart;
  }
  if (restart) {
    process_.stop();
    out.scenes.clear();
    // One that does the same each time it starts (a library of the device that writes to the
    // socket) is not started for ever.
    if (restarts_.add(now)) {
      out.startError =
          "SpringBoard kept sending messages that are dropped each time it started: it is not "
          "started again";
      out.ended = true;
      return out;
    }
    if (say_) {
      say_("SpringBoard keeps sending messages that are dropped: it is ended and started again");
    }
    if (const Result<> restarted = start(exe_, device_, command_, state_); !restarted) {
      out.startError = restarted.error();
      out.ended = true;
    } else {
      out.restarted = true;
    }
    return out;
  }
  out.ended = read.ended;
  return out;
}

std::string SpringBoard::reap(bool* clean) {
  return process_.reap("SpringBoard", clean, std::chrono::seconds(2));
}

}  // namespace vyr::show
