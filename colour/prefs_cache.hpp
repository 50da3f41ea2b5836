// Preferences files read by the hooks on every call, parsed once and kept until the file changes.
//
// The status-bar library consults its preferences file each time the host calls a hooked method,
// and the colour helpers read a domain's file each time a custom colour is asked for. Reading and
// parsing a kilobyte of property list costs tens of microseconds; the status bar calls the hooks
// far more often than the user changes a setting. So each file's dictionary is kept, immutable,
// with one reference held here, and read again only when the device's file watch
// (libsystem::FileWatch) reports that the file may have changed. The watch is asked in the
// calling thread, so what a caller gets is exactly what reading the file at that moment would
// give: every change completed before the call (written in place, replaced by rename, deleted,
// created, by this process or another) is seen by it, and a missing or unreadable file reads as
// nil, as a fresh read would.
//
// Up to four files are kept (the system reads one); any further file is read afresh on every
// call. Safe on any thread: asking the watch, reading again when needed and taking a reference
// to the dictionary happen under one lock per file, so no caller gets a dictionary older than
// the last change another caller has already seen; a dictionary replaced while others still use
// it lives on until they release it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/foundation/facade.hpp"

namespace colour {

// One read of a file: the dictionary and what callers have looked up in it (prefs_cache.cpp).
struct Reading;

// A counted reference to a Reading (an intrusive count: no standard-library type information
// leaks into the deliverables' exports).
class ReadingRef {
 public:
  ReadingRef() = default;
  explicit ReadingRef(Reading* adopted) noexcept : reading_(adopted) {}
  ReadingRef(const ReadingRef& other) noexcept;
  ReadingRef(ReadingRef&& other) noexcept : reading_(std::exchange(other.reading_, nullptr)) {}
  ReadingRef& operator=(ReadingRef other) noexcept {
    std::swap(reading_, other.reading_);
    return *this;
  }
  ~ReadingRef();

  Reading* operator->() const { return reading_; }
  explicit operator bool() const { return reading_ != nullptr; }

 private:
  Reading* reading_ = nullptr;
};

// One caller's view of a preferences file: the dictionary the file holds at the moment the view
// is made (nil when the file is missing, unreadable, or not a property list with a dictionary
// root), held by the view until it goes out of scope. The dictionary is shared with other
// callers: read it, never change it.
//
// What a key reads as is worked out once per read of the file and kept with it (boolFor, intFor,
// colourFor): the first caller asks the dictionary and the values as before, later callers with
// the same key object get the same answer without touching the parsed tree, whichever format the
// file was in. Keys are remembered by identity, retained so that their address cannot be reused;
// only immutable strings are remembered (any other key is looked up on every call).
class Preferences {
 public:
  // The file at device path PATH. Never throws: a failure reads as nil.
  static Preferences atPath(std::string_view devicePath) noexcept;
  // The file at device path PATH read from disk now, whatever the watch says; the cache keeps
  // this read. For a reader that was told the file changed and must not trust anything else.
  static Preferences afresh(std::string_view devicePath) noexcept;
  // The file of preferences domain DOMAIN (an NSString; anything else is formatted with %@):
  // /var/mobile/Library/Preferences/<DOMAIN>.plist. Never throws: a failure reads as nil.
  static Preferences ofDomain(objc::id domain) noexcept;

  ~Preferences();
  Preferences(const Preferences&) = delete;
  Preferences& operator=(const Preferences&) = delete;

  // The dictionary, or nil; valid while the view lives.
  ns::Dictionary dictionary() const;
  explicit operator bool() const;

  // The platform's boolValue / intValue of the value under KEY; nothing when there is no such
  // value or it has no such reading (an array, a dictionary, a date or data).
  std::optional<bool> boolFor(ns::String key) const;
  std::optional<std::int32_t> intFor(ns::String key) const;
  // The colour (autoreleased) of the string under KEY as readColourString reads it, or nil when
  // the value is missing or not a string. A string whose reading has no effect beyond its colour
  // (readsQuietly) is read once per read of the file and the same colour handed out again; any
  // other string is read on every call, with its random draws and log lines.
  objc::id colourFor(objc::id key) const;

 private:
  explicit Preferences(ReadingRef reading) noexcept;
  ReadingRef reading_;
};

// For benchmarks: with BYPASSED, every view reads and parses its file afresh, as a process without
// this cache would; false (the default) goes back to the cache, which drops nothing it kept. Any
// thread; takes effect for views made afterwards.
void setCacheBypassed(bool bypassed) noexcept;

}  // namespace colour
