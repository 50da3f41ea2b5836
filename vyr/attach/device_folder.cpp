#include "vyr/attach/device_folder.hpp"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace vyr {

Result<> checkDeviceFolder(const std::string& dir) {
  std::error_code ec;
  const fs::file_status status = fs::status(dir, ec);
  if (status.type() == fs::file_type::not_found) return {};
  if (ec) return failed("cannot use " + dir + " as a device: " + ec.message());
  if (status.type() != fs::file_type::directory) {
    return failed("cannot use " + dir + " as a device: it is not a folder");
  }
  // A planted link named .sim does not make a device of a folder: only a real folder does.
  if (fs::symlink_status(fs::path(dir) / ".sim", ec).type() == fs::file_type::directory) return {};
  const bool empty = fs::is_empty(dir, ec);
  if (ec) return failed("cannot use " + dir + " as a device: " + ec.message());
  if (empty) return {};
  return failed("refusing " + dir +
                ": it is a folder with other things in it, not a device (a device holds a .sim "
                "folder); name a new or empty folder to make a device there");
}

}  // namespace vyr
