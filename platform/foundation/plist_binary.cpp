// Binary: the guard in front of libplist's binary reader.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/foundation/plist_formats.hpp"
#include "platform/foundation/plist_io.hpp"

namespace foundation::plist {
namespace {

// ---------------------------------------------------------------------------------------------
// Binary: the trailer, the offset table and every reachable object are checked, and the object
// graph is walked once (each object's results remembered) to find cycles, the nesting depth and
// the size that libplist's expansion of shared references would reach.
// ---------------------------------------------------------------------------------------------
class BinaryGraph {
 public:
  explicit BinaryGraph(std::string_view s)
      : d_(reinterpret_cast<const unsigned char*>(s.data())), n_(s.size()) {}

  // Whether every value is one libplist carries exactly (see binaryAcceptable); valid once
  // check() has returned true.
  bool exact() const { return exact_; }

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
        if (info > 4 || room < (1u << info)) return false;
        // libplist keeps the low 64 bits of a 16-byte integer (and that it was unsigned).
        if (info == 4 && readBE(d_ + p, 8) != 0) exact_ = false;
        return true;
      case 0x2:  // real of 4 or 8 bytes
        return (info == 2 || info == 3) && room >= (1u << info);
      case 0x3:  // date
        return info == 3 && room >= 8;
      case 0x4:  // data
        if (len > left) return false;
        o.bytes = len;
        return true;
      case 0x5:  // ASCII string: libplist cuts it at a NUL
        if (len > left) return false;
        o.bytes = len + 1;
        for (std::uint64_t k = 0; k < len; ++k) exact_ = exact_ && d_[p + k] != 0;
        return true;
      case 0x6:  // UTF-16 string: libplist makes up to four bytes of UTF-8 per unit
        if (len > left / 2) return false;
        o.bytes = 4 * (len + 1);
        // A unit 0 becomes a NUL that libplist writes back as an ASCII string, cut there.
        for (std::uint64_t k = 0; k < len; ++k) {
          exact_ = exact_ && (d_[p + 2 * k] != 0 || d_[p + 2 * k + 1] != 0);
        }
        return true;
      case 0x8:  // UID of up to 8 bytes, at most 32 bits of value
        return info < 8 && room >= info + 1 && readBE(d_ + p, info + 1) <= 0xFFFFFFFFu;
      case 0xA:    // array
      case 0xC:    // set, read as an array
      case 0xD: {  // dictionary: keys, then values
        o.dictionary = o.type == 0xD;
        if (o.type == 0xC) exact_ = false;
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
  mutable bool exact_ = true;  // cleared by parse(), which is otherwise a pure reading
};

}  // namespace

bool binaryAcceptable(std::string_view bytes, bool* exact) {
  BinaryGraph graph(bytes);
  const bool ok = graph.check();
  if (exact != nullptr) *exact = ok && graph.exact();
  return ok;
}

}  // namespace foundation::plist
