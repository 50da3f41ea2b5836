// Reading and writing property-list files, with the checks that keep libplist safe.
#include "platform/foundation/plist_io.hpp"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "device/files.hpp"
#include "platform/foundation/internal.hpp"

namespace foundation::plist {
namespace {

// ---------------------------------------------------------------------------------------------
// XML: the nesting depth, found by walking the text exactly as libplist's XML reader tokenises it
// (comments, <? ?> and DOCTYPE sections, quoted attribute values, text and CDATA inside value
// elements), so that no tag it would open can hide from the count. Whatever libplist would reject
// is refused here already.
// ---------------------------------------------------------------------------------------------
class XmlDepth {
 public:
  explicit XmlDepth(std::string_view s) : s_(s), n_(s.size()) {}

  bool check() {
    unsigned depth = 0;
    // libplist makes the first value it meets the root and its parent for everything after, even
    // when it is an empty <dict/> or <array/>: such a root is one level that never closes, and
    // libplist then reads on past where a closed root would have ended it.
    unsigned base = 0;
    bool sawValue = false;
    while (i_ < n_) {
      skipSpace();
      if (i_ >= n_) break;
      if (s_[i_] != '<') return false;
      if (++i_ >= n_) return false;
      if (s_[i_] == '?') {
        findStr("?>", true);
        if (!at("?>")) return false;
        i_ += 2;
        continue;
      }
      if (s_[i_] == '!') {
        if (!special()) return false;
        continue;
      }
      const std::size_t p = i_;
      findNext(" \r\n\t<>", false);
      if (i_ >= n_) return false;
      std::string_view tag = s_.substr(p, i_ - p);
      if (s_[i_] != '>') findNext("<>", true);
      if (i_ >= n_ || s_[i_] != '>') return false;
      bool empty = false;
      if (s_[i_ - 1] == '/') {
        const std::size_t cut = i_ - p - 1;
        if (cut < tag.size()) tag = tag.substr(0, cut);
        empty = true;
      }
      ++i_;
      if (tag == "plist" || tag == "/plist") continue;
      if (tag == "dict" || tag == "array") {
        if (!sawValue && empty) base = 1;
        sawValue = true;
        if (!empty) ++depth;
        if (depth + base > kMaxDepth) return false;
        continue;
      }
      if (tag == "key" || tag == "string" || tag == "integer" || tag == "real" || tag == "true" ||
          tag == "false" || tag == "data" || tag == "date") {
        sawValue = true;
        if (!empty && !skipText(tag)) return false;
        continue;
      }
      if (tag == "/dict" || tag == "/array") {
        if (depth > 0) --depth;
        continue;
      }
      // Any other closing tag either closes what libplist has open or stops it with an error;
      // any other opening tag is an error. Scanning goes on to the end in every case: counting
      // more than libplist reads can only refuse a file, never let a deep one through.
      if (tag.empty() || tag[0] != '/') return false;
    }
    return true;
  }

 private:
  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  void skipSpace() {
    while (i_ < n_ && isSpace(s_[i_])) ++i_;
  }

  bool at(std::string_view text) const {
    return i_ <= n_ && n_ - i_ >= text.size() && s_.substr(i_, text.size()) == text;
  }

  // Moves to the next C, or to the end.
  void findChar(char c) {
    while (i_ < n_ && s_[i_] != c) ++i_;
  }

  // Moves to the next TEXT that is not inside double quotes (when QUOTES), or to where libplist
  // gives up looking.
  void findStr(std::string_view text, bool quotes) {
    while (i_ + text.size() < n_) {
      if (s_.substr(i_, text.size()) == text) break;
      if (quotes && s_[i_] == '"') {
        ++i_;
        findChar('"');
        if (i_ >= n_) return;
      }
      ++i_;
    }
  }

  // Moves to the next of CHARS that is not inside double quotes (when QUOTES), or to the end.
  void findNext(std::string_view chars, bool quotes) {
    while (i_ < n_) {
      if (quotes && s_[i_] == '"') {
        ++i_;
        findChar('"');
        if (i_ >= n_) return;
      }
      if (chars.find(s_[i_]) != std::string_view::npos) return;
      ++i_;
    }
  }

