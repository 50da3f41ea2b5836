// Property-list files for the Foundation stand-in's dictionaries: the only code that talks to
// libplist. Not for use outside the stand-in: clients read and write through NSDictionary.
//
// libplist trusts its input: it recurses once per level of nesting without bound, and expands a
// binary list's shared references into separate copies. So a file is checked here before libplist
// sees it, and everything refused reads exactly like a missing file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/objc/runtime.hpp"

namespace foundation::plist {

// Files larger than this read as unreadable (EFBIG). A preferences file is about a kilobyte; this
// leaves room for any settings file a person could make, and bounds what one read may allocate.
inline constexpr std::size_t kMaxFileSize = 16u << 20;
// The error of a read whose bytes are not a property list with a dictionary root (or are refused
// by acceptable()), as opposed to an errno value for a file that could not be read at all.
inline constexpr int kNotPropertyList = -1;
// The error of an update refused because a value cannot be written back exactly: one in the file
// that libplist would not carry as the file has it, or the new key or value itself.
inline constexpr int kNotExact = -2;
// Deepest nesting of dictionaries and arrays accepted, the root counting as level 1.
inline constexpr unsigned kMaxDepth = 512;
// Most values (dictionary keys included) that a file may expand to, counting every reference of a
// binary list to a shared value as a copy of its own, which is what libplist builds.
inline constexpr std::uint64_t kMaxObjects = 100000;
// Most bytes of string and data contents that a file may expand to, counted the same way.
inline constexpr std::uint64_t kMaxExpandedBytes = 32u << 20;

// Whether BYTES, the whole content of a file, may be handed to libplist: a binary list
// ("bplist00") whose trailer, offset table, object references and object bounds are all valid,
// without reference cycles and within the limits above; or text that libplist would read as XML
// with dictionaries and arrays nested no deeper than kMaxDepth. An XML text may start with a UTF-8
// byte-order mark.
// EXACT (when not null) receives whether libplist would also read every value exactly as the file
// has it, so that writing its reading back changes nothing.
bool acceptable(std::string_view bytes, bool* exact = nullptr);

// Reads the property list at device path PATH into a new instance of CLS (NSDictionary,
// NSMutableDictionary or a subclass), owned by the caller. Nested dictionaries and arrays come
// out immutable; strings as NSString, Booleans, integers and reals as NSNumber (integers as
// signed 64-bit values), dates as NSDate, data as NSData. Nil when the file is missing or cannot be
// read through the device's door (ERROR, when not null, receives the errno: ENOENT, EFBIG for a
// file over kMaxFileSize, the door's refusal of a special file...), or when its bytes are refused
// by acceptable(), are not a property list, or its root is not a dictionary (ERROR receives
// kNotPropertyList). ERROR is 0 when a dictionary is returned.
objc::id readDictionary(std::string_view devicePath, Class cls, int* error = nullptr);

// Writes DICTIONARY as a binary property list to device path PATH, as a new file renamed over the
// old one (the door's whole-file write). False when the file cannot be written (ERROR, when not
// null, receives the errno; the old file is then untouched), or the dictionary holds something a
// property list cannot (an object of another class, a collection that contains itself, more than
// kMaxDepth levels or more than kMaxObjects values; ERROR receives kNotPropertyList). Strings
// holding bytes that are not UTF-8 are written with U+FFFD in their place.
bool writeDictionary(objc::id dictionary, std::string_view devicePath, int* error = nullptr);

// What updateDictionaryFile came to.
struct Update {
  int error = 0;         // 0, an errno value, kNotPropertyList or kNotExact
  bool reading = false;  // whether the error came from reading the file (else from writing it)
  std::string problem;   // for kNotExact: what cannot be kept exactly
};

// Sets KEY (an NSString) of the dictionary in the property-list file at device path PATH to VALUE
// (nil removes it) and writes the file back as a binary list (the door's whole-file write), with
// every other entry exactly as the file held it: libplist's own reading of the file is changed in
// that one entry and written out, not a copy through objects, so integers of the whole unsigned
// 64-bit range, UIDs, dates of any year, data and nested containers come back as they were. With
// FRESH, the file's content is ignored and a dictionary of that one entry is written.
//
// A file that cannot be read gives its errno (ENOENT when missing) with READING set; bytes that are
// not a property list with a dictionary root give kNotPropertyList; a file holding a value that
// libplist would not write back exactly (acceptable's EXACT), or a KEY or VALUE that a property
// list cannot hold exactly (a NUL in it), gives kNotExact with PROBLEM saying what. In all these
// cases and on a failed write, the file is left as it was.
Update updateDictionaryFile(std::string_view devicePath, objc::id key, objc::id value, bool fresh);

}  // namespace foundation::plist
