// The device's library loader: libraries of the device loaded through the door (device/files.hpp),
// as far as the confinement of this process (device/confine.hpp) allows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Loads the library at device path PATH with dlopen(FLAGS), after checking on the descriptor that
// it is a regular file of the device. Returns the handle, or null with ERROR set to words.
void* loadLibrary(std::string_view path, int flags, std::string* error) noexcept;

// The device path of the library loaded by loadLibrary that contains ADDRESS; nothing for an
// address in any other image.
std::optional<std::string> libraryPath(const void* address) noexcept;

}  // namespace sim