  // A comment or a DOCTYPE between elements; I is at the "!".
  bool special() {
    if (n_ - i_ > 3 && at("!--")) {
      i_ += 3;
      findStr("-->", false);
      if (!at("-->")) return false;
      i_ += 3;
      return true;
    }
    if (n_ - i_ > 8 && at("!DOCTYPE")) {
      i_ += 8;
      bool embedded = false;
      while (i_ < n_) {
        findNext(" \t\r\n[>", true);
        if (i_ >= n_) return false;
        if (s_[i_] == '[') {
          embedded = true;
          break;
        }
        if (s_[i_] == '>') {
          ++i_;
          break;
        }
        skipSpace();
      }
      if (embedded) {
        findStr("]>", true);
        if (!at("]>")) return false;
        i_ += 2;
      }
      return true;
    }
    return false;
  }

  // The content and end tag of a value element named TAG; I is just past its start tag.
  bool skipText(std::string_view tag) {
    for (;;) {
      findChar('<');
      if (i_ >= n_) return false;
      if (++i_ >= n_) return false;
      if (s_[i_] == '!') {
        ++i_;
        if (i_ + 1 >= n_) return false;
        if (s_[i_] == '-' && s_[i_ + 1] == '-') {
          i_ += 2;
          findStr("-->", false);
          if (!at("-->")) return false;
          i_ += 3;
        } else if (s_[i_] == '[') {
          ++i_;
          if (i_ + 8 >= n_) return false;
          if (!at("CDATA[")) return false;
          i_ += 6;
          findStr("]]>", false);
          if (!at("]]>")) return false;
          i_ += 3;
        } else {
          return false;
        }
      } else if (s_[i_] == '/') {
        break;
      } else {
        return false;
      }
    }
    ++i_;
    if (i_ + tag.size() >= n_ || !at(tag)) return false;
    i_ += tag.size();
    skipSpace();
    if (i_ >= n_ || s_[i_] != '>') return false;
    ++i_;
    return true;
  }

  std::string_view s_;
  std::size_t n_;
  std::size_t i_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Binary: the trailer, the offset table and every reachable object are checked, and the object
// graph is walked once (each object's results remembered) to find cycles, the nesting depth and
// the size that libplist's expansion of shared references would reach.
// ---------------------------------------------------------------------------------------------
class BinaryGraph {
 public:
  explicit BinaryGraph(std::string_view s)
      : d_(reinterpret_cast<const unsigned char*>(s.data())), n_(s.size()) {}

