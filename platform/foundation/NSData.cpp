// NSData and NSDate, as far as a property list holds them: bytes, and a moment counted in
// seconds from the device's reference date, 2001-01-01 00:00:00 UTC.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/foundation/internal.hpp"

namespace foundation {
namespace {

struct Bytes {
  std::string bytes;
};
struct Moment {
  double sinceReferenceDate = 0;
};

Payload<Bytes> gBytes("_vyrBytes");
Payload<Moment> gMoment("_vyrMoment");
std::atomic<Class> gDataClass{nullptr};
std::atomic<Class> gDateClass{nullptr};

// Seconds from the Unix epoch to the reference date.
constexpr double kReferenceDateUnix = 978307200.0;

std::string_view bytesOf(id self) {
  const Bytes* b = gBytes.of(self);
  return b != nullptr ? std::string_view(b->bytes) : std::string_view();
}

double momentOf(id self) {
  const Moment* m = gMoment.of(self);
  return m != nullptr ? m->sinceReferenceDate : 0.0;
}

id makeData(Class cls, std::string_view bytes) {
  Owned obj(allocInstance(cls != nullptr ? cls : dataClass()));
  auto payload = std::make_unique<Bytes>();
  payload->bytes.assign(bytes);
  gBytes.of(obj.get()) = payload.release();
  return obj.take();
}

id makeDate(Class cls, double sinceReferenceDate) {
  Owned obj(allocInstance(cls != nullptr ? cls : dateClass()));
  gMoment.of(obj.get()) = new Moment{sinceReferenceDate};
  return obj.take();
}

unsigned long fnv(std::string_view bytes) {
  std::uint64_t h = 14695981039346656037ULL;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  return static_cast<unsigned long>(h);  // NSUInteger: its low 32 bits on armv7
}

// ---- NSData ----

id mDataWithBytesLength(id cls, SEL, const void* bytes, unsigned long length) {
  if (bytes == nullptr && length != 0) {
    logLine("*** +[NSData dataWithBytes:length:]: NULL bytes with length %lu", length);
    return nullptr;
  }
  const std::string_view view =
      length == 0 ? std::string_view() : std::string_view(static_cast<const char*>(bytes), length);
  return autorelease(makeData(objc::asClass(cls), view));
}

unsigned long mDataLength(id self, SEL) {
  return bytesOf(self).size();
}

const void* mDataBytes(id self, SEL) {
  const Bytes* b = gBytes.of(self);
  return b != nullptr ? b->bytes.data() : nullptr;
}

objc::BOOL mDataIsEqual(id self, SEL, id other) {
  const auto theirs = dataBytes(other);
  return theirs && *theirs == bytesOf(self) ? objc::yes : objc::no;
}

unsigned long mDataHash(id self, SEL) {
  return fnv(bytesOf(self));
}

// "<01020304 05>": the device's form, hex digits in groups of four bytes.
id mDataDescription(id self, SEL) {
  static const char kHex[] = "0123456789abcdef";
  const std::string_view b = bytesOf(self);
  std::string out = "<";
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    const auto v = static_cast<unsigned char>(b[i]);
    out += kHex[v >> 4];
    out += kHex[v & 15];
  }
  out += '>';
  return autorelease(newString(out));
}

void mDataDealloc(id self, SEL) {
  delete gBytes.of(self);
  gBytes.of(self) = nullptr;
  deallocSuper(self, dataClass());
}

// ---- NSDate ----

id mDateWithTimeInterval(id cls, SEL, double seconds) {
  return autorelease(makeDate(objc::asClass(cls), seconds));
}

double mTimeInterval(id self, SEL) {
  return momentOf(self);
}

objc::BOOL mDateIsEqual(id self, SEL, id other) {
  const auto theirs = dateValue(other);
  return theirs && *theirs == momentOf(self) ? objc::yes : objc::no;
}

unsigned long mDateHash(id self, SEL) {
  const double t = momentOf(self);
  unsigned long bits = 0;
  const double zeroed = t == 0.0 ? 0.0 : t;  // -0 and +0 are the same moment
  std::memcpy(&bits, &zeroed, sizeof bits);
  return bits;
}

// "2001-01-01 00:00:00 +0000", as the device shows a date.
id mDateDescription(id self, SEL) {
  const double unixSeconds = std::floor(momentOf(self) + kReferenceDateUnix);
  char text[64] = "";
  // Years beyond four digits are not shown as dates.
  if (std::isfinite(unixSeconds) && std::fabs(unixSeconds) < 2.5e11) {
    const auto seconds = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    if (gmtime_r(&seconds, &parts) != nullptr) {
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &parts);
    }
  }
  if (text[0] == '\0') std::snprintf(text, sizeof text, "%g", momentOf(self));
  return autorelease(newString(text));
}

void mDateDealloc(id self, SEL) {
  delete gMoment.of(self);
  gMoment.of(self) = nullptr;
  deallocSuper(self, dateClass());
}

}  // namespace

Class dataClass() {
  return gDataClass.load(std::memory_order_acquire);
}
Class dateClass() {
  return gDateClass.load(std::memory_order_acquire);
}

id newData(std::string_view bytes) {
  return makeData(nullptr, bytes);
}

std::optional<std::string_view> dataBytes(id obj) {
  if (!objc::isKindOf(obj, dataClass())) return std::nullopt;
  return bytesOf(obj);
}

id newDate(double sinceReferenceDate) {
  return makeDate(nullptr, sinceReferenceDate);
}

std::optional<double> dateValue(id obj) {
  if (!objc::isKindOf(obj, dateClass())) return std::nullopt;
  return momentOf(obj);
}

void registerDataClasses() {
  {
    objc::ClassBuilder b("NSData", rootClass());
    b.classMethod("dataWithBytes:length:", guarded<&mDataWithBytesLength>)
        .method("length", guarded<&mDataLength>)
        .method("bytes", guarded<&mDataBytes>)
        .method("isEqual:", guarded<&mDataIsEqual>)
        .method("hash", guarded<&mDataHash>)
        .method("description", guarded<&mDataDescription>)
        .method("dealloc", guarded<&mDataDealloc>);
    Class cls = finishWithFields(b, gBytes);
    gDataClass.store(cls, std::memory_order_release);
  }
  {
    objc::ClassBuilder b("NSDate", rootClass());
    b.classMethod("dateWithTimeIntervalSinceReferenceDate:", guarded<&mDateWithTimeInterval>)
        .method("timeIntervalSinceReferenceDate", guarded<&mTimeInterval>)
        .method("isEqual:", guarded<&mDateIsEqual>)
        .method("hash", guarded<&mDateHash>)
        .method("description", guarded<&mDateDescription>)
        .method("dealloc", guarded<&mDateDealloc>);
    Class cls = finishWithFields(b, gMoment);
    gDateClass.store(cls, std::memory_order_release);
  }
}

}  // namespace foundation
