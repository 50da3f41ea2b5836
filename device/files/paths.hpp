// Path resolution of the door (device/files.hpp): device and simulator paths opened beneath the
// device's root, and what is read through them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/files/fd.hpp"

namespace sim {

enum class Area { Device, Simulator };

// The device's root as an O_PATH descriptor, as attached (a duplicate: the caller owns it); ENODEV
// when no device is attached or its folder cannot be opened. Every operation of the door fails
// with that error then.
Fd rootDescriptor() noexcept;

// Opens the regular file at PATH for reading. Links are followed inside the area (Device only);
// anything but a regular file is refused with kNotRegularFile without being opened for reading.
Fd openFile(Area area, std::string_view path) noexcept;

// Opens the folder at PATH for reading its entries (and as the starting point of *at calls).
Fd openFolder(Area area, std::string_view path) noexcept;

// Opens the file or folder at PATH with O_PATH, for watching and identity checks only.
Fd openPath(Area area, std::string_view path, bool followLastLink = true) noexcept;

// The bytes of the regular file at PATH; nothing when it is missing, not a regular file, larger
// than LIMIT bytes or unreadable. ERROR (when not null) receives why (EFBIG for the size).
std::optional<std::string> readFile(Area area, std::string_view path, std::size_t limit,
                                    int* error = nullptr) noexcept;
// The same for a file already open (as openFile gives).
std::optional<std::string> readOpenFile(int fd, std::size_t limit, int* error = nullptr) noexcept;

// The names in the folder at PATH ("." and ".." left out), unsorted; nothing when it cannot be
// read. ERROR (when not null) receives why.
std::optional<std::vector<std::string>> listFolder(Area area, std::string_view path,
                                                   int* error = nullptr) noexcept;

// The same for the folder open as FOLDER_FD (its own position is left untouched).
std::optional<std::vector<std::string>> listFolderAt(int folderFd, int* error = nullptr) noexcept;

// Whether something exists at device path PATH (links followed inside the area).
bool exists(Area area, std::string_view path) noexcept;

namespace testing {
// Called by the door after it has opened the containing folder of a creation, rename or removal
// and before it acts on it: tests swap folders there to prove that nothing resolved earlier is
// used again. Null (the default) calls nothing. Not thread-safe: set it while no other thread
// uses the door.
void setAfterFolderOpened(void (*hook)(std::string_view path));
}  // namespace testing

}  // namespace sim