  bool check() {
    constexpr std::size_t kHeader = 8;
    constexpr std::size_t kTrailer = 32;
    if (n_ < kHeader + kTrailer) return false;
    const unsigned char* trailer = d_ + n_ - kTrailer;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    const std::uint64_t count = readBE(trailer + 8, 8);
    const std::uint64_t root = readBE(trailer + 16, 8);
    const std::uint64_t table = readBE(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    const std::uint64_t tableEnd = n_ - kTrailer;
    if (count == 0 || root >= count || table < kHeader || table >= tableEnd) return false;
    if (count > (tableEnd - table) / offsetSize_) return false;
    objectsEnd_ = static_cast<std::size_t>(table);
    count_ = static_cast<std::size_t>(count);
    info_.assign(count_, Info{});
    return walk(static_cast<std::size_t>(root));
  }

 private:
  enum class State : std::uint8_t { Unseen, Open, Done };
  struct Info {
    State state = State::Unseen;
    std::uint16_t height = 0;   // levels of containers, itself included
    std::uint32_t objects = 0;  // values it expands to, saturating above kMaxObjects
    std::uint32_t bytes = 0;    // content bytes it expands to, saturating above the limit
  };
  struct Object {
    unsigned type = 0;
    std::size_t refs = 0;        // where its references start
    std::uint64_t refCount = 0;  // references: elements, or keys then values
    bool dictionary = false;
    std::uint64_t bytes = 0;  // what its content costs once expanded
  };
  struct Frame {
    std::size_t index;
    Object object;
    std::uint64_t next = 0;  // the next reference to follow
    std::uint64_t objects = 1;
    std::uint64_t bytes = 0;
    unsigned height = 0;
  };

  static std::uint64_t readBE(const unsigned char* p, unsigned size) {
    std::uint64_t v = 0;
    for (unsigned k = 0; k < size; ++k) v = (v << 8) | p[k];
    return v;
  }

  static std::uint64_t capped(std::uint64_t v, std::uint64_t limit) {
    return v > limit ? limit + 1 : v;
  }

  // Where object INDEX starts, when the offset table gives a place among the objects.
  std::optional<std::size_t> offsetOf(std::size_t index) const {
    const std::uint64_t off = readBE(d_ + objectsEnd_ + index * offsetSize_, offsetSize_);
    if (off < 8 || off >= objectsEnd_) return std::nullopt;
    return static_cast<std::size_t>(off);
  }

  // The length that follows a marker whose low nibble is 0xF: an integer object of 1, 2, 4 or 8
  // bytes. P moves past it.
  bool length(std::size_t& p, std::uint64_t& out) const {
    if (p >= objectsEnd_ || (d_[p] >> 4) != 1) return false;
    const unsigned k = d_[p] & 0xF;
    if (k > 3) return false;
    const unsigned size = 1u << k;
    if (objectsEnd_ - (p + 1) < size) return false;
    out = readBE(d_ + p + 1, size);
    p += 1 + size;
    return true;
  }

  // Parses the object at INDEX; false when it is malformed or of a kind libplist rejects.
  bool parse(std::size_t index, Object& o) const {
    const auto start = offsetOf(index);
    if (!start) return false;
    std::size_t p = *start;
    const unsigned marker = d_[p++];
    o.type = marker >> 4;
    const unsigned info = marker & 0xF;
    const std::size_t room = objectsEnd_ - p;
    std::uint64_t len = info;
    if (info == 0xF && (o.type == 4 || o.type == 5 || o.type == 6 || o.type == 0xA ||
                        o.type == 0xC || o.type == 0xD)) {
      if (!length(p, len)) return false;
    }
    const std::size_t left = objectsEnd_ - p;
    switch (o.type) {
      case 0x0:  // false, true; null and fill are not values libplist accepts
        return info == 0x8 || info == 0x9;
      case 0x1:  // integer of 1, 2, 4, 8 or 16 bytes
        return info <= 4 && room >= (1u << info);
      case 0x2:  // real of 4 or 8 bytes
        return (info == 2 || info == 3) && room >= (1u << info);
      case 0x3:  // date
        return info == 3 && room >= 8;
      case 0x4:  // data
        if (len > left) return false;
        o.bytes = len;
        return true;
      case 0x5:  // ASCII string
        if (len > left) return false;
        o.bytes = len + 1;
        return true;
      case 0x6:  // UTF-16 string: libplist makes up to four bytes of UTF-8 per unit
        if (len > left / 2) return false;
        o.bytes = 4 * (len + 1);
        return true;
      case 0x8:  // UID of up to 8 bytes, at most 32 bits of value
        return info < 8 && room >= info + 1 && readBE(d_ + p, info + 1) <= 0xFFFFFFFFu;
      case 0xA:    // array
      case 0xC:    // set, read as an array
      case 0xD: {  // dictionary: keys, then values
        o.dictionary = o.type == 0xD;
        const std::uint64_t refs = o.dictionary ? 2 * len : len;
        if (len > left || refs > left / refSize_) return false;
        o.refs = p;
        o.refCount = refs;
        return true;
      }
      default:
        return false;
    }
  }

  std::size_t reference(const Object& o, std::uint64_t k) const {
    return static_cast<std::size_t>(readBE(d_ + o.refs + k * refSize_, refSize_));
  }

  // A dictionary key must be a string. A UTF-16 key must not hold the unit 0: libplist turns it
  // into a NUL inside the key's UTF-8, and its dictionary iterator then fails an assertion, which
  // aborts the reading process. (An ASCII key is cut at its first NUL by libplist instead.)
  bool isStringObject(std::size_t index) const {
    const auto at = offsetOf(index);
    if (!at) return false;
    const unsigned type = d_[*at] >> 4;
    if (type == 5) return true;
    if (type != 6) return false;
    std::size_t p = *at + 1;
    std::uint64_t units = d_[*at] & 0xF;
    if (units == 0xF && !length(p, units)) return false;
    if (units > (objectsEnd_ - p) / 2) return false;
    for (std::uint64_t k = 0; k < units; ++k) {
      if (d_[p + 2 * k] == 0 && d_[p + 2 * k + 1] == 0) return false;
    }
    return true;
  }

  // Folds a finished child's results into its parent's frame.
  static void add(Frame& parent, std::uint64_t objects, std::uint64_t bytes, unsigned height) {
    parent.objects = capped(parent.objects + objects, kMaxObjects);
    parent.bytes = capped(parent.bytes + bytes, kMaxExpandedBytes);
    if (height > parent.height) parent.height = height;
  }

  bool walk(std::size_t root) {
    std::vector<Frame> stack;
    Object rootObject;
    if (!parse(root, rootObject)) return false;
    stack.push_back(Frame{root, rootObject});
    info_[root].state = State::Open;
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next < top.object.refCount) {
        const std::uint64_t k = top.next++;
        const std::size_t child = reference(top.object, k);
        if (child >= count_) return false;
        const bool key = top.object.dictionary && k < top.object.refCount / 2;
        if (key && !isStringObject(child)) return false;
        Info& ci = info_[child];
        if (ci.state == State::Open) return false;  // a cycle
        if (ci.state == State::Done) {
          add(top, ci.objects, ci.bytes, ci.height);
        } else {
          Object o;
          if (!parse(child, o)) return false;
          if (o.refCount == 0 && o.type != 0xA && o.type != 0xC && o.type != 0xD) {
            ci = Info{State::Done, 0, 1,
                      static_cast<std::uint32_t>(capped(o.bytes, kMaxExpandedBytes))};
            add(top, ci.objects, ci.bytes, 0);
          } else {
            if (stack.size() >= kMaxDepth) return false;
            ci.state = State::Open;
            stack.push_back(Frame{child, o});
          }
        }
        if (stack.back().objects > kMaxObjects || stack.back().bytes > kMaxExpandedBytes) {
          return false;
        }
        continue;
      }
      // Every reference followed: the container is done.
      const Frame done = top;
      stack.pop_back();
      const unsigned height = done.height + 1;
      info_[done.index] =
          Info{State::Done, static_cast<std::uint16_t>(height),
               static_cast<std::uint32_t>(done.objects), static_cast<std::uint32_t>(done.bytes)};
      if (stack.empty()) {
        return height <= kMaxDepth && done.objects <= kMaxObjects &&
               done.bytes <= kMaxExpandedBytes;
      }
      add(stack.back(), done.objects, done.bytes, height);
      if (stack.back().objects > kMaxObjects || stack.back().bytes > kMaxExpandedBytes) {
        return false;
      }
    }
    return false;  // not reached: the root's frame returns when it is done
  }

