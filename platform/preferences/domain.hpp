// Preferences domains as the framework's cells store them: one property-list file per domain,
// /var/mobile/Library/Preferences/DOMAIN.plist, holding a dictionary.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/facade.hpp"

namespace preferences {

// The device path of DOMAIN's file, or nothing when DOMAIN is not a plain name (empty, longer
// than 255 bytes, starting with ".", or holding anything but letters, digits, ".", "-", "_").
std::optional<std::string> domainFilePath(std::string_view domain);

// The value under KEY in DOMAIN, retained and autoreleased; nil when the domain's file is missing
// or unreadable or has no such key.
objc::id readDomainValue(std::string_view domain, ns::String key);

// The writers' lock of DOMAIN's settings file, held by every writer of it in every process of the
// device (the pane's writes, `vyr import`), for as long as the object lives.
//
// Its file, <simulator folder>/locks/DOMAIN.lock, is made and opened through the device's door and
// checked on its descriptors: the folder must be a folder of this process's user with no access
// for anyone else (0700), the file a regular file of one name, of this user, readable by nobody
// else (0600); wider modes of our own folder or file are narrowed. Since flock works on any open
// descriptor, a file that another user could open, even only for reading, would let that user
// hold every writer off. Anything else in the way (a plain file planted at "locks", a link, a
// folder or file of another user) is refused, never worked around: the lock is not silently off.
//
// The wait is bounded: a writer that cannot take the lock within kWait gives up, and problem()
// names the process that holds it (as the kernel's lock table shows it) or says "another
// process". Thread-safe: the threads of one process take it one after another. A thread that
// already holds the lock of DOMAIN takes it again at once (the inner one lets go of nothing).
class WritersLock {
 public:
  static constexpr int kWaitSeconds = 3;
  explicit WritersLock(std::string_view domain);
  ~WritersLock();
  WritersLock(const WritersLock&) = delete;
  WritersLock& operator=(const WritersLock&) = delete;

  explicit operator bool() const { return error_ == 0; }
  // On failure: an errno value (EWOULDBLOCK when the wait ran out) and one line saying why.
  int error() const { return error_; }
  const std::string& problem() const { return problem_; }

 private:
  void take(std::string_view domain);
  void fail(int error, std::string problem);
  bool threadLocked_ = false;
  bool nested_ = false;  // taken inside this thread's own hold of the lock
  int error_ = 0;
  std::string problem_;
  int fd_ = -1;  // closing drops the flock
};

// What a write of a domain value came to.
struct WriteResult {
  int error = 0;         // 0, an errno value, or foundation::plist::kNotPropertyList
  std::string problem;   // on failure: one line that says what failed, naming the file
  std::string setAside;  // device path where an unreadable file was kept, when one was
  explicit operator bool() const { return error == 0; }
};

// Stores VALUE under KEY in DOMAIN (nil removes the key), keeping every other key: the whole
// dictionary is read, changed and written to a new file that then replaces the old one, so a
// reader sees either the old dictionary or the new one. Writers are serialised, across the
// threads of this process and across the processes of the device, by the WritersLock: when it
// cannot be taken, nothing is written and the result says why.
//
// A file whose bytes are not a property list with a dictionary root is kept under a new name
// beside it, DOMAIN.plist.unreadable-<UTC time>[-N] (never replacing an earlier one), and a fresh
// dictionary is written; the result names the kept copy. A file that cannot be read at all (a
// folder on the way missing or not a folder, a special file, no descriptors left, too large) is
// an error, as is a failed write (a full disk, a read-only file system): the file on disk is then
// left exactly as it was. Thread-safe.
WriteResult writeDomainValue(std::string_view domain, ns::String key, objc::id value);

// The device path of the newest copy of an unreadable file of DOMAIN that writeDomainValue kept,
// or nothing when none was kept (or DOMAIN is not a plain name).
std::optional<std::string> newestUnreadableCopy(std::string_view domain);

// The result of the last writeDomainValue of this thread since forgetLastDomainWrite, for the
// Settings app, which hears of a cell's change only through the cell; nothing when none ran.
std::optional<WriteResult> lastDomainWrite();
void forgetLastDomainWrite();

}  // namespace preferences
