#include "fuzz/rounds/scratch_device.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  const std::filesystem::path path = machinePath(devicePath);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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
