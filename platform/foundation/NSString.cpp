// NSString: immutable text kept as the UTF-8 bytes it was made from, lengths and indexes counted in
// UTF-16 units as on the device, and the device's rules for reading numbers out of text.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "platform/foundation/format.hpp"
#include "platform/foundation/internal.hpp"

namespace foundation {
namespace {

struct Text {
  std::string bytes;
  unsigned long units = 0;  // UTF-16 length, counted once
};

Payload<Text> gText("_vyrText");
std::atomic<Class> gStringClass{nullptr};

const Text& textOf(id self) {
  static const Text empty;
  const Text* t = gText.of(self);
  return t != nullptr ? *t : empty;
}

// One step of lenient UTF-8 decoding at the start of S: how many bytes it takes and how many
// UTF-16 units they make. Anything but a well-formed sequence is one byte standing for one unit.
struct Step {
  std::size_t bytes;
  unsigned units;
  bool valid;
};
Step decodeStep(std::string_view s) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return k < s.size() && byte(k) >= lo && byte(k) <= hi;
  };
  const unsigned b0 = byte(0);
  if (b0 < 0x80) return {1, 1, true};
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) return {2, 1, true};
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = b0 == 0xED ? 0x9F : 0xBF;
    if (cont(1, lo, hi) && cont(2)) return {3, 1, true};
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (cont(1, lo, hi) && cont(2) && cont(3)) return {4, 2, true};
  }
  return {1, 1, false};
}

id makeInstance(Class cls, std::string_view bytes) {
  if (cls == nullptr) cls = stringClass();
  // Only before this library's constructor has run (from another library's constructor).
  if (cls == nullptr) throw std::logic_error("NSString is not registered yet");
  Owned obj(allocInstance(cls));
  auto text = std::make_unique<Text>();
  text->bytes.assign(bytes);
  text->units = utf16Length(bytes);
  gText.of(obj.get()) = text.release();
  return obj.take();
}

id autoreleased(std::string_view bytes) {
  return autorelease(newString(bytes));
}

// ---- The device's readings of numbers in text ----

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

std::size_t skipSpace(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  return i;
}

bool readBool(std::string_view s) {
  std::size_t i = skipSpace(s);
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i >= s.size()) return false;
  const char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

long long readLongLong(std::string_view s) {
  std::size_t i = skipSpace(s);
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  // Accumulate as a negative number, whose range is the larger one.
  long long value = 0;
  bool overflow = false;
  constexpr long long kMin = std::numeric_limits<long long>::min();
  for (; i < s.size() && isDigit(s[i]); ++i) {
    const int digit = s[i] - '0';
    if (value < (kMin + digit) / 10) overflow = true;
    if (!overflow) value = value * 10 - digit;
  }
  if (overflow) return negative ? kMin : std::numeric_limits<long long>::max();
  if (negative) return value;
  return value == kMin ? std::numeric_limits<long long>::max() : -value;
}

