// Binary property lists assembled object by object, for the shapes no writer makes: references
// that loop, values shared by many references, nesting a hundred thousand levels deep, keys and
// strings of any bytes, references and offsets of any width. The one builder of hostile binary
// lists for every test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vyrtest {

class BinaryPlist {
 public:
  // References take REF_SIZE bytes (1 to 8): enough for the number of objects the list will have.
  explicit BinaryPlist(unsigned refSize = 1) : refSize_(refSize) {}

  // Each adds one object and returns its index, which later objects may reference, and earlier
  // ones too when they were given it in advance (a loop).
  std::size_t ascii(std::string_view bytes) {
    return add(marker(0x50, bytes.size()) + std::string(bytes));
  }
  std::size_t boolean(bool v) { return add(std::string(1, v ? '\x09' : '\x08')); }
  std::size_t integer(std::uint64_t bits) { return add("\x13" + bigEndian(bits, 8)); }
  std::size_t real(double v) { return add("\x23" + bigEndian(bitsOf(v), 8)); }
  std::size_t date(double v) { return add("\x33" + bigEndian(bitsOf(v), 8)); }
  std::size_t data(std::string_view bytes) {
    return add(marker(0x40, bytes.size()) + std::string(bytes));
  }
  std::size_t utf16(const std::u16string& text) {
    std::string out = marker(0x60, text.size());
    for (char16_t c : text) out += bigEndian(c, 2);
    return add(out);
  }
  std::size_t array(const std::vector<std::size_t>& items) { return add(arrayObject(items)); }
  std::size_t dictionary(const std::vector<std::size_t>& keys,
                         const std::vector<std::size_t>& values) {
    return add(marker(0xD0, keys.size()) + references(keys) + references(values));
  }
  // The same, given as (key, value) pairs.
  std::size_t dictionary(const std::vector<std::pair<std::size_t, std::size_t>>& entries) {
    std::vector<std::size_t> keys, values;
    for (const auto& [key, value] : entries) {
      keys.push_back(key);
      values.push_back(value);
    }
    return dictionary(keys, values);
  }
  // An object of any encoding, for kinds the helpers above do not make.
  std::size_t raw(std::string encoded) { return add(std::move(encoded)); }
  // Replaces object INDEX with ENCODED (to close a cycle once both ends exist).
  void replace(std::size_t index, std::string encoded) { objects_[index] = std::move(encoded); }
  // The encoding of an array of ITEMS, for replace.
  std::string arrayObject(const std::vector<std::size_t>& items) const {
    return marker(0xA0, items.size()) + references(items);
  }

  // The index the next object will get.
  std::size_t next() const { return objects_.size(); }

  // The whole file with ROOT as its top object; offsets take OFFSET_SIZE bytes, or as few as they
  // need when it is 0.
  std::string bytes(std::size_t root, unsigned offsetSize = 0) const {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const std::string& o : objects_) {
      offsets.push_back(out.size());
      out += o;
    }
    const std::uint64_t table = out.size();
    if (offsetSize == 0) {
      offsetSize = 1;
      while (offsetSize < 8 && (table >> (8 * offsetSize)) != 0) ++offsetSize;
    }
    for (std::uint64_t offset : offsets) out += bigEndian(offset, offsetSize);
    out.append(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize_);
    out += bigEndian(objects_.size(), 8) + bigEndian(root, 8) + bigEndian(table, 8);
    return out;
  }

  static std::string bigEndian(std::uint64_t v, unsigned size) {
    std::string out;
    for (unsigned k = size; k-- > 0;) out += static_cast<char>((v >> (8 * k)) & 0xFF);
    return out;
  }

 private:
  static std::uint64_t bitsOf(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
  }
  std::size_t add(std::string encoded) {
    objects_.push_back(std::move(encoded));
    return objects_.size() - 1;
  }
  // A type marker with its count: in the low nibble below 15, else in an 8-byte integer after it.
  static std::string marker(unsigned type, std::size_t count) {
    if (count < 15) return std::string(1, static_cast<char>(type | count));
    return std::string(1, static_cast<char>(type | 0xF)) + "\x13" + bigEndian(count, 8);
  }
  std::string references(const std::vector<std::size_t>& refs) const {
    std::string out;
    for (std::size_t r : refs) out += bigEndian(r, refSize_);
    return out;
  }

  unsigned refSize_;
  std::vector<std::string> objects_;
};

}  // namespace vyrtest
