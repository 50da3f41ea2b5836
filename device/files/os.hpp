// The system calls by which the door (device/files.hpp) acts on files, behind one table: a test
// replaces an entry to make that call fail as a full disk (ENOSPC), a read-only file system
// (EROFS) or a signal (EINTR) would, without root. Calls that only look (fstat, readdir) and
// close are made directly.
//
// The door calls the functions below, never the table: each tries its call again for as long as
// it is interrupted (EINTR), so an entry that fails with EINTR is called again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace sim::os {

struct Calls {
  int (*openat)(int folder, const char* path, int flags, mode_t mode);
  // openat2(2) with the fields of its struct open_how.
  int (*openat2)(int folder, const char* path, std::uint64_t flags, std::uint64_t mode,
                 std::uint64_t resolve);
  int (*open)(const char* path, int flags);  // only to reopen a descriptor in /proc/self/fd
  ssize_t (*pread)(int fd, void* buffer, std::size_t size, off_t offset);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fsync)(int fd);
  int (*fchmod)(int fd, mode_t mode);
  int (*flock)(int fd, int operation);
  int (*renameat2)(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
  int (*unlinkat)(int folder, const char* name, int flags);
  int (*mkdirat)(int folder, const char* name, mode_t mode);
  int (*linkat)(int fromFolder, const char* from, int toFolder, const char* to, int flags);
  int (*symlinkat)(const char* target, int folder, const char* name);
};

// The system's own calls.
const Calls& system() noexcept;

// The door's calls: the entry of the table in use, tried again while it fails with EINTR. Each
// returns what its system call returns, with errno set on failure.
int openat(int folder, const char* path, int flags, mode_t mode = 0);
int openat2(int folder, const char* path, std::uint64_t flags, std::uint64_t resolve);
int open(const char* path, int flags);
ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset);
ssize_t write(int fd, const void* data, std::size_t size);
int fsync(int fd);
int fchmod(int fd, mode_t mode);
int flock(int fd, int operation);
int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags = 0);
int unlinkat(int folder, const char* name, int flags);
int mkdirat(int folder, const char* name, mode_t mode);
int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags);
int symlinkat(const char* target, int folder, const char* name);

namespace testing {
// Makes the door call CALLS from now on, which must stay valid until replaced; null restores
// system(). An entry that wants the real call calls system()'s. Safe to call while other threads
// use the door (they see the old table or the new one).
void setCalls(const Calls* calls) noexcept;
}  // namespace testing

}  // namespace sim::os