int readInt(std::string_view s) {
  const long long v = readLongLong(s);
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

double readDouble(std::string_view s) {
  std::size_t i = skipSpace(s);
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t start = i;
  while (i < s.size() && isDigit(s[i])) ++i;
  std::size_t digits = i - start;
  if (i < s.size() && s[i] == '.') {
    const std::size_t fraction = ++i;
    while (i < s.size() && isDigit(s[i])) ++i;
    digits += i - fraction;
  }
  if (digits == 0) return 0.0;
  const std::size_t mantissaEnd = i;
  long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    bool negativeExponent = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) negativeExponent = s[j++] == '-';
    if (j < s.size() && isDigit(s[j])) {
      for (; j < s.size() && isDigit(s[j]); ++j) {
        if (exponent < 1000000) exponent = exponent * 10 + (s[j] - '0');
      }
      if (negativeExponent) exponent = -exponent;
      i = j;
    }
  }
  // from_chars wants a digit first: ".5" is read as "0.5".
  std::string number = s[start] == '.' ? "0" : "";
  number.append(s.substr(start, i - start));
  double value = 0.0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                         std::chars_format::general);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: which one follows from the decimal exponent of the
    // first significant digit.
    std::size_t integerEnd = start;
    while (integerEnd < mantissaEnd && isDigit(s[integerEnd])) ++integerEnd;
    long magnitude = 0;
    bool found = false;
    for (std::size_t k = start; k < integerEnd && !found; ++k) {
      if (s[k] != '0') {
        found = true;
        magnitude = static_cast<long>(integerEnd - k) - 1;
      }
    }
    for (std::size_t k = integerEnd + 1; k < mantissaEnd && !found; ++k) {
      if (s[k] != '0') {
        found = true;
        magnitude = -static_cast<long>(k - integerEnd);
      }
    }
    value = found && magnitude + exponent > 0 ? HUGE_VAL : 0.0;
  } else if (ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

// ---- Methods ----

id mStringWithUTF8String(id cls, SEL, const char* text) {
  if (text == nullptr) return nullptr;
  return autorelease(makeInstance(objc::asClass(cls), text));
}

id mString(id cls, SEL) {
  return autorelease(makeInstance(objc::asClass(cls), {}));
}

id mInitWithUTF8String(id self, SEL, const char* text) {
  if (text == nullptr) {
    release(self);
    return nullptr;
  }
  try {
    auto fresh = std::make_unique<Text>();
    fresh->bytes.assign(text);
    fresh->units = utf16Length(fresh->bytes);
    delete gText.of(self);
    gText.of(self) = fresh.release();
  } catch (...) {
    release(self);
    throw;
  }
  return self;
}

// A variadic method, so it cannot go through the guard: it catches for itself. Its type is the
// device's, (id, SEL, NSString *format, ...): the format is a named argument, which the device's
// arm64 passes in a register while the variadic part goes on the stack. Calling it through any
// other function type would be undefined behaviour.
id mStringWithFormat(id cls, SEL cmd, id format, ...) {
  va_list args;
  va_start(args, format);
  id result = nullptr;
  if (format == nullptr) {
    logLine("*** +[%s stringWithFormat:]: nil format", objc::className(cls));
  } else {
    try {
      const std::string text = formatV(describe(format), args);
      result = autorelease(makeInstance(objc::asClass(cls), text));
    } catch (const std::exception& e) {
      reportFailure(cls, cmd, e.what());
    } catch (...) {
      reportFailure(cls, cmd, "unknown exception");
    }
  }
  va_end(args);
  return result;
}

unsigned long mLength(id self, SEL) {
  return textOf(self).units;
}

const char* mUTF8String(id self, SEL) {
  return textOf(self).bytes.c_str();
}

objc::BOOL mHasPrefix(id self, SEL, id prefix) {
  const std::string_view p = stringBytes(prefix);
  // As on the device, the empty string is nobody's prefix.
  return !p.empty() && std::string_view(textOf(self).bytes).substr(0, p.size()) == p ? objc::yes
                                                                                     : objc::no;
}

objc::BOOL mHasSuffix(id self, SEL, id suffix) {
  const std::string_view s = stringBytes(suffix);
  const std::string_view mine = textOf(self).bytes;
  return !s.empty() && mine.size() >= s.size() && mine.substr(mine.size() - s.size()) == s
             ? objc::yes
             : objc::no;
}

id mSubstringFromIndex(id self, SEL, unsigned long index) {
  const Text& t = textOf(self);
  if (index > t.units) {
    logLine("*** -[NSString substringFromIndex:]: Index %lu out of bounds; string length %lu",
            index, t.units);
    return autoreleased({});
  }
  const std::string_view s = t.bytes;
  std::size_t offset = 0;
  unsigned long units = 0;
  while (units < index && offset < s.size()) {
    const Step step = decodeStep(s.substr(offset));
    offset += step.bytes;
    units += step.units;
  }
  if (units > index) {
    // The index falls between the two halves of a surrogate pair: the lone low half that the
    // device would keep becomes U+FFFD, so the result still has length - index units.
    return autoreleased("\xEF\xBF\xBD" + std::string(s.substr(offset)));
  }
  return autoreleased(s.substr(offset));
}

id mComponentsSeparatedByString(id self, SEL, id separator) {
  const std::string_view s = textOf(self).bytes;
  const std::string_view sep = stringBytes(separator);
  std::vector<Owned> pieces;
  if (sep.empty()) {
    pieces.emplace_back(retain(self));
  } else {
    std::size_t from = 0;
    for (;;) {
      const std::size_t at = s.find(sep, from);
      pieces.emplace_back(
          newString(s.substr(from, at == std::string_view::npos ? s.npos : at - from)));
      if (at == std::string_view::npos) break;
      from = at + sep.size();
    }
  }
  std::vector<id> items;
  items.reserve(pieces.size());
  for (Owned& piece : pieces) items.push_back(piece.take());
  id array = newArray(std::move(items));
  return autorelease(array);
}

objc::NSRange mRangeOfString(id self, SEL, id other) {
  const std::string_view s = textOf(self).bytes;
  const std::string_view needle = stringBytes(other);
  const std::size_t at = needle.empty() ? std::string_view::npos : s.find(needle);
  if (at == std::string_view::npos) return {objc::NSNotFound, 0};
  return {utf16Length(s.substr(0, at)), utf16Length(needle)};
}

objc::BOOL mIsEqualToString(id self, SEL, id other) {
  if (other == self) return objc::yes;
  return isString(other) && textOf(self).bytes == stringBytes(other) ? objc::yes : objc::no;
}

objc::BOOL mIsEqual(id self, SEL cmd, id other) {
  return mIsEqualToString(self, cmd, other);
}

unsigned long mHash(id self, SEL) {
  // FNV-1a over the bytes: equal strings hash alike.
  std::uint64_t h = 14695981039346656037ULL;
  for (const char c : textOf(self).bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  return static_cast<unsigned long>(h);  // NSUInteger: its low 32 bits on armv7
}

id mDescription(id self, SEL) {
  return self;
}

id mCopy(id self, SEL) {
  return retain(self);
}

id mStringByAppendingString(id self, SEL, id other) {
  std::string joined = textOf(self).bytes;
  joined.append(stringBytes(other));
  return autoreleased(joined);
}

objc::BOOL mBoolValue(id self, SEL) {
  return readBool(textOf(self).bytes) ? objc::yes : objc::no;
}
int mIntValue(id self, SEL) {
  return readInt(textOf(self).bytes);
}
// NSInteger is 32 bits on a 32-bit device: saturate there as intValue does, never wrap.
long mIntegerValue(id self, SEL) {
  const long long value = readLongLong(textOf(self).bytes);
  return static_cast<long>(std::clamp<long long>(value, LONG_MIN, LONG_MAX));
}
long long mLongLongValue(id self, SEL) {
  return readLongLong(textOf(self).bytes);
}
double mDoubleValue(id self, SEL) {
  return readDouble(textOf(self).bytes);
}
float mFloatValue(id self, SEL) {
  return static_cast<float>(readDouble(textOf(self).bytes));
}

void mDealloc(id self, SEL) {
  delete gText.of(self);
  gText.of(self) = nullptr;
  deallocSuper(self, stringClass());
}

}  // namespace

Class stringClass() {
  return gStringClass.load(std::memory_order_acquire);
}

bool isString(id obj) {
  return objc::isKindOf(obj, stringClass());
}

id newString(std::string_view bytes, Class cls) {
  return makeInstance(cls, bytes);
}

std::string_view stringBytes(id obj) {
  if (!isString(obj)) return {};
  return textOf(obj).bytes;
}

std::string describe(id obj) {
  if (obj == nullptr) return "(null)";
  if (isString(obj)) return std::string(textOf(obj).bytes);
  if (!objc::respondsTo(obj, objc::sel<"description">())) {
    char text[160];
    std::snprintf(text, sizeof text, "<%s: %p>", objc::className(obj), static_cast<void*>(obj));
    return text;
  }
  // The description is autoreleased: a pool of our own keeps it from leaking on a thread that
  // has none.
  void* pool = objc_autoreleasePoolPush();
  std::string text;
  try {
    id description = objc::send<"description">(obj);
    text = description == nullptr  ? "(null)"
           : isString(description) ? std::string(textOf(description).bytes)
                                   : std::string(objc::className(description));
  } catch (...) {
    objc_autoreleasePoolPop(pool);
    throw;
  }
  objc_autoreleasePoolPop(pool);
  return text;
}

unsigned long utf16Length(std::string_view bytes) {
  unsigned long units = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Step step = decodeStep(bytes.substr(i));
    i += step.bytes;
    units += step.units;
  }
  return units;
}

