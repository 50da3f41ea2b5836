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

#include <string_view>

#include "platform/foundation/facade.hpp"

namespace colour {

// One caller's view of a preferences file: the dictionary the file holds at the moment the view
// is made (nil when the file is missing, unreadable, or not a property list with a dictionary
// root), with a reference owned by the view until it goes out of scope. The dictionary is shared
// with other callers: read it, never change it.
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

  ~Preferences() { ns::Object(dictionary_).release(); }
  Preferences(const Preferences&) = delete;
  Preferences& operator=(const Preferences&) = delete;

  // The dictionary, or nil; valid while the view lives.
  ns::Dictionary dictionary() const { return ns::Dictionary(dictionary_); }
  explicit operator bool() const { return dictionary_ != nullptr; }

 private:
  explicit Preferences(objc::id owned) : dictionary_(owned) {}
  objc::id dictionary_;
};

// For benchmarks: with BYPASSED, every view reads and parses its file afresh, as a process without
// this cache would; false (the default) goes back to the cache, which drops nothing it kept. Any
// thread; takes effect for views made afterwards.
void setCacheBypassed(bool bypassed) noexcept;

}  // namespace colour
