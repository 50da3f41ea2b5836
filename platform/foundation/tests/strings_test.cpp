// NSString: lengths in UTF-16 units, the operations the colour helpers rely on, the device's
// readings of numbers in text, and constant strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"

namespace {

using ns::String;

String S(const char* text) {
  return String::withUTF8(text);
}

std::vector<std::string> pieces(const char* text, const char* separator) {
  ns::Array parts = S(text).componentsSeparatedByString(S(separator));
  std::vector<std::string> out;
  for (unsigned long i = 0; i < parts.count(); ++i) {
    out.push_back(String(parts.objectAtIndex(i)).str());
  }
  return out;
}

TEST(StringReadings, BoolValueFollowsTheDeviceRules) {
  ns::AutoreleasePool pool;
  for (const char* yes : {"YES", "yes", "Y", "true", "T", "t", "1", "9", "  1", "\n\tY", "+1", "-1",
                          "007", "-0009", "+00t", "1abc", "  yellow"}) {
    EXPECT_TRUE(S(yes).boolValue()) << '"' << yes << '"';
  }
  for (const char* no : {"", "NO", "no", "false", "0", "000", "-0", "+", "-", "++1", "a1", "x", " ",
                         "0x1", "N", "F", "+-1", ".5"}) {
    EXPECT_FALSE(S(no).boolValue()) << '"' << no << '"';
  }
}

TEST(StringReadings, IntegerValuesSaturateAndStopAtTheFirstNonDigit) {
  ns::AutoreleasePool pool;
  const struct {
    const char* text;
    int asInt;
    long long asLongLong;
  } cases[] = {
      {"42", 42, 42},
      {"  -17xyz", -17, -17},
      {"+8", 8, 8},
      {"\t\n 12 34", 12, 12},
      {"", 0, 0},
      {"abc", 0, 0},
      {"-", 0, 0},
      {"3.99", 3, 3},
      {"0x1F", 0, 0},
      {"2147483647", INT_MAX, 2147483647LL},
      {"2147483648", INT_MAX, 2147483648LL},
      {"-2147483648", INT_MIN, -2147483648LL},
      {"-2147483649", INT_MIN, -2147483649LL},
      {"9223372036854775807", INT_MAX, LLONG_MAX},
      {"9223372036854775808", INT_MAX, LLONG_MAX},
      {"-9223372036854775808", INT_MIN, LLONG_MIN},
      {"-99999999999999999999999", INT_MIN, LLONG_MIN},
      {"000000000000000000000000000012", 12, 12},
  };
  for (const auto& c : cases) {
    const String s = S(c.text);
    EXPECT_EQ(s.intValue(), c.asInt) << c.text;
    EXPECT_EQ((objc::send<"longLongValue", long long>(s.get())), c.asLongLong) << c.text;
    // NSInteger saturates at its own width: 64 bits, or 32 on a 32-bit device.
    EXPECT_EQ((objc::send<"integerValue", long>(s.get())),
              std::clamp<long long>(c.asLongLong, LONG_MIN, LONG_MAX))
        << c.text;
  }
}

TEST(StringReadings, RealValuesReadADecimalPrefixOnly) {
  ns::AutoreleasePool pool;
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"1.000000", 1.0}, {"0.5", 0.5},   {"  -2.5e3abc", -2500.0},
      {"+.25", 0.25},    {"5.", 5.0},    {"1e", 1.0},
      {"1e+", 1.0},      {"2E-2", 0.02}, {"", 0.0},
      {"abc", 0.0},      {".", 0.0},     {"-", 0.0},
      {"0x1A", 0.0},     {"inf", 0.0},   {"nan", 0.0},
      {"Infinity", 0.0}, {"1,5", 1.0},   {"1e-400", 0.0},
      {"\n 7", 7.0},     {"1.5.5", 1.5},
  };
  for (const auto& c : cases) {
    const String s = S(c.text);
    EXPECT_EQ((objc::send<"doubleValue", double>(s.get())), c.value) << c.text;
    EXPECT_EQ(s.floatValue(), static_cast<float>(c.value)) << c.text;
  }
  EXPECT_EQ((objc::send<"doubleValue", double>(S("1e400").get())), HUGE_VAL);
  EXPECT_EQ((objc::send<"doubleValue", double>(S("-1e99999999999999").get())), -HUGE_VAL);
  EXPECT_EQ(S("1e39").floatValue(), HUGE_VALF);
  EXPECT_EQ((objc::send<"doubleValue", double>(S("0.000000000000000000000000000001e30").get())),
            1.0);
  // Exact: 0.1 is the nearest double, not something a locale or a float step made.
  EXPECT_EQ((objc::send<"doubleValue", double>(S("0.1").get())), 0.1);
  EXPECT_EQ(S("0.1").floatValue(), 0.1f);
}

