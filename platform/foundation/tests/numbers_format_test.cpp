// NSNumber's readings and equality, stringWithFormat: and NSLog.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "platform/foundation/facade.hpp"

namespace {

using ns::Number;
using ns::String;
using objc::id;

Number fromULL(unsigned long long v) {
  return Number(objc::send<"numberWithUnsignedLongLong:", id>(Number::cls(), v));
}
Number fromFloat(float v) {
  return Number(objc::send<"numberWithFloat:", id>(Number::cls(), v));
}
long long asLongLong(const Number& n) {
  return (objc::send<"longLongValue", long long>(n.get()));
}
double asDouble(const Number& n) {
  return (objc::send<"doubleValue", double>(n.get()));
}
std::string text(id obj) {
  return String(objc::send<"description">(obj)).str();
}
bool equal(const Number& a, const Number& b) {
  return (objc::send<"isEqual:", objc::BOOL>(a.get(), b.get())) != 0;
}
unsigned long hashOf(const Number& n) {
  return (objc::send<"hash", unsigned long>(n.get()));
}

template <class... A>
std::string format(const char* fmt, A... args) {
  return String(objc::sendVariadic<id>(objc::asId(String::cls()), objc::sel<"stringWithFormat:">(),
                                       String::withUTF8(fmt).get(), args...))
      .str();
}

TEST(NumberReadings, IntegersTruncateAndRealsSaturate) {
  ns::AutoreleasePool pool;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // 64-bit integers keep their low 32 bits in intValue.
  EXPECT_EQ(Number::withLongLong(0x100000005LL).intValue(), 5);
  EXPECT_EQ(Number::withLongLong(0x80000000LL).intValue(), INT_MIN);
  EXPECT_EQ(Number::withLongLong(-1).intValue(), -1);
  EXPECT_EQ(fromULL(ULLONG_MAX).intValue(), -1);
  EXPECT_EQ(asLongLong(fromULL(ULLONG_MAX)), -1);
  EXPECT_EQ((objc::send<"unsignedLongLongValue", unsigned long long>(fromULL(ULLONG_MAX).get())),
            ULLONG_MAX);
  EXPECT_EQ(Number::withInt(-7).intValue(), -7);
  // Reals go toward zero and stop at the limits; NaN reads 0.
  EXPECT_EQ(Number::withDouble(3.99).intValue(), 3);
  EXPECT_EQ(Number::withDouble(-3.99).intValue(), -3);
  EXPECT_EQ(Number::withDouble(1e20).intValue(), INT_MAX);
  EXPECT_EQ(Number::withDouble(-1e20).intValue(), INT_MIN);
  EXPECT_EQ(Number::withDouble(2147483647.9).intValue(), INT_MAX);
  EXPECT_EQ(Number::withDouble(-2147483648.9).intValue(), INT_MIN);
  EXPECT_EQ(Number::withDouble(nan).intValue(), 0);
  EXPECT_EQ(Number::withDouble(inf).intValue(), INT_MAX);
  EXPECT_EQ(Number::withDouble(-inf).intValue(), INT_MIN);
  EXPECT_EQ(asLongLong(Number::withDouble(1e300)), LLONG_MAX);
  EXPECT_EQ(asLongLong(Number::withDouble(-1e300)), LLONG_MIN);
  EXPECT_EQ(asLongLong(Number::withDouble(9223372036854775807.0)), LLONG_MAX);
  EXPECT_EQ(asLongLong(Number::withDouble(nan)), 0);
  EXPECT_EQ((objc::send<"integerValue", long>(Number::withDouble(-2.5).get())), -2);
  EXPECT_EQ(
      (objc::send<"unsignedLongLongValue", unsigned long long>(Number::withDouble(1e30).get())),
      ULLONG_MAX);
  // Booleans read as 0 and 1; any non-zero value is true.
  EXPECT_EQ(Number::withBool(true).intValue(), 1);
  EXPECT_FALSE(Number::withBool(false).boolValue());
  EXPECT_TRUE(Number::withInt(2).boolValue());
  EXPECT_TRUE(Number::withDouble(0.1).boolValue());
  EXPECT_FALSE(Number::withDouble(-0.0).boolValue());
  EXPECT_TRUE(fromULL(1ULL << 40).boolValue());
  EXPECT_TRUE(Number::withLongLong(1LL << 40).boolValue());
  EXPECT_FLOAT_EQ(Number::withInt(3).floatValue(), 3.0f);
  EXPECT_EQ(fromFloat(0.1f).floatValue(), 0.1f);
  EXPECT_EQ(asDouble(Number::withDouble(0.1)), 0.1);
  EXPECT_EQ(asDouble(fromULL(ULLONG_MAX)), 18446744073709551616.0);
  EXPECT_EQ(Number::withDouble(1e300).floatValue(), HUGE_VALF);
  EXPECT_EQ(asDouble(Number::withBool(true)), 1.0);
}

TEST(NumberEquality, ValuesCompareAcrossKindsAndHashAlike) {
  ns::AutoreleasePool pool;
  EXPECT_TRUE(equal(Number::withBool(true), Number::withInt(1)));
  EXPECT_TRUE(equal(Number::withInt(1), Number::withDouble(1.0)));
  EXPECT_TRUE(equal(Number::withLongLong(-5), Number::withDouble(-5.0)));
  EXPECT_TRUE(equal(Number::withInt(0), Number::withDouble(-0.0)));
  EXPECT_TRUE(equal(fromULL(7), Number::withLongLong(7)));
  EXPECT_TRUE(equal(Number::withDouble(0.5), fromFloat(0.5f)));
  EXPECT_FALSE(equal(Number::withDouble(1.5), Number::withInt(1)));
  EXPECT_FALSE(equal(fromULL(ULLONG_MAX), Number::withLongLong(-1)));
  EXPECT_FALSE(equal(Number::withInt(1), Number(String::withUTF8("1").get())));
  EXPECT_FALSE(equal(Number::withInt(1), Number()));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(equal(Number::withDouble(nan), Number::withDouble(nan)));
  EXPECT_EQ(hashOf(Number::withBool(true)), hashOf(Number::withDouble(1.0)));
  EXPECT_EQ(hashOf(Number::withInt(-5)), hashOf(Number::withDouble(-5.0)));
  EXPECT_EQ(hashOf(Number::withInt(0)), hashOf(Number::withDouble(-0.0)));
  EXPECT_EQ(hashOf(Number::withDouble(0.25)), hashOf(fromFloat(0.25f)));

  EXPECT_EQ(text(Number::withBool(true).get()), "1");
  EXPECT_EQ(text(Number::withBool(false).get()), "0");
  EXPECT_EQ(text(Number::withInt(-3).get()), "-3");
  EXPECT_EQ(text(fromULL(ULLONG_MAX).get()), "18446744073709551615");
  EXPECT_EQ(text(Number::withDouble(0.5).get()), "0.5");
  EXPECT_EQ(text(Number::withDouble(1.0).get()), "1");
  EXPECT_EQ(text(Number::withDouble(0.1).get()), "0.1");
  EXPECT_EQ(text(fromFloat(0.1f).get()), "0.1");
  EXPECT_EQ(String(objc::send<"stringValue">(Number::withInt(6).get())).str(), "6");
}

TEST(Format, ConversionsFlagsAndWidths) {
  ns::AutoreleasePool pool;
  EXPECT_EQ(format("/var/mobile/Library/Preferences/%@.plist",
                   String::withUTF8("com.belvorin.VYR").get()),
            "/var/mobile/Library/Preferences/com.belvorin.VYR.plist");
  EXPECT_EQ(format("Error, invalid char '%d' in hex number", -61),
            "Error, invalid char '-61' in hex number");
  EXPECT_EQ(format("%i|%u|%ld|%lu|%lld|%llu", -1, 4000000000u, -2L, 3UL, -4LL, 5ULL),
            "-1|4000000000|-2|3|-4|5");
  EXPECT_EQ(format("%x|%X|%02X%02X%02X|%#x|%o", 255, 255, 161, 2, 15, 16, 8),
            "ff|FF|A1020F|0x10|10");
  EXPECT_EQ(format("#%02X%02X%02X:%f", 161, 161, 161, 1.0), "#A1A1A1:1.000000");
  EXPECT_EQ(format("%.2f|%g|%e|%5.1f|%-6.2f|", 0.125, 0.5, 1500.0, 2.25, 1.5),
            "0.12|0.5|1.500000e+03|  2.2|1.50  |");
  EXPECT_EQ(
      format("%s|%s|%5s|%-5s|%.2s", "abc", static_cast<const char*>(nullptr), "ab", "ab", "xyz"),
      "abc|(null)|   ab|ab   |xy");
  EXPECT_EQ(format("%c%c|%C", 'o', 'k', 0x20AC), "ok|\xE2\x82\xAC");
  EXPECT_EQ(format("%*d|%-*d|%.*f", 4, 7, 3, 8, 1, 2.25), "   7|8  |2.2");
  EXPECT_EQ(format("100%% %hhd %hd %zu %zd", 257, 65537, static_cast<std::size_t>(9),
                   static_cast<long>(-9)),
            "100% 1 1 9 -9");
  EXPECT_EQ(format("%Lf", 2.5L), "2.500000");
  EXPECT_EQ(format("%p", reinterpret_cast<void*>(0x1234)), "0x1234");
  EXPECT_EQ(format("%+d % d", 5, 5), "+5  5");
}

TEST(Format, ObjectsNilAndMalformedFormats) {
  ns::AutoreleasePool pool;
  EXPECT_EQ(format("[%@]", id{}), "[(null)]");
  EXPECT_EQ(format("%@ %@", Number::withInt(3).get(), Number::withDouble(0.5).get()), "3 0.5");
  EXPECT_EQ(format("%5@|%-4@|%.2@", String::withUTF8("ab").get(), String::withUTF8("c").get(),
                   String::withUTF8("xyz").get()),
            "   ab|c   |xy");
  const std::string url = format("%@", ns::URL::withString(String::withUTF8("a://b")).get());
  EXPECT_EQ(url, "a://b");
  EXPECT_EQ(format("%@", ns::MutableDictionary::dictionary().get()), "{\n}");
  // Conversions that cannot be honoured end the formatting; nothing more is read.
  EXPECT_EQ(format("a%nb", 1), "a%nb");
  EXPECT_EQ(format("x%d %q", 1, 2), "x1 %q");
  EXPECT_EQ(format("%ls!", L"w"), "%ls!");
  EXPECT_EQ(format("%1$d", 5), "%1$d");
  EXPECT_EQ(format("100%"), "100%");
  EXPECT_EQ(format("%-"), "%-");
  EXPECT_EQ(format(""), "");
  // Field widths are capped: a format cannot ask for gigabytes of padding.
  EXPECT_EQ(format("%999999999999d", 1).size(), 100000u);
  EXPECT_EQ(format("%.999999999f", 1.0).size(), 100002u);
  EXPECT_EQ(format("%*d", INT_MIN, 1).size(), 100000u);
  EXPECT_TRUE(String(objc::sendVariadic<id>(objc::asId(String::cls()),
                                            objc::sel<"stringWithFormat:">(), id{}))
                  .isNil());
}

TEST(NSLogOutput, WritesOneLinePerCallToStandardError) {
  ns::AutoreleasePool pool;
  testing::internal::CaptureStderr();
  NSLog(String::withUTF8("Error, invalid char '%d' in hex number").get(), 103);
  NSLog(String::withUTF8("ends with newline %@\n").get(), String::withUTF8("x").get());
  NSLog(String::withUTF8("%@ %@").get(), id{}, Number::withBool(false).get());
  NSLog(id{});
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "Error, invalid char '103' in hex number\n"
            "ends with newline x\n"
            "(null) 0\n"
            "(null)\n");
}

}  // namespace
