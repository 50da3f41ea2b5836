// The property-list reader's parts, one source file per format as libplist lays out its own:
// plist_xml.cpp guards libplist's XML reader, plist_binary.cpp its binary reader, and
// plist_objects.cpp turns libplist's nodes into the stand-in's objects and back. plist_io.cpp puts
// them together behind plist_io.hpp. Internal to the reader.
//
// The guards mirror how libplist 2.2.x tokenises and expands its input (the version the build
// finds through pkg-config, pinned by a test): a libplist that reads differently needs them
// looked at again.
#pragma once

#include <plist/plist.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "platform/objc/runtime.hpp"

namespace foundation::plist {

// Whether libplist's XML reader may be given TEXT (a byte-order mark already taken off): text it
// would read with dictionaries and arrays nested no deeper than kMaxDepth. Anything it would
// reject is refused here already. EXACT (when not null) receives whether libplist reads every
// value as the text has it (an integer's text that is no decimal number within 64 bits is not).
bool xmlAcceptable(std::string_view text, bool* exact = nullptr);

// Whether libplist's binary reader may be given BYTES ("bplist00..."): a valid trailer, offset
// table, object references and object bounds, no reference cycles, and within kMaxDepth,
// kMaxObjects and kMaxExpandedBytes once shared references are expanded as libplist expands them.
// EXACT (when not null) receives whether libplist carries every value exactly, so that writing its
// nodes back gives the same values: it cuts strings and keys at a NUL (an ASCII NUL byte, or a
// UTF-16 unit 0 that it writes back as an ASCII NUL), keeps only the low 64 bits of a 16-byte
// integer, and reads a set as an array.
bool binaryAcceptable(std::string_view bytes, bool* exact = nullptr);

// The node of VALUE (a string, number, date, data, array or dictionary of them); null, with
// PROBLEM saying why, when a property list cannot hold it exactly: a string or key holding a NUL,
// an object of another class, a collection that contains itself, more than kMaxDepth levels or
// kMaxObjects values.
plist_t nodeFromObject(objc::id value, std::string* problem);

// libplist's nodes, freed with the node that owns them.
struct FreeNode {
  void operator()(void* node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, FreeNode>;

// A new instance of CLS (owned by the caller) holding dictionary ROOT's entries, nested
// dictionaries and arrays immutable; nil when ROOT is not a dictionary or holds a value that has
// no object (or nests deeper than kMaxDepth).
objc::id dictionaryFromNode(plist_t root, Class cls);

// The node tree of DICTIONARY; null (after a log line) when it holds something a property list
// cannot hold or exceeds kMaxDepth or kMaxObjects.
Node nodeFromDictionary(objc::id dictionary);

}  // namespace foundation::plist
