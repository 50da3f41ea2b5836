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

// The machine path of the VYR preferences file in DEVICE.
std::string prefsPath(const TempDevice& device);

// A property list in XML holding a dictionary of the given entries; each value is already XML
// ("<true/>", "<integer>3</integer>", "<string>#ff0000</string>").
std::string xmlPlist(std::initializer_list<std::pair<std::string, std::string>> entries);

// Runs COMMAND with sh in a process of its own, as another process of the device would act, and
// returns its wait status (-1 when it could not be started).
int runElsewhere(const std::string& command);

}  // namespace vyrtest