std::string validUTF8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Step step = decodeStep(bytes.substr(i));
    if (step.valid) {
      out.append(bytes.substr(i, step.bytes));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += step.bytes;
  }
  return out;
}

objc::id constantString(const char* text) {
  if (text == nullptr) return nullptr;
  static std::mutex lock;
  // Never freed: constant strings are used until the process ends, destructors included.
  static auto* table = new std::unordered_map<std::string, id>();
  try {
    std::lock_guard<std::mutex> guard(lock);
    auto found = table->find(text);
    if (found != table->end()) return found->second;
    id made = makeInstance(stringClass(), text);
    makeImmortal(made);
    table->emplace(text, made);
    return made;
  } catch (const std::exception& e) {
    logLine("*** constantString: failed: %s", e.what());
    return nullptr;
  }
}

void registerStringClass() {
  objc::ClassBuilder b("NSString", rootClass());
  b.classMethod("stringWithUTF8String:", guarded<&mStringWithUTF8String>)
      .classMethod("string", guarded<&mString>)
      // Registered with the types of its format argument; callers send it variadic.
      .classMethod("stringWithFormat:", reinterpret_cast<id (*)(id, SEL, id)>(
                                            reinterpret_cast<void (*)()>(&mStringWithFormat)))
      .method("initWithUTF8String:", guarded<&mInitWithUTF8String>)
      .method("length", guarded<&mLength>)
      .method("UTF8String", guarded<&mUTF8String>)
      .method("hasPrefix:", guarded<&mHasPrefix>)
      .method("hasSuffix:", guarded<&mHasSuffix>)
      .method("substringFromIndex:", guarded<&mSubstringFromIndex>)
      .method("componentsSeparatedByString:", guarded<&mComponentsSeparatedByString>)
      .method("rangeOfString:", guarded<&mRangeOfString>)
      .method("isEqualToString:", guarded<&mIsEqualToString>)
      .method("isEqual:", guarded<&mIsEqual>)
      .method("hash", guarded<&mHash>)
      .method("description", guarded<&mDescription>)
      .method("copy", guarded<&mCopy>)
      .method("stringByAppendingString:", guarded<&mStringByAppendingString>)
      .method("boolValue", guarded<&mBoolValue>)
      .method("intValue", guarded<&mIntValue>)
      .method("integerValue", guarded<&mIntegerValue>)
      .method("longLongValue", guarded<&mLongLongValue>)
      .method("floatValue", guarded<&mFloatValue>)
      .method("doubleValue", guarded<&mDoubleValue>)
      .method("dealloc", guarded<&mDealloc>);
  Class cls = finishWithFields(b, gText);
  gStringClass.store(cls, std::memory_order_release);
}

}  // namespace foundation
