#include "tests/support/temp_device.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "device/device.hpp"
#include "tweak/elements.hpp"

namespace vyrtest {

TempDevice::TempDevice() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vyr-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a device folder");
  root_ = pattern;
  std::filesystem::create_directories(root_ + "/var/mobile/Library/Preferences");
  std::filesystem::create_directories(root_ + "/.sim");
  // The device's own alias, as every device has it.
  std::filesystem::create_directory_symlink("var/mobile", root_ + "/User");
  sim::attachDevice(root_);
}

TempDevice::~TempDevice() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string TempDevice::path(std::string_view devicePath) const {
  return root_ + std::string(devicePath);
}

void TempDevice::write(std::string_view devicePath, std::string_view data) const {
  const std::filesystem::path p = path(devicePath);
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void TempDevice::remove(std::string_view devicePath) const {
  std::error_code ignored;
  std::filesystem::remove(path(devicePath), ignored);
}

OutsideFolder::OutsideFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vyr-outside-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder");
  path_ = pattern;
  std::ofstream(path_ + "/precious") << "keep";
}

OutsideFolder::~OutsideFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool OutsideFolder::intact() const {
  std::ifstream in(path_ + "/precious");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::filesystem::directory_iterator it(path_);
  return text == "keep" && std::distance(begin(it), end(it)) == 1;
}

std::string prefsPath(const TempDevice& device) {
  return device.path(kPreferencesPath);
}

std::string xmlPlist(std::initializer_list<std::pair<std::string, std::string>> entries) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : entries) out += "  <key>" + key + "</key>\n  " + value + "\n";
  out += "</dict>\n</plist>\n";
  return out;
}

int runElsewhere(const std::string& command) {
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return -1;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

}  // namespace vyrtest
