#include "fuzz/rounds/scratch_device.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "device/device.hpp"

namespace vyrfuzz {
namespace {

std::string gRoot;  // set once by scratchDevice, read-only afterwards

void removeDevice() {
  std::error_code ignored;
  std::filesystem::remove_all(gRoot, ignored);
}

}  // namespace

const std::string& scratchDevice() {
  static const bool made = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vyr-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a device folder");
    gRoot = pattern;
    std::filesystem::create_directories(gRoot + "/var/mobile/Library/Preferences");
    std::filesystem::create_directories(gRoot + "/.sim");
    sim::attachDevice(gRoot);
    std::atexit(&removeDevice);
    return true;
  }();
  (void)made;
  return gRoot;
}

std::string machinePath(std::string_view devicePath) {
  return scratchDevice() + std::string(devicePath);
}

void writeInPlace(std::string_view devicePath, std::string_view bytes) {
  const std::string path = machinePath(devicePath);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  // Written over the old bytes, then cut to length: truncating to zero first would make ext4
  // flush the file to disk when it is closed, which costs milliseconds per input.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  // A file left longer than the bytes would only be one more broken file for the reader.
  const bool cut = ::ftruncate(fd, static_cast<off_t>(done)) == 0;
  ::close(fd);
  (void)cut;
}

void writeByRename(std::string_view devicePath, std::string_view bytes) {
  const std::string path = machinePath(devicePath);
  const std::string temp = path + ".new";
  writeInPlace(std::string(devicePath) + ".new", bytes);
  std::rename(temp.c_str(), path.c_str());
}

void removeFile(std::string_view devicePath) {
  std::error_code ignored;
  std::filesystem::remove(machinePath(devicePath), ignored);
}

}  // namespace vyrfuzz
