#include "vyr/base/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device/files.hpp"

namespace vyr::show {
namespace {

Failure writeFailure(const std::string& path, int error) {
  return failed("cannot write " + path + ": " + sim::describe(error));
}

mode_t newFileMode() {
  // umask can only be read by setting it; nothing else in this process changes it.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Result<> replaceFile(const std::string& path, std::string_view data) {
  if (path.empty()) return failed("cannot write a file without a name");
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const sim::Fd folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return writeFailure(path, errno);
  const int error = sim::writeFileIn(folder.get(), name, data, newFileMode());
  if (error != 0) return writeFailure(path, error);
  return {};
}

}  // namespace vyr::show
