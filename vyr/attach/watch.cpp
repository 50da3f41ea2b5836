#include "vyr/attach/watch.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/corefoundation/simulator.hpp"
#include "tweak/elements.hpp"

namespace vyr::show {
namespace {

// A writer replaces the file and then posts the notification: a change of the file alone is held
// this long for the notification that may follow, so that one change makes one event.
constexpr int kSettleMilliseconds = 50;
// Once the notification is in, only the stragglers of the same post are waited for: the page and
// the terminal show the change this much sooner.
constexpr int kAfterPostMilliseconds = 4;

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
  if (signals_ >= 0) ::close(signals_);
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

Result<void> SettingsWatch::start() {
  if (signals_ < 0) return failed(signalsError_);
  try {
    file_.emplace(kPreferencesPath);
  } catch (const std::bad_alloc&) {
    return failed("out of memory");
  }
  file_->changed();  // sets the watch up
  if (file_->descriptor() < 0) {
    return failed(std::string("cannot watch ") + kPreferencesPath +
                  " in the device (no device, a link that cannot be followed, or no inotify "
                  "instance left)");
  }
  return {};
}

SettingsWatch::Event SettingsWatch::next() {
  return next({});
}

SettingsWatch::Event SettingsWatch::next(std::span<pollfd> extra) {
  bool changed = false;
  bool posted = false;
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign({{signals_, POLLIN, 0},
                {file_ ? file_->descriptor() : -1, POLLIN, 0},
                {cfsim::notificationDescriptor(), POLLIN, 0}});
    fds.insert(fds.end(), extra.begin(), extra.end());
    // A watch that fell out of place (its device's root went away) is set up again by asking it,
    // at the interval at which the notification centre polls.
    const int wait = posted          ? kAfterPostMilliseconds
                     : changed       ? kSettleMilliseconds
                     : fds[1].fd < 0 ? libsystem::FolderWatch::kPollMilliseconds
                                     : -1;
    const int ready = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Event::stop;  // nothing left to wait on
    }
    if (ready == 0) {
      if (changed) return Event::changed;  // the moment has passed with nothing more
      changed = file_->changed();
      continue;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info;
      while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      return Event::stop;
    }
    if ((fds[1].revents & POLLIN) != 0 && file_->changed()) changed = true;
    // Deliver now, so that the library has re-read its switches before anyone asks it again.
    if ((fds[2].revents & POLLIN) != 0 && cfsim::deliverPendingNotifications() > 0) {
      changed = posted = true;
    }
    bool extraReady = false;
    for (std::size_t i = 0; i < extra.size(); ++i) {
      extra[i].revents = fds[3 + i].revents;
      extraReady = extraReady || extra[i].revents != 0;
    }
    if (extraReady) return changed ? Event::changed : Event::ready;
  }
}

}  // namespace vyr::show
