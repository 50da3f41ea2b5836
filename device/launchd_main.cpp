// vyr-launchd: the supervisor of one device's processes (see device/launchd.hpp). Started by the
// device library, never by hand: vyr-launchd RUNTIME_FOLDER KEY.
#include <unistd.h>

#include <csignal>
#include <string>

#include "device/launchd.hpp"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  // Nothing of the starter's is kept: its descriptors, its terminal, its blocked signals.
  ::close_range(3, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  // The starter waits for this process only: the supervisor itself goes on in a child.
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child > 0) return 0;
  ::setsid();
  return sim::launchd::serve(argv[1], argv[2]);
}
