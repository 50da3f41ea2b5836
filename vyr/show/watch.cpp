#include "vyr/show/watch.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "device/files.hpp"
#include "platform/corefoundation/simulator.hpp"

namespace vyr::show {
namespace {

constexpr char kPreferencesFolder[] = "/var/mobile/Library/Preferences";
constexpr std::string_view kPreferencesFile = "com.belvorin.VYR.plist";
// A writer that replaces the file and posts the notification produces two events a moment apart.
constexpr int kSettleMilliseconds = 50;

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

SettingsWatch::SettingsWatch() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signals_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals_ < 0)
    signalsError_ = std::string("cannot take the stop signals: ") + std::strerror(errno);
}

SettingsWatch::~SettingsWatch() {
  if (inotify_ >= 0) ::close(inotify_);
  if (signals_ >= 0) ::close(signals_);
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

std::string SettingsWatch::start() {
  if (signals_ < 0) return signalsError_;
  // The folder is opened through the device's door and watched through that descriptor.
  const sim::Fd folder = sim::openFolder(sim::Area::Device, kPreferencesFolder);
  if (!folder) {
    return std::string("cannot watch ") + kPreferencesFolder +
           " in the device: " + sim::describe(folder.error());
  }
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  const std::string self = "/proc/self/fd/" + std::to_string(folder.get());
  if (inotify_ < 0 ||
      inotify_add_watch(inotify_, self.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE) < 0) {
    return std::string("cannot watch ") + kPreferencesFolder + ": " + std::strerror(errno);
  }
  return {};
}

bool SettingsWatch::readFileEvents() {
  bool ours = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
    if (n <= 0) return ours;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof event;
      if (event.len > 0 && std::string_view(name, strnlen(name, event.len)) == kPreferencesFile) {
        ours = true;
      }
      at += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
}

SettingsWatch::Event SettingsWatch::next() {
  return next({});
}

SettingsWatch::Event SettingsWatch::next(std::span<pollfd> extra) {
  bool changed = false;
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign({{signals_, POLLIN, 0},
                {inotify_, POLLIN, 0},
                {cfsim::notificationDescriptor(), POLLIN, 0}});
    fds.insert(fds.end(), extra.begin(), extra.end());
    const int ready =
        ::poll(fds.data(), static_cast<nfds_t>(fds.size()), changed ? kSettleMilliseconds : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Event::stop;  // nothing left to wait on
    }
    if (ready == 0) return Event::changed;  // the moment has passed with nothing more
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info;
      while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      return Event::stop;
    }
    if ((fds[1].revents & POLLIN) != 0 && readFileEvents()) changed = true;
    // Deliver now, so that the library has re-read its switches before anyone asks it again.
    if ((fds[2].revents & POLLIN) != 0 && cfsim::deliverPendingNotifications() > 0) changed = true;
    bool extraReady = false;
    for (std::size_t i = 0; i < extra.size(); ++i) {
      extra[i].revents = fds[3 + i].revents;
      extraReady = extraReady || extra[i].revents != 0;
    }
    if (extraReady) return changed ? Event::changed : Event::ready;
  }
}

}  // namespace vyr::show
