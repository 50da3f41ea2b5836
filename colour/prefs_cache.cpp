// The preferences cache: per file, the last dictionary read and the watch that says when to read
// again.
#include "colour/prefs_cache.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/system/libsystem.h"

namespace colour {
namespace {

constexpr std::size_t kFiles = 4;

struct Entry {
  // Set while the entry is claimed, before it is published; constant afterwards.
  std::string path;
  objc::id pathString = nullptr;  // the same path as an NSString, retained
  // The domain whose file this is (a copy, retained), set at most once, for callers that name
  // the file by its domain.
  std::atomic<objc::id> domain{nullptr};

  // Under LOCK.
  std::mutex lock;
  std::optional<libsystem::FileWatch> watch;
  objc::id dictionary = nullptr;  // the one owning reference to the last read, nil for none
  bool read = false;              // whether DICTIONARY holds a read at all
};

struct Cache {
  std::mutex claiming;                    // serialises claims; lookups take no lock
  std::atomic<std::size_t> published{0};  // entries [0, published) are in use
  std::array<Entry, kFiles> entries;
};

// Never destroyed: the host may call hooks while the process exits.
Cache& cache() {
  static Cache* const made = new Cache();
  return *made;
}

std::atomic<bool> gBypassed{false};

// The file at PATH (an NSString) read and parsed now: an owned dictionary, or nil.
objc::id readNow(ns::String path) {
  return ns::Dictionary::allocInitWithContentsOfFile(path).take().get();
}

Entry* findPath(std::string_view path) {
  Cache& c = cache();
  const std::size_t n = c.published.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < n; ++i) {
    if (c.entries[i].path == path) return &c.entries[i];
  }
  return nullptr;
}

// The entry for PATH, claimed now if no entry has it yet; PATH_STRING (may be nil) is PATH as an
// NSString, DOMAIN (may be nil) the string domain that named it. Nil when every entry is taken or
// memory ran out: the caller then reads the file itself.
Entry* claim(std::string_view path, objc::id pathString, objc::id domain) noexcept try {
  Cache& c = cache();
  std::lock_guard<std::mutex> guard(c.claiming);
  const std::size_t n = c.published.load(std::memory_order_relaxed);
  Entry* entry = nullptr;
  for (std::size_t i = 0; i < n && entry == nullptr; ++i) {
    if (c.entries[i].path == path) entry = &c.entries[i];
  }
  if (entry == nullptr) {
    if (n == kFiles) return nullptr;
    entry = &c.entries[n];
    entry->path.assign(path);
    entry->watch.emplace(path);
    const ns::String made =
        pathString != nullptr ? ns::String(pathString) : ns::String::withUTF8(entry->path.c_str());
    if (!made) return nullptr;
    made.retain();
    entry->pathString = made.get();
    c.published.store(n + 1, std::memory_order_release);
  }
  if (domain != nullptr && entry->domain.load(std::memory_order_relaxed) == nullptr) {
    // A copy, so that a mutable string changed later by its owner cannot stand for this file.
    entry->domain.store(objc::send<"copy">(domain), std::memory_order_release);
  }
  return entry;
} catch (...) {
  return nullptr;
}

// A reference to ENTRY's dictionary as of now, for the caller; FORCE reads the file whatever the
// watch says.
objc::id take(Entry& entry, bool force = false) {
  objc::id replaced = nullptr;
  objc::id result = nullptr;
  {
    // Asking the watch, reading and retaining form one step: a caller that has drained a change
    // holds the lock until the new dictionary is in place, so nobody gets the old one after it.
    std::lock_guard<std::mutex> guard(entry.lock);
    // The watch is asked before the read it vouches for, so a change during the read is
    // reported by the next call.
    const bool changed = entry.watch->changed();
    if (changed || !entry.read || force) {
      objc::id fresh = readNow(ns::String(entry.pathString));
      replaced = std::exchange(entry.dictionary, fresh);
      entry.read = true;
    }
    result = entry.dictionary;
    ns::Object(result).retain();
  }
  // Given up outside the lock; callers that still use it hold references of their own.
  ns::Object(replaced).release();
  return result;
}

// The view of the file at DEVICE_PATH; FORCE reads it whatever the watch says.
objc::id viewOf(std::string_view devicePath, bool force) {
  // No file has a NUL in its path: as a fresh read would, this reads as nil.
  if (devicePath.find('\0') != std::string_view::npos) return nullptr;
  if (!gBypassed.load(std::memory_order_relaxed)) {
    Entry* entry = findPath(devicePath);
    if (entry == nullptr) entry = claim(devicePath, nullptr, nullptr);
    if (entry != nullptr) return take(*entry, force);
  }
  return readNow(ns::String::withUTF8(std::string(devicePath).c_str()));
}

}  // namespace

Preferences Preferences::atPath(std::string_view devicePath) noexcept {
  try {
    return Preferences(viewOf(devicePath, false));
  } catch (...) {
    return Preferences(nullptr);
  }
}

Preferences Preferences::afresh(std::string_view devicePath) noexcept {
  try {
    return Preferences(viewOf(devicePath, true));
  } catch (...) {
    return Preferences(nullptr);
  }
}

Preferences Preferences::ofDomain(objc::id domain) noexcept {
  try {
    const bool bypassed = gBypassed.load(std::memory_order_relaxed);
    Cache& c = cache();
    const std::size_t n = bypassed ? 0 : c.published.load(std::memory_order_acquire);
    // The same object as a known domain: held here, so its address cannot have been reused.
    // (The system passes one literal every time: this is its path, with no message sent.)
    for (std::size_t i = 0; i < n && domain != nullptr; ++i) {
      if (c.entries[i].domain.load(std::memory_order_acquire) == domain) {
        return Preferences(take(c.entries[i]));
      }
    }
    const ns::String name(domain);
    const bool isString = name.isKindOfClass(ns::String::cls());
    if (isString) {
      // Then the same text.
      for (std::size_t i = 0; i < n; ++i) {
        const ns::String known(c.entries[i].domain.load(std::memory_order_acquire));
        if (known && known.isEqualToString(name)) return Preferences(take(c.entries[i]));
      }
    }
    const ns::String path = ns::String::withFormat(
        ns::String::literal<"/var/mobile/Library/Preferences/%@.plist">(), domain);
    if (!bypassed) {
      // The watch takes the path's bytes; a path whose UTF-8 form a NUL cuts short is read as is.
      const char* bytes = path.UTF8String();
      if (bytes != nullptr && ns::String::withUTF8(bytes).isEqualToString(path)) {
        Entry* entry = findPath(bytes);
        if (entry == nullptr || (isString && entry->domain.load() == nullptr)) {
          entry = claim(bytes, path.get(), isString ? domain : nullptr);
        }
        if (entry != nullptr) return Preferences(take(*entry));
      }
    }
    return Preferences(readNow(path));
  } catch (...) {
    return Preferences(nullptr);
  }
}

void setCacheBypassed(bool bypassed) noexcept {
  gBypassed.store(bypassed, std::memory_order_relaxed);
}

}  // namespace colour
