// libplist's nodes to the stand-in's objects and back.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/internal.hpp"
#include "platform/foundation/plist_formats.hpp"
#include "platform/foundation/plist_io.hpp"

namespace foundation::plist {
namespace {

// ---------------------------------------------------------------------------------------------
// From libplist's nodes to objects and back.
// ---------------------------------------------------------------------------------------------
struct FreeIterator {
  void operator()(void* iter) const { std::free(iter); }
};

id toObject(plist_t node, unsigned depth);

std::string bigEndian(std::uint64_t v) {
  std::string out(8, '\0');
  for (int k = 7; k >= 0; --k, v >>= 8)
    out[static_cast<std::size_t>(k)] = static_cast<char>(v & 0xFF);
  return out;
}

// The node of the one binary object OBJECT (marker and content): the way to values that libplist's
// constructors cannot make (a date outside 32-bit seconds, an unsigned 16-byte integer), since
// its binary reader keeps them exactly.
plist_t singleObjectNode(const std::string& object) {
  std::string list = "bplist00" + object;
  list += '\x08';  // the offset table: the object starts right after the header
  std::string trailer(32, '\0');
  trailer[6] = 1;   // offset size
  trailer[7] = 1;   // reference size
  trailer[15] = 1;  // one object, the root
  trailer[31] = static_cast<char>(list.size() - 1);
  list += trailer;
  plist_t node = nullptr;
  plist_from_bin(list.data(), static_cast<std::uint32_t>(list.size()), &node);
  return node;
}

// The first object of the binary list of a copy of NODE: its marker and content. libplist's API
// rounds some values its nodes keep exactly; its binary writer gives them as they are.
std::string binaryObjectOf(plist_t node) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  Node copy(plist_copy(node));
  plist_to_bin(copy.get(), &raw, &length);
  std::string object;
  // The header, then the object; the offset table and the 32-byte trailer follow.
  if (raw != nullptr && length > 8 + 32) object.assign(raw + 8, length - 8 - 32);
  if (raw != nullptr) plist_to_bin_free(raw);
  return object;
}

// The moment of the date NODE in seconds since 2001, exactly as the file had it:
// plist_get_date_val would clamp it to 32-bit seconds and whole microseconds.
double dateSeconds(plist_t node) {
  const std::string object = binaryObjectOf(node);
  double seconds = 0;
  if (object.size() >= 9 && static_cast<unsigned char>(object[0]) == 0x33) {
    std::uint64_t bits = 0;
    for (int k = 1; k <= 8; ++k)
      bits = (bits << 8) | static_cast<unsigned char>(object[static_cast<std::size_t>(k)]);
    std::memcpy(&seconds, &bits, sizeof seconds);
  }
  return seconds;
}

// Whether the integer NODE is one the file spelt unsigned (16 bytes in binary, or too large for
// a signed value in XML), which libplist's API does not say: its binary writer does.
bool isUnsignedNode(plist_t node) {
  const std::string object = binaryObjectOf(node);
  return !object.empty() && static_cast<unsigned char>(object[0]) == 0x14;
}

// Fills DATA from the dictionary NODE; false when a value cannot be converted.
bool convertEntries(plist_t node, unsigned depth, DictionaryData& data) {
  plist_dict_iter raw = nullptr;
  plist_dict_new_iter(node, &raw);
  std::unique_ptr<void, FreeIterator> iter(raw);
  if (!iter) return false;
  for (;;) {
    char* rawKey = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iter.get(), &rawKey, &value);
    std::unique_ptr<char, FreeIterator> key(rawKey);
    if (value == nullptr) return true;
    if (!key) return false;
    Owned keyString(newString(key.get()));
    Owned object(toObject(value, depth + 1));
    if (object.get() == nullptr) return false;
    data.set(keyString.get(), object.get());
  }
}

id toObject(plist_t node, unsigned depth) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t v = 0;
      plist_get_bool_val(node, &v);
      NumberData n;
      n.kind = NumberData::Kind::Bool;
      n.i = v != 0 ? 1 : 0;
      return newNumber(n);
    }
    case PLIST_UINT: {
      std::uint64_t v = 0;
      plist_get_uint_val(node, &v);
      NumberData n;
      if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
          isUnsignedNode(node)) {
        n.kind = NumberData::Kind::Unsigned;
        n.u = v;
      } else {
        n.kind = NumberData::Kind::Signed;
        n.i = static_cast<std::int64_t>(v);  // libplist hands negative values over as their bits
      }
      return newNumber(n);
    }
    case PLIST_UID: {
      std::uint64_t v = 0;
      plist_get_uid_val(node, &v);
      NumberData n;
      n.kind = NumberData::Kind::Unsigned;
      n.u = v;
      return newNumber(n);
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      NumberData n;
      n.kind = NumberData::Kind::Real;
      n.d = v;
      return newNumber(n);
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return newString(text != nullptr ? std::string_view(text, static_cast<std::size_t>(length))
                                       : std::string_view());
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      return newData(bytes != nullptr ? std::string_view(bytes, static_cast<std::size_t>(length))
                                      : std::string_view());
    }
    case PLIST_DATE:
      return newDate(dateSeconds(node));
    case PLIST_ARRAY: {
      if (depth > kMaxDepth) return nullptr;
      plist_array_iter raw = nullptr;
      plist_array_new_iter(node, &raw);
      std::unique_ptr<void, FreeIterator> iter(raw);
      if (!iter) return nullptr;
      std::vector<Owned> items;
      for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(node, iter.get(), &item);
        if (item == nullptr) break;
        items.emplace_back(toObject(item, depth + 1));
        if (items.back().get() == nullptr) return nullptr;
      }
      std::vector<id> refs;
      refs.reserve(items.size());
      for (Owned& item : items) refs.push_back(item.take());
      return newArray(std::move(refs));
    }
    case PLIST_DICT: {
      if (depth > kMaxDepth) return nullptr;
      DictionaryData data;
      if (!convertEntries(node, depth, data)) return nullptr;
      return newDictionary(dictionaryClass(), std::move(data));
    }
    default:
      return nullptr;
  }
}

