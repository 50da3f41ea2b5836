#include "device/library.hpp"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <vector>

#include "device/confine.hpp"
#include "device/files/door.hpp"

namespace sim {
namespace {

// Libraries loaded through the door: the address range of each image and its device path.
struct LoadedLibrary {
  const void* base = nullptr;
  std::string path;
};
std::mutex gLibrariesLock;
std::vector<LoadedLibrary>* gLibraries = nullptr;  // never freed: read during exit

// The machine path of the device file open as FD, checked to name that very file beneath the
// device's root; empty when it does not (the file was moved, removed or is out of the device).
std::string realPathOf(int fd) {
  const auto pathOf = [](int f) -> std::string {
    char buf[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(f);
    const ssize_t n = ::readlink(self.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    return std::string(buf, static_cast<std::size_t>(n));
  };
  Fd root = rootDescriptor();
  if (!root) return {};
  const std::string rootPath = pathOf(root.get());
  const std::string path = pathOf(fd);
  if (rootPath.empty() || path.empty() || path.front() != '/') return {};
  const std::string beneath = rootPath == "/" ? rootPath : rootPath + "/";
  if (path.compare(0, beneath.size(), beneath) != 0) return {};
  struct stat opened {
  }, named{};
  if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
      opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    return {};
  }
  return path;
}

}  // namespace

void* loadLibrary(std::string_view path, int flags, std::string* error) noexcept {
  if (error != nullptr) error->clear();
  return door::guarded([&]() -> void* {
    const auto fail = [&](const std::string& why) -> void* {
      if (error != nullptr) *error = std::string(path) + " " + why;
      return nullptr;
    };
    Fd file = openFile(Area::Device, path);
    if (!file) return fail(describe(file.error()));
    // The loader is given a real file name, never /proc/self/fd/N: debuggers, symbolizers and
    // profilers open every loaded image by its name in their own process.
    std::string name;
    if (confinement() == Confinement::Kernel) {
      name = realPathOf(file.get());
      if (name.empty()) return fail("cannot be named as a file of the device");
      // Between this check and dlopen the name could be made to lead elsewhere; but the kernel
      // confines this process, so anything it would then map is something the process may read
      // anyway, and whatever runs from it stays confined all the same.
    } else {
      // Not confined: only the build's own code runs, and it is mapped from the build's own
      // copy, which the device cannot swap.
      name = buildCopyOf(path);
      if (name.empty() || !identicalTo(file.get(), name)) {
        return fail("refused: not VYR's own build, and the kernel does not confine this process (" +
                    whyNotConfined() + ")");
      }
    }
    void* handle = ::dlopen(name.c_str(), flags);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      if (error != nullptr)
        *error = std::string(path) + ": " + (why != nullptr ? why : "cannot load");
      return nullptr;
    }
    link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
      const auto* base = reinterpret_cast<const void*>(map->l_addr);
      std::lock_guard<std::mutex> guard(gLibrariesLock);
      if (gLibraries == nullptr) gLibraries = new std::vector<LoadedLibrary>();
      const bool known = std::any_of(gLibraries->begin(), gLibraries->end(),
                                     [&](const LoadedLibrary& l) { return l.base == base; });
      if (!known) gLibraries->push_back(LoadedLibrary{base, std::string(path)});
    }
    return handle;
  });
}

std::optional<std::string> libraryPath(const void* address) noexcept {
  return door::guarded([&]() -> std::optional<std::string> {
    Dl_info info{};
    if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
      return std::nullopt;
    }
    std::lock_guard<std::mutex> guard(gLibrariesLock);
    if (gLibraries == nullptr) return std::nullopt;
    for (const LoadedLibrary& l : *gLibraries) {
      if (l.base == info.dli_fbase) return l.path;
    }
    return std::nullopt;
  });
}

}  // namespace sim
