// A throw-away device folder for tests: made under the temporary folder, attached to this
// process, removed with everything in it when the test ends.
#pragma once

#include <string>
#include <string_view>

namespace vyrtest {

class TempDevice {
 public:
  TempDevice();
  ~TempDevice();
  TempDevice(const TempDevice&) = delete;
  TempDevice& operator=(const TempDevice&) = delete;

  const std::string& root() const { return root_; }
  // The machine path of a device path ("/var/mobile/..." -> "<root>/var/mobile/...").
  std::string path(std::string_view devicePath) const;
  // Writes DATA to DEVICE_PATH, making the folders on the way.
  void write(std::string_view devicePath, std::string_view data) const;
  void remove(std::string_view devicePath) const;

 private:
  std::string root_;
};

// A folder of the machine outside any device, holding one file "precious" that attacks on the
// device must never reach; removed when the test ends.
class OutsideFolder {
 public:
  OutsideFolder();
  ~OutsideFolder();
  OutsideFolder(const OutsideFolder&) = delete;
  OutsideFolder& operator=(const OutsideFolder&) = delete;
  const std::string& path() const { return path_; }
  // Whether "precious" is still there with its first content, and nothing else was added.
  bool intact() const;

 private:
  std::string path_;
};

// The machine path of the VYR preferences file in DEVICE.
std::string prefsPath(const TempDevice& device);

// A property list in XML holding a dictionary of the given entries; each value is already XML
// ("<true/>", "<integer>3</integer>", "<string>#ff0000</string>").
std::string xmlPlist(std::initializer_list<std::pair<std::string, std::string>> entries);

// Runs COMMAND with sh in a process of its own, as another process of the device would act, and
// returns its wait status (-1 when it could not be started).
int runElsewhere(const std::string& command);

}  // namespace vyrtest