// Writing: the objects a property list can hold, within the same limits as reading.
struct WriteBudget {
  std::uint64_t objects = 0;
  std::string* problem = nullptr;  // receives why a value was refused, when not null

  // Logs and keeps WHY; null, for the caller to return.
  plist_t refuse(const std::string& why) {
    logLine("*** -[NSDictionary writeToFile:atomically:]: %s", why.c_str());
    if (problem != nullptr && problem->empty()) *problem = why;
    return nullptr;
  }
};

plist_t toNode(id obj, unsigned depth, WriteBudget& budget);

plist_t containerNode(id obj, unsigned depth, WriteBudget& budget) {
  if (depth > kMaxDepth) {
    return budget.refuse("nested deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  if (const std::vector<id>* items = arrayItems(obj)) {
    Node array(plist_new_array());
    for (id item : *items) {
      plist_t child = toNode(item, depth + 1, budget);
      if (child == nullptr) return nullptr;
      plist_array_append_item(array.get(), child);
    }
    return array.release();
  }
  const DictionaryData* d = dictionaryEntries(obj);
  Node dict(plist_new_dict());
  for (const auto& [key, entry] : d->entries) {
    ++budget.objects;
    // libplist's keys end at a NUL: such a key would land on another one.
    if (key.find('\0') != std::string::npos) return budget.refuse("a key holds a NUL");
    plist_t child = toNode(entry.value, depth + 1, budget);
    if (child == nullptr) return nullptr;
    plist_dict_set_item(dict.get(), validUTF8(key).c_str(), child);
  }
  return dict.release();
}

plist_t toNode(id obj, unsigned depth, WriteBudget& budget) {
  if (++budget.objects > kMaxObjects) {
    return budget.refuse("more than " + std::to_string(kMaxObjects) + " values");
  }
  if (isString(obj)) {
    const std::string text = validUTF8(stringBytes(obj));
    // libplist's strings end at a NUL: the rest would be lost.
    if (text.find('\0') != std::string::npos) return budget.refuse("a string holds a NUL");
    return plist_new_string(text.c_str());
  }
  if (const auto n = numberValue(obj)) {
    switch (n->kind) {
      case NumberData::Kind::Bool:
        return plist_new_bool(n->i != 0 ? 1 : 0);
      case NumberData::Kind::Signed:
        return plist_new_uint(static_cast<std::uint64_t>(n->i));
      case NumberData::Kind::Unsigned:
        // Above the signed range, an 8-byte integer would read back negative: 16 bytes, as the
        // binary format spells unsigned values.
        if (n->u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return singleObjectNode("\x14" + bigEndian(0) + bigEndian(n->u));
        }
        return plist_new_uint(n->u);
      case NumberData::Kind::Real:
        return plist_new_real(n->d);
    }
  }
  if (const auto t = dateValue(obj)) {
    // plist_new_date takes 32-bit seconds; libplist's node itself keeps the binary format's
    // double, so a date of any year is made from that.
    std::uint64_t bits = 0;
    static_assert(sizeof bits == sizeof *t);
    std::memcpy(&bits, &*t, sizeof bits);
    return singleObjectNode("\x33" + bigEndian(bits));
  }
  if (const auto bytes = dataBytes(obj)) {
    return plist_new_data(bytes->data(), bytes->size());
  }
  if (arrayItems(obj) != nullptr || dictionaryEntries(obj) != nullptr) {
    return containerNode(obj, depth, budget);
  }
  return budget.refuse(std::string(objc::className(obj)) + " is not a property-list value");
}

}  // namespace

objc::id dictionaryFromNode(plist_t root, Class cls) {
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  DictionaryData data;
  if (!convertEntries(root, 1, data)) return nullptr;
  return newDictionary(cls != nullptr ? cls : dictionaryClass(), std::move(data));
}

Node nodeFromDictionary(objc::id dictionary) {
  if (dictionaryEntries(dictionary) == nullptr) return nullptr;
  WriteBudget budget;
  return Node(toNode(dictionary, 1, budget));
}

plist_t nodeFromObject(objc::id value, std::string* problem) {
  WriteBudget budget;
  budget.problem = problem;
  return toNode(value, 2, budget);
}

}  // namespace foundation::plist