TEST(StringOperations, LengthCountsUTF16UnitsAndBytesAreKept) {
  ns::AutoreleasePool pool;
  EXPECT_EQ(S("").length(), 0u);
  EXPECT_EQ(S("#a1a1a1").length(), 7u);
  EXPECT_EQ(S("\xC3\xA9").length(), 1u);          // é: two bytes, one unit
  EXPECT_EQ(S("\xE2\x82\xAC").length(), 1u);      // €: three bytes, one unit
  EXPECT_EQ(S("\xF0\x9F\x98\x80").length(), 2u);  // 😀: four bytes, a surrogate pair
  EXPECT_EQ(S("a\xFF"
              "b")
                .length(),
            3u);                              // a stray byte is one unit
  EXPECT_EQ(S("\xED\xA0\x80").length(), 3u);  // an encoded surrogate is not UTF-8
  EXPECT_EQ(S("\xC3").length(), 1u);          // a cut sequence
  EXPECT_EQ(S("\xF0\x9F\x98").length(), 3u);
  const char invalid[] = "x\xFF\xC0\x80\xF5y";
  EXPECT_STREQ(S(invalid).UTF8String(), invalid);
  EXPECT_TRUE(String((objc::send<"stringWithUTF8String:", objc::id>(
                         String::cls(), static_cast<const char*>(nullptr))))
                  .isNil());
  objc::id fresh = objc::send<"alloc">(String::cls());
  EXPECT_EQ((objc::send<"initWithUTF8String:", objc::id>(fresh, static_cast<const char*>(nullptr))),
            nullptr);
  String owned(
      (objc::send<"initWithUTF8String:", objc::id>(objc::send<"alloc">(String::cls()), "owned")));
  EXPECT_EQ(owned.str(), "owned");
  owned.release();
}

TEST(StringOperations, PrefixSuffixAndSubstring) {
  ns::AutoreleasePool pool;
  EXPECT_TRUE(S("#a1a1a1").hasPrefix(S("#")));
  EXPECT_FALSE(S("a1a1a1").hasPrefix(S("#")));
  EXPECT_FALSE(S("abc").hasPrefix(S("")));  // as on the device: "" is nobody's prefix
  EXPECT_FALSE(S("").hasPrefix(S("")));
  EXPECT_FALSE(S("ab").hasPrefix(S("abc")));
  EXPECT_FALSE(S("abc").hasPrefix(String()));
  EXPECT_TRUE((objc::send<"hasSuffix:", objc::BOOL>(S("abc").get(), S("bc").get())));
  EXPECT_FALSE((objc::send<"hasSuffix:", objc::BOOL>(S("abc").get(), S("").get())));
  EXPECT_FALSE((objc::send<"hasSuffix:", objc::BOOL>(S("c").get(), S("abc").get())));

  EXPECT_EQ(S("#a1a1a1").substringFromIndex(1).str(), "a1a1a1");
  EXPECT_EQ(S("##abcdef").substringFromIndex(1).str(), "#abcdef");
  EXPECT_EQ(S("\xC3\xA9x").substringFromIndex(1).str(), "x");
  EXPECT_EQ(S("abc").substringFromIndex(3).str(), "");
  EXPECT_EQ(S("a\xF0\x9F\x98\x80z").substringFromIndex(3).str(), "z");
  // Between the halves of a surrogate pair: the lone half reads as U+FFFD, the length holds.
  const String half = S("a\xF0\x9F\x98\x80z").substringFromIndex(2);
  EXPECT_EQ(half.str(), "\xEF\xBF\xBDz");
  EXPECT_EQ(half.length(), 2u);

  testing::internal::CaptureStderr();
  const String beyond = S("abc").substringFromIndex(4);
  const String huge = S("").substringFromIndex(~0UL);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(beyond.isNil());
  EXPECT_EQ(beyond.str(), "");
  EXPECT_EQ(huge.str(), "");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_NE(log.find("substringFromIndex:"), std::string::npos) << log;
}

