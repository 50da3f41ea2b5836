#include "platform/system/device_paths.hpp"

#include <climits>
#include <cstdlib>

#include "device/device.hpp"

namespace libsystem {
namespace {

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

bool within(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

}  // namespace

std::optional<std::string> deviceFile(std::string_view path) {
  std::optional<std::string> resolved = sim::resolve(path);
  if (!resolved) return std::nullopt;
  // resolve() leaves the last component as it is (so that a link itself can be removed); the
  // folders before it are followed, so comparing the parent's real path is exact.
  const std::string root = canonical(sim::deviceRoot());
  const std::string simulator = canonical(sim::simFolder());
  const std::size_t slash = resolved->rfind('/');
  const std::string parent = canonical(slash == 0 ? std::string("/") : resolved->substr(0, slash));
  const std::string leaf = resolved->substr(slash + 1);
  const std::string full = parent == "/" ? "/" + leaf : parent + "/" + leaf;
  if (within(root, full) || within(full, simulator) || leaf == "." || leaf == "..")
    return std::nullopt;
  return resolved;
}

}  // namespace libsystem
