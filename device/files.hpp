// The one door to the device's files: every open, read, write, rename, removal, folder walk and
// library load of the simulator, the stand-in frameworks and the `vyr` command goes through here.
//
// The device folder is untrusted: whoever can write to it may plant symbolic links, FIFOs or
// device nodes, or swap a folder for a link while we work. So nothing here resolves a path to a
// machine path string and uses it again. Every operation starts from an open descriptor of the
// device's root and walks beneath it with openat2(RESOLVE_IN_ROOT), which treats that descriptor
// as "/" for the whole walk: an absolute link inside the device resolves inside the device, as it
// does on the device (/User -> /var/mobile), ".." stops at the root, and a link that would leave
// the device lands inside it instead (and so usually reads as missing). Creation, renaming and
// removal then act on the descriptor of the containing folder, by name, without following a link
// at the last step. What is opened is checked on the descriptor: a regular file where a file is
// meant, a folder where a folder is meant; anything else is refused before it is read or waited
// on.
//
// Two areas share the device folder:
//  - Area::Device, the device's own file system, named by absolute device paths
//    ("/var/mobile/Library/Preferences/com.belvorin.VYR.plist"). The simulator's own folder is not
//    part of it: a device path that reaches it, directly or through a link, is refused
//    (kSimulatorState).
//  - Area::Simulator, the simulator's state in the folder ".sim" of the device folder (process
//    table, notifications, locks, device.conf), named by paths relative to it ("proc/123").
//    No symbolic link is followed there at all, and nothing leaves it.
//
// Errors are errno values (0 for success); kNotRegularFile and kNotFolder name the refusal of a
// special file. describe() turns one into words. Every function is safe on any thread and never
// throws (out of memory reads as ENOMEM).
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// An owned file descriptor, or the errno of the failure that produced none.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  static Fd failure(int error) noexcept {
    Fd f;
    f.error_ = error;
    return f;
  }
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.fd_), error_(other.error_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // The errno of the failure; 0 while a descriptor is held.
  int error() const noexcept { return fd_ >= 0 ? 0 : error_; }
  // Gives up ownership.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
  int error_ = EBADF;
};

enum class Area { Device, Simulator };

// Something other than a regular file (a FIFO, socket or device node) where a file is meant.
inline constexpr int kNotRegularFile = EMEDIUMTYPE;
// A device path that reaches the simulator's own folder.
inline constexpr int kSimulatorState = EPERM;
// Something other than a folder where a folder is meant.
inline constexpr int kNotFolder = ENOTDIR;
// A file with more than one name where a file of one name is meant (a hard link planted there
// may be a file outside the device).
inline constexpr int kHardLinked = EMLINK;

// The words for ERROR, as "is not a regular file (a FIFO, socket or device)" or strerror's.
std::string describe(int error);

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

// Replaces the file at PATH with DATA so that readers see the old file or the new one, never a
// part: a new file with an unpredictable name is created exclusively (no link followed) in the
// folder, written, flushed and renamed over PATH inside that same folder. A link at PATH itself is
// replaced, not followed. Temporary files that an earlier writer left behind when it was killed
// are removed on the way. Returns 0, or the errno of the step that failed (the old file is then
// untouched). MODE gives the new file's permissions.
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
// writing; TEMP_NAME receives its name. The caller renames it into place or removes it.
// Temporary files that killed writers left in the folder are removed first, as by writeFile.
Fd createTempIn(int folderFd, std::string_view name, std::string& tempName,
                mode_t mode = 0644) noexcept;

// Creates the folder at PATH and any missing folder on the way (as mkdir -p). 0 when it exists
// afterwards as a folder; kNotFolder when something else is in the way.
int makeFolders(Area area, std::string_view path, mode_t mode = 0755) noexcept;

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

// The names in the folder at PATH ("." and ".." left out), unsorted; nothing when it cannot be
// read. ERROR (when not null) receives why.
std::optional<std::vector<std::string>> listFolder(Area area, std::string_view path,
                                                   int* error = nullptr) noexcept;

// The same for the folder open as FOLDER_FD (its own position is left untouched).
std::optional<std::vector<std::string>> listFolderAt(int folderFd, int* error = nullptr) noexcept;

// Whether something exists at device path PATH (links followed inside the area).
bool exists(Area area, std::string_view path) noexcept;

// Loads the library at device path PATH with dlopen(FLAGS), after checking on the descriptor that
// it is a regular file of the device. Returns the handle, or null with ERROR set to words.
void* loadLibrary(std::string_view path, int flags, std::string* error) noexcept;

// The device path of the library loaded by loadLibrary that contains ADDRESS; nothing for an
// address in any other image.
std::optional<std::string> libraryPath(const void* address) noexcept;

// The device's root as an O_PATH descriptor, as attached (a duplicate: the caller owns it); ENODEV
// when no device is attached or its folder cannot be opened. Every operation above fails with
// that error then.
Fd rootDescriptor() noexcept;

namespace testing {
// Called by the door after it has opened the containing folder of a creation, rename or removal
// and before it acts on it: tests swap folders there to prove that nothing resolved earlier is
// used again. Null (the default) calls nothing. Not thread-safe: set it while no other thread
// uses the door.
void setAfterFolderOpened(void (*hook)(std::string_view path));
// Whether whole-file writes are flushed to the disk before they are renamed into place (the
// default). The fuzz targets turn it off: a throw-away device in memory needs no flush, and a
// flush per write would set their pace.
void setFlushWrites(bool flush);
}  // namespace testing

}  // namespace sim
