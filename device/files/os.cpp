#include "device/files/os.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace sim::os {
namespace {

int systemOpenat2(int folder, const char* path, std::uint64_t flags, std::uint64_t mode,
                  std::uint64_t resolve) {
  open_how how{};
  how.flags = flags;
  how.mode = mode;
  how.resolve = resolve;
  return static_cast<int>(::syscall(SYS_openat2, folder, path, &how, sizeof how));
}

int systemRenameat2(int fromFolder, const char* from, int toFolder, const char* to,
                    unsigned flags) {
  return static_cast<int>(::syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags));
}

int systemOpen(const char* path, int flags) {
  return ::open(path, flags);
}

int systemOpenat(int folder, const char* path, int flags, mode_t mode) {
  return ::openat(folder, path, flags, mode);
}

const Calls kSystem{systemOpenat, systemOpenat2, systemOpen, ::pread,         ::write,
                    ::fsync,      ::fchmod,      ::flock,    systemRenameat2, ::unlinkat,
                    ::mkdirat,    ::linkat,      ::symlinkat};

std::atomic<const Calls*> gCalls{&kSystem};

const Calls& calls() {
  return *gCalls.load(std::memory_order_acquire);
}

// Calls CALL again for as long as it fails with EINTR.
template <typename Call>
auto uninterrupted(Call call) {
  for (;;) {
    const auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

}  // namespace

const Calls& system() noexcept {
  return kSystem;
}

int openat(int folder, const char* path, int flags, mode_t mode) {
  return uninterrupted([&] { return calls().openat(folder, path, flags, mode); });
}

int openat2(int folder, const char* path, std::uint64_t flags, std::uint64_t resolve) {
  for (int attempt = 0;; ++attempt) {
    const int fd = uninterrupted([&] { return calls().openat2(folder, path, flags, 0, resolve); });
    // EAGAIN: a rename elsewhere raced with the walk; the kernel asks to try again.
    if (fd < 0 && errno == EAGAIN && attempt < 8) continue;
    return fd;
  }
}

int open(const char* path, int flags) {
  return uninterrupted([&] { return calls().open(path, flags); });
}

ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset) {
  return uninterrupted([&] { return calls().pread(fd, buffer, size, offset); });
}

ssize_t write(int fd, const void* data, std::size_t size) {
  return uninterrupted([&] { return calls().write(fd, data, size); });
}

int fsync(int fd) {
  return uninterrupted([&] { return calls().fsync(fd); });
}

int fchmod(int fd, mode_t mode) {
  return uninterrupted([&] { return calls().fchmod(fd, mode); });
}

int flock(int fd, int operation) {
  return uninterrupted([&] { return calls().flock(fd, operation); });
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  return uninterrupted([&] { return calls().renameat2(fromFolder, from, toFolder, to, flags); });
}

int unlinkat(int folder, const char* name, int flags) {
  return uninterrupted([&] { return calls().unlinkat(folder, name, flags); });
}

int mkdirat(int folder, const char* name, mode_t mode) {
  return uninterrupted([&] { return calls().mkdirat(folder, name, mode); });
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  return uninterrupted([&] { return calls().linkat(fromFolder, from, toFolder, to, flags); });
}

int symlinkat(const char* target, int folder, const char* name) {
  return uninterrupted([&] { return calls().symlinkat(target, folder, name); });
}

namespace testing {
void setCalls(const Calls* replacement) noexcept {
  gCalls.store(replacement != nullptr ? replacement : &kSystem, std::memory_order_release);
}
}  // namespace testing

}  // namespace sim::os
