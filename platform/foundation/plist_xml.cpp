// XML: the guard in front of libplist's XML reader.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/plist_formats.hpp"
#include "platform/foundation/plist_io.hpp"

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
        const std::size_t text = i_;
        if (!empty && !skipText(tag)) return false;
        if (tag == "integer" && (empty || !exactInteger(s_.substr(text, i_ - text)))) {
          exact_ = false;
        }
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

  // Whether ELEMENT, an integer's text up to and including its end tag, is a decimal number that
  // libplist reads as it stands: it reads "12abc" as 12 and saturates beyond 64 bits.
  static bool exactInteger(std::string_view element) {
    std::string_view digits = element.substr(0, element.find('<'));
    while (!digits.empty() && isSpace(digits.front())) digits.remove_prefix(1);
    while (!digits.empty() && isSpace(digits.back())) digits.remove_suffix(1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    if (digits.empty()) return false;
    constexpr std::uint64_t kMax = ~static_cast<std::uint64_t>(0);
    std::uint64_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (value > (kMax - digit) / 10) return false;
      value = value * 10 + digit;
    }
    return !negative || value <= (static_cast<std::uint64_t>(1) << 63);
  }

 public:
  bool exact() const { return exact_; }

 private:
  std::string_view s_;
  std::size_t n_;
  std::size_t i_ = 0;
  bool exact_ = true;
};

}  // namespace

bool xmlAcceptable(std::string_view text, bool* exact) {
  XmlDepth scan(text);
  const bool ok = scan.check();
  if (exact != nullptr) *exact = ok && scan.exact();
  return ok;
}

}  // namespace foundation::plist
