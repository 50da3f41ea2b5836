// libplist's nodes to the stand-in's objects and back.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
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
      n.kind = NumberData::Kind::Signed;
      n.i = static_cast<std::int64_t>(v);  // libplist hands negative values over as their bits
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
    case PLIST_DATE: {
      std::int32_t seconds = 0;
      std::int32_t micros = 0;
      plist_get_date_val(node, &seconds, &micros);
      // libplist gives the fraction without its sign.
      const double fraction = micros / 1e6;
      return newDate(seconds < 0 ? seconds - fraction : seconds + fraction);
    }
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
};

plist_t toNode(id obj, unsigned depth, WriteBudget& budget);

plist_t containerNode(id obj, unsigned depth, WriteBudget& budget) {
  if (depth > kMaxDepth) {
    logLine("*** -[NSDictionary writeToFile:atomically:]: nested deeper than %u levels", kMaxDepth);
    return nullptr;
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
    plist_t child = toNode(entry.value, depth + 1, budget);
    if (child == nullptr) return nullptr;
    plist_dict_set_item(dict.get(), validUTF8(key).c_str(), child);
  }
  return dict.release();
}

plist_t toNode(id obj, unsigned depth, WriteBudget& budget) {
  if (++budget.objects > kMaxObjects) {
    logLine("*** -[NSDictionary writeToFile:atomically:]: more than %llu values",
            static_cast<unsigned long long>(kMaxObjects));
    return nullptr;
  }
  if (isString(obj)) return plist_new_string(validUTF8(stringBytes(obj)).c_str());
  if (const auto n = numberValue(obj)) {
    switch (n->kind) {
      case NumberData::Kind::Bool:
        return plist_new_bool(n->i != 0 ? 1 : 0);
      case NumberData::Kind::Signed:
        return plist_new_uint(static_cast<std::uint64_t>(n->i));
      case NumberData::Kind::Unsigned:
        return plist_new_uint(n->u);
      case NumberData::Kind::Real:
        return plist_new_real(n->d);
    }
  }
  if (const auto t = dateValue(obj)) {
    // libplist keeps whole seconds in 32 bits; the fraction goes in microseconds.
    constexpr double kLow = std::numeric_limits<std::int32_t>::min();
    constexpr double kHigh = std::numeric_limits<std::int32_t>::max();
    const double v = std::isnan(*t) ? 0.0 : std::fmin(std::fmax(*t, kLow), kHigh);
    double whole = std::trunc(v);
    double micros = std::round((v - whole) * 1e6);
    if (std::fabs(micros) >= 1e6) {
      whole += micros > 0 ? 1 : -1;
      micros = 0;
    }
    whole = std::fmin(std::fmax(whole, kLow), kHigh);
    return plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(micros));
  }
  if (const auto bytes = dataBytes(obj)) {
    return plist_new_data(bytes->data(), bytes->size());
  }
  if (arrayItems(obj) != nullptr || dictionaryEntries(obj) != nullptr) {
    return containerNode(obj, depth, budget);
  }
  logLine("*** -[NSDictionary writeToFile:atomically:]: %s is not a property-list value",
          objc::className(obj));
  return nullptr;
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

}  // namespace foundation::plist