  const unsigned char* d_;
  std::size_t n_;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  std::size_t objectsEnd_ = 0;
  std::size_t count_ = 0;
  std::vector<Info> info_;
};

// ---------------------------------------------------------------------------------------------
// From libplist's nodes to objects and back.
// ---------------------------------------------------------------------------------------------
struct FreeNode {
  void operator()(void* node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, FreeNode>;

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
      return newString(text != nullptr ? std::string_view(text, length) : std::string_view());
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      return newData(bytes != nullptr ? std::string_view(bytes, length) : std::string_view());
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

bool acceptable(std::string_view bytes) {
  if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") return BinaryGraph(bytes).check();
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return XmlDepth(bytes).check();
}

objc::id readDictionary(std::string_view devicePath, Class cls, int* error) {
  int ignored = 0;
  int& why = error != nullptr ? *error : ignored;
  const auto content = sim::readFile(sim::Area::Device, devicePath, kMaxFileSize, &why);
  if (!content) return nullptr;
  why = kNotPropertyList;
  if (!acceptable(*content)) return nullptr;
  std::string_view bytes = *content;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  // The string keeps a NUL after the bytes: libplist's XML reader peeks one byte ahead at times.
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  const Node root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return nullptr;
  DictionaryData data;
  if (!convertEntries(root.get(), 1, data)) return nullptr;
  why = 0;
  return newDictionary(cls != nullptr ? cls : dictionaryClass(), std::move(data));
}

bool writeDictionary(objc::id dictionary, std::string_view devicePath, int* error) {
  int ignored = 0;
  int& why = error != nullptr ? *error : ignored;
  why = kNotPropertyList;
  if (dictionaryEntries(dictionary) == nullptr) return false;
  WriteBudget budget;
  const Node root(toNode(dictionary, 1, budget));
  if (!root) return false;
  char* raw = nullptr;  // plist_to_bin writes nothing unless this starts out NULL
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &raw, &length);
  if (raw == nullptr) return false;
  const std::unique_ptr<char, void (*)(char*)> out(raw, &plist_to_bin_free);
  why = sim::writeFile(sim::Area::Device, devicePath, std::string_view(out.get(), length));
  return why == 0;
}

}  // namespace foundation::plist
