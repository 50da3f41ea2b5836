// A device for a fuzzing or replaying process: one folder under the temporary folder, made and
// attached on first use, removed when the process exits normally. A fuzzer runs millions of
// inputs in one process, so everything it writes goes to this one folder and is overwritten input
// after input.
#pragma once

#include <string>
#include <string_view>

#include "tweak/elements.hpp"

namespace vyrfuzz {

// The device path of the library's preferences file.
inline constexpr std::string_view kPrefsFile = kPreferencesPath;

// Makes and attaches the device on the first call; later calls return the same one. The machine
// folder of the device.
const std::string& scratchDevice();

// The machine path of device path DEVICE_PATH in the scratch device.
std::string machinePath(std::string_view devicePath);

// Writes BYTES over the file at DEVICE_PATH in place and cuts it to their length, making folders
// on the way: a reader at the same moment may see old and new bytes mixed, or a file cut short, as
// after a writer that crashed.
void writeInPlace(std::string_view devicePath, std::string_view bytes);

// Writes BYTES to DEVICE_PATH as a new file renamed over the old one: a reader sees either.
void writeByRename(std::string_view devicePath, std::string_view bytes);

// Removes DEVICE_PATH; nothing when it is missing.
void removeFile(std::string_view devicePath);

}  // namespace vyrfuzz
