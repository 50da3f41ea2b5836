#include "vyr/attach/held_folder.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

namespace vyr::show {

HeldFolder::HeldFolder(const std::string& path)
    : path_(path), folder_(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {
  struct stat st {};
  if (!folder_ || ::fstat(folder_.get(), &st) != 0) return;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  watch_ = sim::Fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch_) return;
  // The magic link of the held descriptor names the folder itself, wherever it is by now.
  const std::string self = "/proc/self/fd/" + std::to_string(folder_.get());
  if (::inotify_add_watch(watch_.get(), self.c_str(),
                          IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB | IN_ONLYDIR) < 0) {
    watch_ = sim::Fd();
  }
}

void HeldFolder::changed() {
  std::array<char, 4096> events{};
  while (watch_ && ::read(watch_.get(), events.data(), events.size()) > 0) {
  }
}

HeldFolder::Where HeldFolder::where() {
  struct stat st {};
  if (!folder_ || ::fstat(folder_.get(), &st) != 0 || st.st_nlink == 0) return {State::gone, {}};
  const auto same = [this](const std::string& name) {
    struct stat there {};
    return ::stat(name.c_str(), &there) == 0 && there.st_dev == device_ && there.st_ino == inode_;
  };
  if (same(path_)) return {State::here, path_};
  // The kernel keeps the name of what the descriptor holds up to date across renames.
  std::array<char, 4096> name{};
  const std::string self = "/proc/self/fd/" + std::to_string(folder_.get());
  const ssize_t n = ::readlink(self.c_str(), name.data(), name.size() - 1);
  if (n <= 0) return {State::gone, {}};
  const std::string now(name.data(), static_cast<std::size_t>(n));
  if (now.ends_with(" (deleted)") || !same(now)) return {State::gone, {}};
  path_ = now;
  return {State::moved, now};
}

}  // namespace vyr::show
