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

#include "colour/colour_string.hpp"
#include "platform/system/libsystem.h"

namespace colour {

namespace {

// What the value under one key reads as; VALUE is held by the dictionary.
struct Lookup {
  objc::id value = nullptr;
  std::optional<bool> boolValue;
  std::optional<std::int32_t> intValue;
  bool isString = false;
  bool quiet = false;  // a string whose colour reading has no effect beyond the colour
};

// Asks DICTIONARY (may be nil) and the value under KEY, as a caller without this cache would.
Lookup lookUp(ns::Dictionary dictionary, objc::id key) {
  Lookup out;
  if (!dictionary) return out;
  const ns::Object value(dictionary.objectForKey(key));
  out.value = value.get();
  if (!value) return out;
  if (value.respondsToSelector(objc::sel<"boolValue">())) out.boolValue = value.boolValue();
  if (value.respondsToSelector(objc::sel<"intValue">())) out.intValue = value.intValue();
  out.isString = value.isKindOfClass(ns::String::cls());
  out.quiet = out.isString && readsQuietly(value.get());
  return out;
}

// One key remembered in a reading: EMPTY until a caller claims it (FILLING), then FILLED for the
// reading's life. KEY holds a reference; COLOUR, once made, too.
enum SlotState : int { kEmpty, kFilling, kFilled };
struct Slot {
  std::atomic<int> state{kEmpty};
  objc::id key = nullptr;
  Lookup lookup;
  std::atomic<objc::id> colour{nullptr};
};

// As many keys as one reading remembers (the library asks 25); further keys are looked up on every
// call.
constexpr std::size_t kSlots = 64;

// Keys remembered by identity must not change their text: the platform's own immutable strings.
bool rememberable(objc::id key) {
  static const Class immutableString = objc::getClass("NSString");
  return key != nullptr && object_getClass(key) == immutableString;
}

}  // namespace

// One read of a file: the dictionary (one owning reference; never nil here) and, by key identity
// in an open-addressed table that only grows, what each key asked so far reads as. Made by the
// thread that read the file, then shared: slots are claimed with a compare-and-swap and published
// with release, so readers never see half a slot.
struct Reading {
  explicit Reading(objc::id owned) : dictionary(owned) {}
  ~Reading() {
    for (Slot& s : slots) {
      if (s.state.load(std::memory_order_acquire) != kFilled) continue;
      ns::Object(s.key).release();
      ns::Object(s.colour.load(std::memory_order_acquire)).release();
    }
    ns::Object(dictionary).release();
  }
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;

  // KEY's slot, filled now if this is its first use; nil when KEY cannot be remembered or the
  // table is full.
  Slot* slotFor(objc::id key) {
    if (!rememberable(key)) return nullptr;
    const std::size_t home = (reinterpret_cast<std::uintptr_t>(key) >> 4) % kSlots;
    for (std::size_t i = 0; i < kSlots; ++i) {
      Slot& s = slots[(home + i) % kSlots];
      int state = s.state.load(std::memory_order_acquire);
      if (state == kEmpty &&
          s.state.compare_exchange_strong(state, kFilling, std::memory_order_acquire)) {
        // Slots are never emptied, so KEY is in none beyond this one: fill it. A slot that fails
        // to fill stays claimed and unused.
        const Lookup found = lookUp(ns::Dictionary(dictionary), key);
        ns::Object(key).retain();
        s.key = key;
        s.lookup = found;
        s.state.store(kFilled, std::memory_order_release);
        return &s;
      }
      if (state == kFilled && s.key == key) return &s;
      // Another key, or one being filled (perhaps this one: then it is remembered twice).
    }
    return nullptr;
  }

