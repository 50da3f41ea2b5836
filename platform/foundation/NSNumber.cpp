// NSNumber: a Boolean, a signed or unsigned 64-bit integer or a double, remembering which of these
// it was made as, so that a property list written back keeps its value kinds.
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/foundation/internal.hpp"

namespace foundation {
namespace {

using Kind = NumberData::Kind;

Payload<NumberData> gNumber("_vyrNumber");
std::atomic<Class> gNumberClass{nullptr};

NumberData valueOf(id self) {
  const NumberData* n = gNumber.of(self);
  return n != nullptr ? *n : NumberData{};
}

id make(Class cls, const NumberData& value) {
  Owned obj(allocInstance(cls != nullptr ? cls : numberClass()));
  gNumber.of(obj.get()) = new NumberData(value);
  return obj.take();
}

template <class T>
NumberData of(Kind kind, T v) {
  NumberData n;
  n.kind = kind;
  if constexpr (std::is_floating_point_v<T>) {
    n.d = static_cast<double>(v);
  } else if constexpr (std::is_signed_v<T>) {
    n.i = static_cast<std::int64_t>(v);
  } else {
    n.u = static_cast<std::uint64_t>(v);
  }
  return n;
}

// Conversions of a double to an integer type, saturating at the type's limits, NaN giving 0:
// what the device's processor does, and never undefined behaviour here.
template <class T>
T saturate(double d) {
  if (std::isnan(d)) return 0;
  // 2^digits is exact as a double; every double below it converts without overflow.
  constexpr double kHigh = 2.0 * static_cast<double>(T{1} << (std::numeric_limits<T>::digits - 1));
  if (d >= kHigh) return std::numeric_limits<T>::max();
  if constexpr (std::is_signed_v<T>) {
    if (d < -kHigh) return std::numeric_limits<T>::min();
  } else {
    if (d <= -1.0) return 0;
  }
  return static_cast<T>(d);
}

std::int64_t asInt64(const NumberData& n) {
  switch (n.kind) {
    case Kind::Real:
      return saturate<std::int64_t>(n.d);
    case Kind::Unsigned:
      return static_cast<std::int64_t>(n.u);
    default:
      return n.i;
  }
}

double asDouble(const NumberData& n) {
  switch (n.kind) {
    case Kind::Real:
      return n.d;
    case Kind::Unsigned:
      return static_cast<double>(n.u);
    default:
      return static_cast<double>(n.i);
  }
}

bool isZero(const NumberData& n) {
  switch (n.kind) {
    case Kind::Real:
      return n.d == 0.0;
    case Kind::Unsigned:
      return n.u == 0;
    default:
      return n.i == 0;
  }
}

// An integral value as a sign and a magnitude, when the number is one; used to compare and hash
// numbers of different kinds alike.
struct Integral {
  bool negative;
  std::uint64_t magnitude;
};
std::optional<Integral> integral(const NumberData& n) {
  switch (n.kind) {
    case Kind::Unsigned:
      return Integral{false, n.u};
    case Kind::Real: {
      if (!std::isfinite(n.d) || std::trunc(n.d) != n.d) return std::nullopt;
      const double m = std::fabs(n.d);
      if (m >= std::ldexp(1.0, 64)) return std::nullopt;
      return Integral{n.d < 0, static_cast<std::uint64_t>(m)};
    }
    default:
      if (n.i < 0) return Integral{true, 0 - static_cast<std::uint64_t>(n.i)};
      return Integral{false, static_cast<std::uint64_t>(n.i)};
  }
}

bool equal(const NumberData& a, const NumberData& b) {
  const auto ia = integral(a);
  const auto ib = integral(b);
  if (ia && ib) {
    if (ia->magnitude == 0 && ib->magnitude == 0) return true;
    return ia->negative == ib->negative && ia->magnitude == ib->magnitude;
  }
  if (ia || ib) return false;
  // Two reals that are not integers; NaN equals NaN so that a number is always equal to itself.
  return a.d == b.d || (std::isnan(a.d) && std::isnan(b.d));
}

std::string text(const NumberData& n) {
  char buffer[64];
  std::to_chars_result r{};
  switch (n.kind) {
    case Kind::Bool:
      return n.i != 0 ? "1" : "0";
    case Kind::Unsigned:
      r = std::to_chars(buffer, buffer + sizeof buffer, n.u);
      break;
    case Kind::Signed:
      r = std::to_chars(buffer, buffer + sizeof buffer, n.i);
      break;
    case Kind::Real:
      if (std::isnan(n.d)) return "nan";
      if (std::isinf(n.d)) return n.d > 0 ? "inf" : "-inf";
      r = n.single ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(n.d))
                   : std::to_chars(buffer, buffer + sizeof buffer, n.d);
      break;
  }
  return std::string(buffer, r.ptr);
}

// ---- Methods ----

id mNumberWithBool(id cls, SEL, objc::BOOL v) {
  return autorelease(make(objc::asClass(cls), of(Kind::Bool, v != objc::no ? 1 : 0)));
}
id mNumberWithInt(id cls, SEL, int v) {
  return autorelease(make(objc::asClass(cls), of(Kind::Signed, v)));
}
id mNumberWithInteger(id cls, SEL, long v) {
  return autorelease(make(objc::asClass(cls), of(Kind::Signed, v)));
}
id mNumberWithLongLong(id cls, SEL, long long v) {
  return autorelease(make(objc::asClass(cls), of(Kind::Signed, v)));
}
id mNumberWithUnsignedLongLong(id cls, SEL, unsigned long long v) {
  return autorelease(make(objc::asClass(cls), of(Kind::Unsigned, v)));
}
id mNumberWithFloat(id cls, SEL, float v) {
  NumberData n = of(Kind::Real, v);
  n.single = true;
  return autorelease(make(objc::asClass(cls), n));
}
id mNumberWithDouble(id cls, SEL, double v) {
  return autorelease(make(objc::asClass(cls), of(Kind::Real, v)));
}

objc::BOOL mBoolValue(id self, SEL) {
  return isZero(valueOf(self)) ? objc::no : objc::yes;
}

// The type encoding of the value it was made with, as on the device: "c" for a Boolean (a BOOL),
// "q" for a signed integer, "Q" for an unsigned one, "d" for a real number.
const char* mObjCType(id self, SEL) {
  switch (valueOf(self).kind) {
    case Kind::Bool:
      return "c";
    case Kind::Signed:
      return "q";
    case Kind::Unsigned:
      return "Q";
    case Kind::Real:
      return "d";
  }
  return "q";
}

int mIntValue(id self, SEL) {
  const NumberData n = valueOf(self);
  if (n.kind == Kind::Real) return saturate<int>(n.d);
  // Integers keep their low 32 bits, as on the device.
  const std::uint64_t bits = n.kind == Kind::Unsigned ? n.u : static_cast<std::uint64_t>(n.i);
  return static_cast<int>(static_cast<std::uint32_t>(bits));
}

long mIntegerValue(id self, SEL) {
  return static_cast<long>(asInt64(valueOf(self)));
}
long long mLongLongValue(id self, SEL) {
  return asInt64(valueOf(self));
}

unsigned long long mUnsignedLongLongValue(id self, SEL) {
  const NumberData n = valueOf(self);
  if (n.kind == Kind::Real) {
    return n.d < 0 ? static_cast<std::uint64_t>(saturate<std::int64_t>(n.d))
                   : saturate<std::uint64_t>(n.d);
  }
  return n.kind == Kind::Unsigned ? n.u : static_cast<std::uint64_t>(n.i);
}

double mDoubleValue(id self, SEL) {
  return asDouble(valueOf(self));
}
float mFloatValue(id self, SEL) {
  return static_cast<float>(asDouble(valueOf(self)));
}

objc::BOOL mIsEqualToNumber(id self, SEL, id other) {
  const auto theirs = numberValue(other);
  return theirs && equal(valueOf(self), *theirs) ? objc::yes : objc::no;
}

unsigned long mHash(id self, SEL) {
  const NumberData n = valueOf(self);
  std::uint64_t bits = 0;
  if (const auto i = integral(n)) {
    bits = i->magnitude == 0 ? 0 : (i->negative ? ~i->magnitude : i->magnitude);
  } else {
    const double d = std::isnan(n.d) ? std::numeric_limits<double>::quiet_NaN() : n.d;
    std::memcpy(&bits, &d, sizeof bits);
  }
  // NSUInteger has 32 bits on armv7: fold the high half (a double's exponent) in.
  if constexpr (sizeof(unsigned long) < sizeof bits) bits ^= bits >> 32;
  return static_cast<unsigned long>(bits);
}

id mDescription(id self, SEL) {
  return autorelease(newString(text(valueOf(self))));
}

void mDealloc(id self, SEL) {
  delete gNumber.of(self);
  gNumber.of(self) = nullptr;
  deallocSuper(self, numberClass());
}

}  // namespace