TEST(StringOperations, ComponentsAndRanges) {
  ns::AutoreleasePool pool;
  using V = std::vector<std::string>;
  EXPECT_EQ(pieces("#a1a1a1:1.0", ":"), (V{"#a1a1a1", "1.0"}));
  EXPECT_EQ(pieces("#ff0000:0.5:0.2", ":"), (V{"#ff0000", "0.5", "0.2"}));
  EXPECT_EQ(pieces("#ff0000:", ":"), (V{"#ff0000", ""}));
  EXPECT_EQ(pieces(":0.25", ":"), (V{"", "0.25"}));
  EXPECT_EQ(pieces("a::b", ":"), (V{"a", "", "b"}));
  EXPECT_EQ(pieces(":", ":"), (V{"", ""}));
  EXPECT_EQ(pieces("", ":"), (V{""}));
  EXPECT_EQ(pieces("#a1a1a1", ":"), (V{"#a1a1a1"}));
  EXPECT_EQ(pieces("a--b---c", "--"), (V{"a", "b", "-c"}));
  EXPECT_EQ(pieces("abc", ""), (V{"abc"}));
  EXPECT_EQ(pieces("x\xC3\xA9y\xC3\xA9", "\xC3\xA9"), (V{"x", "y", ""}));

  const auto range = [](const char* text, const char* needle) {
    return S(text).rangeOfString(S(needle));
  };
  EXPECT_EQ(range("#a1:1.0", ":").location, 3u);
  EXPECT_EQ(range("#a1:1.0", ":").length, 1u);
  EXPECT_EQ(range("\xF0\x9F\x98\x80\xC3\xA9:", ":").location, 3u);  // counted in UTF-16 units
  EXPECT_EQ(range("a\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9").length, 2u);
  EXPECT_EQ(range("abc", "bc").location, 1u);
  EXPECT_EQ(range("#a1a1a1", ":").location, objc::NSNotFound);
  EXPECT_EQ(range("abc", "").location, objc::NSNotFound);
  EXPECT_EQ(range("", ":").location, objc::NSNotFound);
  EXPECT_EQ(S("abc").rangeOfString(String()).location, objc::NSNotFound);
}

TEST(StringOperations, EqualityHashCopyAndAppend) {
  ns::AutoreleasePool pool;
  const String a = S("#a1a1a1");
  const String b = S("#a1a1a1");
  EXPECT_NE(a.get(), b.get());
  EXPECT_TRUE(a.isEqualToString(b));
  EXPECT_TRUE((objc::send<"isEqual:", objc::BOOL>(a.get(), b.get())));
  EXPECT_EQ((objc::send<"hash", unsigned long>(a.get())),
            (objc::send<"hash", unsigned long>(b.get())));
  EXPECT_FALSE(a.isEqualToString(S("#A1A1A1")));
  EXPECT_FALSE(a.isEqualToString(String()));
  EXPECT_FALSE((objc::send<"isEqual:", objc::BOOL>(a.get(), ns::Number::withInt(1).get())));
  EXPECT_EQ(objc::send<"description">(a.get()), a.get());
  objc::id copy = objc::send<"copy">(a.get());
  EXPECT_EQ(copy, a.get());
  (objc::send<"release", void>(copy));
  const String joined(objc::send<"stringByAppendingString:">(S("ab").get(), S("cd").get()));
  EXPECT_EQ(joined.str(), "abcd");
  EXPECT_EQ(joined.length(), 4u);
  const String same(objc::send<"stringByAppendingString:">(S("ab").get(), objc::id{}));
  EXPECT_EQ(same.str(), "ab");
}

TEST(ConstantStrings, OneImmortalObjectPerTextAcrossThreads) {
  objc::id first = foundation::constantString("com.belvorin.VYR/settingschanged");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(String(first).str(), "com.belvorin.VYR/settingschanged");
  EXPECT_EQ(foundation::constantString("com.belvorin.VYR/settingschanged"), first);
  EXPECT_NE(foundation::constantString("other"), first);
  EXPECT_EQ(foundation::constantString(nullptr), nullptr);
  const long count = foundation::retainCount(first);
  for (int i = 0; i < 3; ++i) foundation::release(first);
  foundation::retain(first);
  EXPECT_EQ(foundation::retainCount(first), count);
  EXPECT_EQ(String(first).length(), 32u);

  // Threads racing for the same new texts all get the one object per text.
  constexpr int kThreads = 4;
  std::vector<std::set<objc::id>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 200; ++i) {
        const std::string text = "race-" + std::to_string(i % 20);
        seen[static_cast<std::size_t>(t)].insert(foundation::constantString(text.c_str()));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[static_cast<std::size_t>(t)], seen[0]);
  EXPECT_EQ(seen[0].size(), 20u);
}

TEST(URLs, SchemeIsRequiredAndTextIsKept) {
  ns::AutoreleasePool pool;
  const ns::URL url = ns::URL::withString(S("cydia://package/org.thebigboss.libcolorpicker"));
  ASSERT_FALSE(url.isNil());
  EXPECT_EQ(url.absoluteString().str(), "cydia://package/org.thebigboss.libcolorpicker");
  EXPECT_EQ(String(objc::send<"scheme">(url.get())).str(), "cydia");
  EXPECT_FALSE(ns::URL::withString(S("https://example.com/a%20b?q=1#f")).isNil());
  EXPECT_FALSE(ns::URL::withString(S("mailto:x@y")).isNil());
  for (const char* bad : {"", "no scheme", "package/org.thebigboss", ":nothing", "1abc://x",
                          "cydia://a b", "http://x/%zz", "http://x/%4", "http://\xC3\xA9"}) {
    EXPECT_TRUE(ns::URL::withString(S(bad)).isNil()) << bad;
  }
  EXPECT_TRUE(ns::URL::withString(String()).isNil());
}

}  // namespace
