// What the sources of the Foundation stand-in share with each other, and nothing else includes:
// the C++ state behind each class, constructors for instances, the guard that keeps C++
// exceptions out of message sends, and the log line used for recoverable misuse.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/foundation/object.hpp"

// Encodings of the pointer arguments that only this stand-in's methods take.
namespace objc {
template <>
struct Encoding<const id*> {
  static constexpr const char* value = "r^@";
};
template <>
struct Encoding<const void*> {
  static constexpr const char* value = "r^v";
};
}  // namespace objc

namespace foundation {

using objc::id;
using objc::SEL;

// Writes one line to standard error in a single write, so that lines of concurrent threads do not
// interleave. Used where the device would raise an exception: the call is refused, the process
// goes on.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Logs that a method could not finish because of a C++ exception (in practice, out of memory).
void reportFailure(id self, SEL cmd, const char* what) noexcept;

// Wraps a method implementation so that no C++ exception ever unwinds into the runtime's message
// dispatch: a failure is logged and the method answers nil, zero or nothing.
template <auto Fn>
struct Guarded;
template <class R, class... A, R (*Fn)(id, SEL, A...)>
struct Guarded<Fn> {
  static R call(id self, SEL cmd, A... args) {
    try {
      return Fn(self, cmd, args...);
    } catch (const std::exception& e) {
      reportFailure(self, cmd, e.what());
    } catch (...) {
      reportFailure(self, cmd, "unknown exception");
    }
    if constexpr (!std::is_void_v<R>) return R{};
  }
};
template <auto Fn>
inline constexpr auto guarded = &Guarded<Fn>::call;

// Keeps one owning reference and gives it up when it goes out of scope, unless taken.
class Owned {
 public:
  Owned() = default;
  explicit Owned(id obj) : obj_(obj) {}
  Owned(Owned&& other) noexcept : obj_(other.take()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      release(obj_);
      obj_ = other.take();
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { release(obj_); }
  id get() const { return obj_; }
  id take() {
    id obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  id obj_ = nullptr;
};

// ---- Classes, set once while the library loads ----
Class stringClass();
Class numberClass();
Class dataClass();
Class dateClass();
Class arrayClass();
Class dictionaryClass();
Class mutableDictionaryClass();
Class urlClass();

// Registration of each class, in the order the load-time constructor runs them.
void registerStringClass();
void registerNumberClass();
void registerDataClasses();  // NSData and NSDate
void registerArrayClass();
void registerDictionaryClasses();
void registerURLClass();
void registerAutoreleasePoolClass();

// ---- Strings ----
// A new string of class NSString (or CLS, a subclass) holding BYTES unchanged; owned.
id newString(std::string_view bytes, Class cls = nullptr);
// The UTF-8 bytes of a string; empty for nil or an object that is not a string.
std::string_view stringBytes(id obj);
bool isString(id obj);
// The text an object shows for %@: a string's own bytes, else its description, "(null)" for nil.
std::string describe(id obj);
// The device's multi-line description of an array or a dictionary (cut short for one that
// contains itself or is very large); describe() of anything else.
std::string describeCollection(id obj);
// UTF-16 code units of UTF-8 text, as the device counts them; a byte that does not belong to a
// well-formed sequence counts as one unit.
unsigned long utf16Length(std::string_view bytes);
// BYTES with every byte that is not part of well-formed UTF-8 replaced by U+FFFD.
std::string validUTF8(std::string_view bytes);

// ---- Numbers ----
struct NumberData {
  enum class Kind : std::uint8_t { Bool, Signed, Unsigned, Real };
  Kind kind = Kind::Signed;
  bool single = false;  // a real made from a float: shown with a float's precision
  union {
    std::int64_t i;
    std::uint64_t u;
    double d;
  };
  NumberData() : i(0) {}
};
id newNumber(const NumberData& value);  // owned
std::optional<NumberData> numberValue(id obj);

// ---- Data and dates ----
id newData(std::string_view bytes);  // owned
std::optional<std::string_view> dataBytes(id obj);
id newDate(double sinceReferenceDate);  // owned; seconds since 2001-01-01 00:00:00 UTC
std::optional<double> dateValue(id obj);

// ---- Arrays ----
// A new array (owned) that takes over the references held in ITEMS (none may be nil); should it
// fail, it releases them before it throws.
id newArray(std::vector<id>&& items);
// The elements of an array, or nothing when OBJ is not an array.
const std::vector<id>* arrayItems(id obj);

// ---- Dictionaries ----
struct DictionaryEntry {
  id key;    // an NSString, retained
  id value;  // retained
};
// Entries by the key's UTF-8 bytes; each holds one reference to its key and its value.
struct DictionaryData {
  std::map<std::string, DictionaryEntry, std::less<>> entries;
  DictionaryData() = default;
  DictionaryData(const DictionaryData&) = delete;
  DictionaryData& operator=(const DictionaryData&) = delete;
  ~DictionaryData();
  // Stores VALUE under the string KEY, retaining both and releasing what it replaces.
  void set(id key, id value);
};
// A new dictionary of class CLS (NSDictionary, NSMutableDictionary or a subclass; any other class,
// nil included, gives an NSDictionary), owned, that takes over the entries of DATA. Should it
// fail, DATA keeps its entries.
id newDictionary(Class cls, DictionaryData&& data);
const DictionaryData* dictionaryEntries(id obj);

}  // namespace foundation
