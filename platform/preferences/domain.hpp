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

// Stores VALUE under KEY in DOMAIN (nil removes the key), keeping every other key: the whole
// dictionary is read, changed and written to a new file that then replaces the old one, so a
// reader sees either the old dictionary or the new one. Writers are serialised, across the
// threads of this process and across the processes of the device. A file that exists but cannot
// be read as a dictionary is kept beside it as DOMAIN.plist.unreadable before a fresh dictionary
// is written. Returns false, changing nothing, when DOMAIN is not a plain name or the file
// cannot be written. Thread-safe.
bool writeDomainValue(std::string_view domain, ns::String key, objc::id value);

}  // namespace preferences
