// Writes of the door (device/files.hpp): whole files replaced through temporary names (and the
// sweep of those that killed writers left), files opened for writing in place, and new names:
// folders, renames, hard and symbolic links.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "device/files/paths.hpp"

namespace sim {

// Replaces the file at PATH with DATA so that readers see the old file or the new one, never a
// part: a new file with an unpredictable name is created exclusively (no link followed) in the
// folder, written, flushed and renamed over PATH inside that same folder, and the folder is
// flushed so that the rename survives a crash. A link at PATH itself is replaced, not followed.
// Temporary files that an earlier writer left behind when it was killed are removed on the way.
// Returns 0, or the errno of the step that failed: the old file is then untouched, except when
// only the folder's flush failed (the new file is in place, but a crash may still undo it); the
// temporary file is removed. MODE gives the new file's permissions.
int writeFile(Area area, std::string_view path, std::string_view data, mode_t mode = 0644) noexcept;

// The same in a folder of the machine outside any device (a picture the user asked for): FOLDER_FD
// is the open folder and NAME the file in it. An existing entry that is not a regular file (nor a
// link to one) is refused with kNotRegularFile and left untouched.
int writeFileIn(int folderFd, std::string_view name, std::string_view data,
                mode_t mode = 0644) noexcept;

// Opens the regular file at PATH with FLAGS (O_RDWR, O_WRONLY|O_APPEND...), creating it with MODE
// when it is missing; a link at PATH is not followed (ELOOP), anything but a regular file is
// refused with kNotRegularFile and a file with more than one name with kHardLinked, all before it
// is opened for reading or writing.
Fd openOrCreate(Area area, std::string_view path, int flags, mode_t mode = 0644) noexcept;

// The same for NAME (one component) in the folder open as FOLDER_FD.
Fd openOrCreateIn(int folderFd, std::string_view name, int flags, mode_t mode = 0644) noexcept;

// Creates a new empty file with an unpredictable name derived from NAME (".NAME.vyr-<random>") in
// the folder open as FOLDER_FD, exclusively and without following a link, open for reading and
// writing; TEMP_NAME receives its name. The caller renames it into place or removes it, and
// sweeps what killed callers left: unlike writeFile, this call removes nothing.
Fd createTempIn(int folderFd, std::string_view name, std::string& tempName,
                mode_t mode = 0644) noexcept;

// Creates the folder at PATH and any missing folder on the way (as mkdir -p). 0 when it exists
// afterwards as a folder; kNotFolder when something else is in the way.
int makeFolders(Area area, std::string_view path, mode_t mode = 0755) noexcept;

// Renames FROM to TO inside the same area, as rename(2) on the two folders' descriptors. With
// NO_REPLACE an existing TO is kept and the call fails with EEXIST.
int renameFile(Area area, std::string_view from, std::string_view to,
               bool noReplace = false) noexcept;

// Gives the file or link at FROM a second name TO, as link(2) without following a link; an existing
// TO is kept (EEXIST).
int linkFile(Area area, std::string_view from, std::string_view to) noexcept;

// Creates a symbolic link at PATH that points to TARGET (stored as given; a device path such as
// "/var/mobile" resolves inside the device for every reader of the door). An existing PATH is kept
// (EEXIST).
int makeLink(Area area, std::string_view path, std::string_view target) noexcept;

namespace testing {
// Whether whole-file writes are flushed to the disk before they are renamed into place (the
// default). The fuzz targets turn it off: a throw-away device in memory needs no flush, and a
// flush per write would set their pace.
void setFlushWrites(bool flush);
}  // namespace testing

}  // namespace sim
