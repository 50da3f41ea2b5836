// Removal by the door (device/files.hpp): one name, or a whole tree, never following a link.
#pragma once

#include <string_view>

#include "device/files/paths.hpp"

namespace sim {

// Removes the file or link at PATH as unlink(2) does (a folder: EISDIR). A link is removed, never
// what it points to.
int removeFile(Area area, std::string_view path) noexcept;

// Removes PATH and everything beneath it, as rm -rf: links are removed, never followed, and a
// folder swapped for a link during the walk is not entered. Trees of any depth are removed (the
// walk holds one descriptor at a time, not one per level). 0 when PATH is gone afterwards (or
// never was); otherwise the errno of something that could not be removed. The device's root, and
// "." or ".." as the last component, are refused (EINVAL). REMOVED (when not null) is set to
// whether anything was at PATH itself and got removed: a link is removed whatever it leads to
// (somewhere outside the device, or nowhere).
int removeTree(Area area, std::string_view path, bool* removed = nullptr) noexcept;

}  // namespace sim