Class numberClass() {
  return gNumberClass.load(std::memory_order_acquire);
}

id newNumber(const NumberData& value) {
  return make(nullptr, value);
}

std::optional<NumberData> numberValue(id obj) {
  if (!objc::isKindOf(obj, numberClass())) return std::nullopt;
  return valueOf(obj);
}

void registerNumberClass() {
  objc::ClassBuilder b("NSNumber", rootClass());
  b.classMethod("numberWithBool:", guarded<&mNumberWithBool>)
      .classMethod("numberWithInt:", guarded<&mNumberWithInt>)
      .classMethod("numberWithInteger:", guarded<&mNumberWithInteger>)
      .classMethod("numberWithLongLong:", guarded<&mNumberWithLongLong>)
      .classMethod("numberWithUnsignedLongLong:", guarded<&mNumberWithUnsignedLongLong>)
      .classMethod("numberWithFloat:", guarded<&mNumberWithFloat>)
      .classMethod("numberWithDouble:", guarded<&mNumberWithDouble>)
      .method("boolValue", guarded<&mBoolValue>)
      .method("objCType", guarded<&mObjCType>)
      .method("intValue", guarded<&mIntValue>)
      .method("integerValue", guarded<&mIntegerValue>)
      .method("longLongValue", guarded<&mLongLongValue>)
      .method("unsignedLongLongValue", guarded<&mUnsignedLongLongValue>)
      .method("floatValue", guarded<&mFloatValue>)
      .method("doubleValue", guarded<&mDoubleValue>)
      .method("isEqualToNumber:", guarded<&mIsEqualToNumber>)
      .method("isEqual:", guarded<&mIsEqualToNumber>)
      .method("hash", guarded<&mHash>)
      .method("description", guarded<&mDescription>)
      .method("stringValue", guarded<&mDescription>)
      .method("dealloc", guarded<&mDealloc>);
  Class cls = finishWithFields(b, gNumber);
  gNumberClass.store(cls, std::memory_order_release);
}

}  // namespace foundation