  std::atomic<long> references{1};
  objc::id dictionary;
  std::array<Slot, kSlots> slots;
};

ReadingRef::ReadingRef(const ReadingRef& other) noexcept : reading_(other.reading_) {
  if (reading_ != nullptr) reading_->references.fetch_add(1, std::memory_order_relaxed);
}

ReadingRef::~ReadingRef() {
  if (reading_ != nullptr && reading_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete reading_;
  }
}

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
  ReadingRef reading;  // the last read, null for no dictionary
  bool read = false;   // whether READING holds a read at all
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

// The file at PATH (an NSString) read and parsed now; null for no dictionary.
ReadingRef readNow(ns::String path) {
  auto owned = ns::Dictionary::allocInitWithContentsOfFile(path);
  if (!owned) return ReadingRef();
  // The allocation comes before the argument is evaluated: if it throws, the owner still holds the
  // reference and releases it.
  return ReadingRef(new Reading(owned.take().get()));
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

// ENTRY's reading as of now, for the caller; FORCE reads the file whatever the watch says.
ReadingRef take(Entry& entry, bool force = false) {
  ReadingRef replaced;
  ReadingRef result;
  {
    // Asking the watch, reading and taking a reference form one step: a caller that has drained a
    // change holds the lock until the new reading is in place, so nobody gets the old one after
    // it.
    std::lock_guard<std::mutex> guard(entry.lock);
    // The watch is asked before the read it vouches for, so a change during the read is
    // reported by the next call.
    const bool changed = entry.watch->changed();
    if (changed || !entry.read || force) {
      replaced = std::exchange(entry.reading, readNow(ns::String(entry.pathString)));
      entry.read = true;
    }
    result = entry.reading;
  }
  // Given up outside the lock; callers that still use it hold references of their own.
  replaced = ReadingRef();
  return result;
}

// The view of the file at DEVICE_PATH; FORCE reads it whatever the watch says.
ReadingRef viewOf(std::string_view devicePath, bool force) {
  // No file has a NUL in its path: as a fresh read would, this reads as nil.
  if (devicePath.find('\0') != std::string_view::npos) return ReadingRef();
  if (!gBypassed.load(std::memory_order_relaxed)) {
    Entry* entry = findPath(devicePath);
    if (entry == nullptr) entry = claim(devicePath, nullptr, nullptr);
    if (entry != nullptr) return take(*entry, force);
  }
  return readNow(ns::String::withUTF8(std::string(devicePath).c_str()));
}

}  // namespace

Preferences::Preferences(ReadingRef reading) noexcept : reading_(std::move(reading)) {}

Preferences::~Preferences() = default;

ns::Dictionary Preferences::dictionary() const {
  return ns::Dictionary(reading_ ? reading_->dictionary : nullptr);
}

Preferences::operator bool() const {
  return bool(reading_);
}

std::optional<bool> Preferences::boolFor(ns::String key) const {
  if (!reading_) return std::nullopt;
  if (const Slot* s = reading_->slotFor(key.get())) return s->lookup.boolValue;
  return lookUp(dictionary(), key.get()).boolValue;
}

std::optional<std::int32_t> Preferences::intFor(ns::String key) const {
  if (!reading_) return std::nullopt;
  if (const Slot* s = reading_->slotFor(key.get())) return s->lookup.intValue;
  return lookUp(dictionary(), key.get()).intValue;
}

objc::id Preferences::colourFor(objc::id key) const {
  if (!reading_) return nullptr;
  Slot* s = reading_->slotFor(key);
  const Lookup found = s != nullptr ? s->lookup : lookUp(dictionary(), key);
  if (!found.isString) return nullptr;
  if (s == nullptr || !found.quiet) return readColourString(found.value);
  objc::id colour = s->colour.load(std::memory_order_acquire);
  if (colour == nullptr) {
    // The same string read the same way gives the same colour: make it once, keep one reference.
    objc::id made = readColourString(found.value);
    ns::Object(made).retain();
    if (s->colour.compare_exchange_strong(colour, made, std::memory_order_acq_rel)) {
      colour = made;
    } else {
      ns::Object(made).release();
    }
  }
  ns::Object(colour).retain();
  ns::Object(colour).autorelease();
  return colour;
}

Preferences Preferences::atPath(std::string_view devicePath) noexcept {
  try {
    return Preferences(viewOf(devicePath, false));
  } catch (...) {
    return Preferences(ReadingRef());
  }
}

Preferences Preferences::afresh(std::string_view devicePath) noexcept {
  try {
    return Preferences(viewOf(devicePath, true));
  } catch (...) {
    return Preferences(ReadingRef());
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
    return Preferences(ReadingRef());
  }
}

void setCacheBypassed(bool bypassed) noexcept {
  gBypassed.store(bypassed, std::memory_order_relaxed);
}

}  // namespace colour
