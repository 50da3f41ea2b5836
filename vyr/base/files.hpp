// Writing the command's own files on the machine (pictures, imported settings) so that a reader
// only ever finds the old file or the complete new one.
#pragma once

#include "vyr/base/result.hpp"

#include <string>
#include <string_view>

namespace vyr::show {

// Writes DATA to PATH, a file of the machine, through a new file beside it (made exclusively with
// an unpredictable name, flushed to disk, then renamed over PATH). The new file gets the usual
// permissions for new files (0666 less the umask). An existing PATH that is not a regular file (a
// device node, a FIFO, a folder), or a link to one, is refused and left untouched. A failure names
// PATH and the reason; nothing is then left beside PATH and PATH is untouched.
Result<> replaceFile(const std::string& path, std::string_view data);

// The folder a file at PATH would live in ("." for a bare name).
std::string folderOf(const std::string& path);

}  // namespace vyr::show
