// Property-list files: XML and binary read alike, dictionaries written and read back with their
// value kinds, and every malformed or hostile file read exactly like a missing one.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "tests/support/binary_plist.hpp"
#include "tests/support/temp_device.hpp"

namespace {

using ns::String;
using objc::id;

constexpr const char* kPath = "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";

String S(const char* text) {
  return String::withUTF8(text);
}

// A readable dump of a value and everything in it, kinds included as far as messages show them.
std::string dump(id obj) {
  ns::Object o(obj);
  if (obj == nullptr) return "nil";
  if (o.isKindOfClass(ns::Dictionary::cls())) {
    ns::Dictionary d(obj);
    ns::Array keys = d.allKeys();
    std::vector<std::string> parts;
    for (unsigned long i = 0; i < keys.count(); ++i) {
      parts.push_back(String(keys.objectAtIndex(i)).str() + "=" +
                      dump(d.objectForKey(keys.objectAtIndex(i))));
    }
    std::sort(parts.begin(), parts.end());
    std::string out = "{";
    for (const auto& p : parts) out += p + ";";
    return out + "}";
  }
  if (o.isKindOfClass(ns::Array::cls())) {
    ns::Array a(obj);
    std::string out = "(";
    for (unsigned long i = 0; i < a.count(); ++i) out += dump(a.objectAtIndex(i)) + ",";
    return out + ")";
  }
  const std::string description = String(objc::send<"description">(obj)).str();
  if (o.isKindOfClass(String::cls())) return "S:" + description;
  if (o.isKindOfClass(ns::Number::cls())) return "N:" + description;
  if (o.isKindOfClass(objc::getClass("NSDate"))) {
    return "T:" + std::to_string(objc::send<"timeIntervalSinceReferenceDate", double>(obj));
  }
  if (o.isKindOfClass(objc::getClass("NSData"))) return "D:" + description;
  return std::string("?") + objc::className(obj);
}

// The node types of a written file's values, through libplist itself.
std::string kinds(const std::string& bytes) {
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (root == nullptr) return "unreadable";
  std::vector<std::string> parts;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(root, &iter);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, iter, &key, &value);
    if (value == nullptr) break;
    parts.push_back(std::string(key) + ":" + std::to_string(plist_get_node_type(value)));
    std::free(key);
  }
  std::free(iter);
  plist_free(root);
  std::sort(parts.begin(), parts.end());
  std::string out;
  for (const auto& p : parts) out += p + " ";
  return out;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class PropertyLists : public testing::Test {
 protected:
  // The dictionary read from BYTES written at kPath, as an owned NSMutableDictionary (or nil).
  ns::MutableDictionary read(std::string_view bytes) {
    device_.write(kPath, bytes);
    return ns::MutableDictionary::allocInitWithContentsOfFile(S(kPath)).take();
  }
  // Whether BYTES read as nil; the read must not take long either.
  bool refused(std::string_view bytes) {
    const auto start = std::chrono::steady_clock::now();
    ns::MutableDictionary d = read(bytes);
    const bool isNil = d.isNil();
    d.release();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    return isNil;
  }

  vyrtest::TempDevice device_;
  ns::AutoreleasePool pool_;
};

const char* const kEveryKindXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>ENABLED1</key><true/>
  <key>ENABLED2</key><false/>
  <key>sig</key><integer>14</integer>
  <key>negative</key><integer>-7</integer>
  <key>alpha</key><real>0.5</real>
  <key>vyrColor1</key><string>#a1a1a1:1.0</string>
  <key>unicode</key><string>h&#xE9;llo &amp; &lt;&#x1F600;&gt;</string>
  <key>empty</key><string/>
  <key>when</key><date>2001-01-02T00:00:00Z</date>
  <key>bytes</key><data>AAEC/w==</data>
  <key>list</key><array><integer>1</integer><string>two</string><array/></array>
  <key>nested</key><dict><key>inner</key><true/></dict>
</dict>
</plist>
)";

std::string everyKindBinary() {
  vyrtest::BinaryPlist b(4);
  std::vector<std::pair<std::size_t, std::size_t>> entries;
  const auto put = [&](const char* key, std::size_t value) {
    entries.emplace_back(b.ascii(key), value);
  };
  put("ENABLED1", b.boolean(true));
  put("ENABLED2", b.boolean(false));
  put("sig", b.integer(14));
  put("negative", b.integer(static_cast<std::uint64_t>(-7)));  // the bits of -7
  put("alpha", b.real(0.5));
  put("vyrColor1", b.ascii("#a1a1a1:1.0"));
  put("unicode", b.utf16(u"h\u00e9llo & <\U0001F600>"));
  put("empty", b.ascii(""));
  put("when", b.date(86400.0));
  put("bytes", b.data(std::string("\x00\x01\x02\xff", 4)));
  put("list", b.array({b.integer(1), b.ascii("two"), b.array({})}));
  put("nested", b.dictionary({{b.ascii("inner"), b.boolean(true)}}));
  return b.bytes(b.dictionary(entries), 4);
}

// The guards in front of libplist mirror how its 2.2 releases tokenise XML and expand binary lists.
TEST(PropertyListReader, BuiltAgainstTheLibplistItsGuardsMirror) {
  EXPECT_EQ(std::string(VYR_LIBPLIST_VERSION).rfind("2.2.", 0), 0u)
      << "libplist " << VYR_LIBPLIST_VERSION
      << ": check plist_xml.cpp and plist_binary.cpp against it, then move the pin";
}

TEST_F(PropertyLists, XmlAndBinaryReadTheSame) {
  ns::MutableDictionary fromXml = read(kEveryKindXml);
  ASSERT_FALSE(fromXml.isNil());
  ns::MutableDictionary fromBinary = read(everyKindBinary());
  ASSERT_FALSE(fromBinary.isNil());
  const std::string expected =
      "{ENABLED1=N:1;ENABLED2=N:0;alpha=N:0.5;bytes=D:<000102ff>;empty=S:;list=(N:1,S:two,(),);"
      "negative=N:-7;nested={inner=N:1;};sig=N:14;unicode=S:h\xC3\xA9llo & <\xF0\x9F\x98\x80>;"
      "vyrColor1=S:#a1a1a1:1.0;when=T:86400.000000;}";
  EXPECT_EQ(dump(fromXml.get()), expected);
  EXPECT_EQ(dump(fromBinary.get()), expected);
  // What the system reads: Booleans, integers and colour strings under their keys.
  EXPECT_TRUE(fromXml.isKindOfClass(ns::MutableDictionary::cls()));
  EXPECT_TRUE(ns::Object(fromXml.objectForKey(S("ENABLED1").get())).boolValue());
  EXPECT_EQ(ns::Object(fromBinary.objectForKey(S("sig").get())).intValue(), 14);
  EXPECT_EQ(ns::Object(fromXml.objectForKey(S("negative").get())).intValue(), -7);
  EXPECT_EQ(fromXml.objectForKey(S("absent").get()), nullptr);
  EXPECT_EQ(String(fromBinary.objectForKey(S("unicode").get())).length(), 12u);
  // Nested containers are immutable; the root is of the class that was asked for.
  EXPECT_FALSE(ns::Object(fromXml.objectForKey(S("nested").get()))
                   .isKindOfClass(ns::MutableDictionary::cls()));
  ns::Dictionary immutable = ns::Dictionary::allocInitWithContentsOfFile(S(kPath)).take();
  EXPECT_FALSE(immutable.isKindOfClass(ns::MutableDictionary::cls()));
  EXPECT_EQ(dump(immutable.get()), expected);
  EXPECT_EQ(dump(ns::MutableDictionary::dictionaryWithContentsOfFile(S(kPath)).get()), expected);
  immutable.release();
  fromXml.release();
  fromBinary.release();
}

TEST_F(PropertyLists, WrittenDictionariesReadBackWithTheirKinds) {
  ns::MutableDictionary original = read(kEveryKindXml);
  ASSERT_FALSE(original.isNil());
  original.setObjectForKey(ns::Number::withLongLong(-5000000000LL).get(), S("big").get());
  original.setObjectForKey(ns::Number::withDouble(1.0).get(), S("oneReal").get());
  // Beyond the signed range, and dates outside 32-bit seconds (1901 to 2038) with a fraction.
  original.setObjectForKey(
      objc::send<"numberWithUnsignedLongLong:", objc::id>(ns::Number::cls(), ~0ULL),
      S("max").get());
  objc::id dateClass = objc::asId(objc::getClass("NSDate"));
  for (const auto& [key, seconds] :
       {std::pair{"y1700", -9.4e9 - 0.123456789}, std::pair{"y3000", 3.1e10 + 0.5}}) {
    original.setObjectForKey(
        objc::send<"dateWithTimeIntervalSinceReferenceDate:", objc::id>(dateClass, seconds),
        S(key).get());
  }
  const std::string expected = dump(original.get());
  const std::string copyPath = "/var/mobile/Library/Preferences/copy.plist";
  ASSERT_TRUE(original.writeToFile(S(copyPath.c_str()), true));
  const std::string written = readAll(device_.path(copyPath));
  EXPECT_EQ(written.substr(0, 8), "bplist00");  // binary, as the device writes
  EXPECT_EQ(kinds(written),
            "ENABLED1:0 ENABLED2:0 alpha:2 big:1 bytes:7 empty:3 list:4 max:1 negative:1 nested:5 "
            "oneReal:2 sig:1 unicode:3 vyrColor1:3 when:6 y1700:6 y3000:6 ");
  ns::MutableDictionary back =
      ns::MutableDictionary::allocInitWithContentsOfFile(S(copyPath.c_str())).take();
  ASSERT_FALSE(back.isNil());
  EXPECT_EQ(dump(back.get()), expected);
  EXPECT_EQ((objc::send<"longLongValue", long long>(back.objectForKey(S("big").get()))),
            -5000000000LL);
  EXPECT_EQ(
      (objc::send<"unsignedLongLongValue", unsigned long long>(back.objectForKey(S("max").get()))),
      ~0ULL);
  EXPECT_EQ(
      (objc::send<"timeIntervalSinceReferenceDate", double>(back.objectForKey(S("y1700").get()))),
      -9.4e9 - 0.123456789);
  // Overwriting leaves a complete file and no temporary ones beside it.
  back.removeObjectForKey(S("list").get());
  ASSERT_TRUE(back.writeToFile(S(copyPath.c_str()), false));
  std::size_t files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(device_.path("/var/mobile/Library/Preferences"))) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2u);
  ns::Dictionary again = ns::Dictionary::allocInitWithContentsOfFile(S(copyPath.c_str())).take();
  EXPECT_EQ(again.count(), original.count() - 1);
  again.release();
  back.release();
  original.release();
}

TEST_F(PropertyLists, WritingRefusesWhatAPropertyListCannotHold) {
  ns::MutableDictionary d = ns::MutableDictionary::dictionary();
  d.setObjectForKey(S("#ff0000").get(), S("vyrColor1").get());
  EXPECT_TRUE(d.writeToFile(S("/var/mobile/Library/Preferences/ok.plist"), true));
  EXPECT_FALSE(d.writeToFile(S("relative/path.plist"), true));
  EXPECT_FALSE(d.writeToFile(S("/var/mobile/../../../etc/escape.plist"), true));
  EXPECT_FALSE(d.writeToFile(S("/var/mobile/no/such/folder/x.plist"), true));
  EXPECT_FALSE(d.writeToFile(String(), true));
  testing::internal::CaptureStderr();
  ns::MutableDictionary withURL = ns::MutableDictionary::dictionary();
  withURL.setObjectForKey(ns::URL::withString(S("a://b")).get(), S("url").get());
  EXPECT_FALSE(withURL.writeToFile(S("/var/mobile/Library/Preferences/url.plist"), true));
  // A dictionary that holds itself, and one whose parts are shared 2^30 times over.
  ns::MutableDictionary loop = ns::MutableDictionary::dictionary();
  loop.setObjectForKey(loop.get(), S("self").get());
  EXPECT_FALSE(loop.writeToFile(S("/var/mobile/Library/Preferences/loop.plist"), true));
  loop.removeObjectForKey(S("self").get());
  ns::MutableDictionary wide = ns::MutableDictionary::dictionary();
  wide.setObjectForKey(S("leaf").get(), S("x").get());
  for (int level = 0; level < 30; ++level) {
    ns::MutableDictionary next = ns::MutableDictionary::dictionary();
    next.setObjectForKey(wide.get(), S("a").get());
    next.setObjectForKey(wide.get(), S("b").get());
    wide = next;
  }
  EXPECT_FALSE(wide.writeToFile(S("/var/mobile/Library/Preferences/wide.plist"), true));
  testing::internal::GetCapturedStderr();
  for (const char* name : {"url", "loop", "wide"}) {
    EXPECT_FALSE(std::filesystem::exists(
        device_.path("/var/mobile/Library/Preferences/" + std::string(name) + ".plist")));
  }
  // Bytes that are not UTF-8 are written as U+FFFD, so that the file stays readable.
  ns::MutableDictionary odd = ns::MutableDictionary::dictionary();
  odd.setObjectForKey(S("a\xFF"
                        "b")
                          .get(),
                      S("k\xC0").get());
  ASSERT_TRUE(odd.writeToFile(S("/var/mobile/Library/Preferences/odd.plist"), true));
  ns::Dictionary back =
      ns::Dictionary::allocInitWithContentsOfFile(S("/var/mobile/Library/Preferences/odd.plist"))
          .take();
  EXPECT_EQ(String(back.objectForKey(S("k\xEF\xBF\xBD").get())).str(),
            "a\xEF\xBF\xBD"
            "b");
  back.release();
}

TEST_F(PropertyLists, MissingMalformedAndForeignFilesReadAsNil) {
  EXPECT_TRUE(ns::MutableDictionary::allocInitWithContentsOfFile(S(kPath)).isNil());  // missing
  EXPECT_TRUE(ns::MutableDictionary::dictionaryWithContentsOfFile(S(kPath)).isNil());
  EXPECT_TRUE(ns::Dictionary::allocInitWithContentsOfFile(String()).isNil());
  EXPECT_TRUE(ns::Dictionary::allocInitWithContentsOfFile(S("relative.plist")).isNil());
  EXPECT_TRUE(ns::Dictionary::allocInitWithContentsOfFile(S("/var/mobile/Library")).isNil());
  EXPECT_TRUE(refused(""));
  EXPECT_TRUE(refused("bplist00"));
  EXPECT_TRUE(refused("this is not a property list"));
  EXPECT_TRUE(refused(std::string(4096, '\0')));
  EXPECT_TRUE(refused("<plist version=\"1.0\"><array><string>x</string></array></plist>"));
  EXPECT_TRUE(refused("<plist version=\"1.0\"><string>x</string></plist>"));
  EXPECT_TRUE(refused("<plist><dict><key>a</key><unknown/></dict></plist>"));
  EXPECT_TRUE(refused("<plist><dict><key>a</key><string>x"));
  const std::string xml = kEveryKindXml;
  const std::string binary = everyKindBinary();
  for (std::size_t cut : {std::size_t{10}, xml.size() / 2, xml.size() - 20}) {
    EXPECT_TRUE(refused(xml.substr(0, cut))) << cut;
  }
  for (std::size_t cut : {std::size_t{9}, std::size_t{40}, binary.size() / 2, binary.size() - 1}) {
    EXPECT_TRUE(refused(binary.substr(0, cut))) << cut;
  }
  // Binary files whose tables point elsewhere.
  vyrtest::BinaryPlist b(4);
  const std::size_t key = b.ascii("k");
  b.array({key, 99});
  EXPECT_TRUE(refused(b.bytes(b.dictionary({{key, 1}}), 4)));  // a reference beyond the objects
  EXPECT_TRUE(refused(b.bytes(77, 4)));                        // a root beyond the objects
  std::string badOffset = binary;
  badOffset[badOffset.size() - 32 + 6] = 9;  // offsets of nine bytes
  EXPECT_TRUE(refused(badOffset));
  std::string farTable = binary;
  farTable.replace(farTable.size() - 8, 8, vyrtest::BinaryPlist::bigEndian(1u << 30, 8));
  EXPECT_TRUE(refused(farTable));
  vyrtest::BinaryPlist numberKey(4);
  EXPECT_TRUE(refused(
      numberKey.bytes(numberKey.dictionary({{numberKey.integer(1), numberKey.integer(2)}}), 4)));
  // A file larger than the cap, even a valid one, reads as unreadable: 50 MB here.
  std::string big = "<plist><dict><key>a</key><string>";
  big += std::string(50u << 20, 'x');
  big += "</string></dict></plist>";
  EXPECT_TRUE(refused(big));
  // A text file that starts with a byte-order mark is read past it.
  ns::MutableDictionary bom = read("\xEF\xBB\xBF" + xml);
  EXPECT_FALSE(bom.isNil());
  bom.release();
}

TEST_F(PropertyLists, DeepNestingIsRefusedBeforeTheParserSeesIt) {
  const auto xmlNest = [](std::size_t levels, bool closed, const std::string& between = "") {
    std::string s = "<plist><dict><key>a</key>";
    for (std::size_t i = 1; i < levels; ++i) s += "<array>" + between;
    s += "<true/>";
    if (closed) {
      for (std::size_t i = 1; i < levels; ++i) s += "</array>";
      s += "</dict></plist>";
    }
    return s;
  };
  const auto binaryNest = [](std::size_t levels) {
    vyrtest::BinaryPlist b(4);
    const std::size_t key = b.ascii("a");
    std::size_t inner = b.boolean(true);
    for (std::size_t i = 1; i < levels; ++i) inner = b.array({inner});
    return b.bytes(b.dictionary({{key, inner}}), 4);
  };
  // 512 levels of containers are accepted, 513 are not.
  ns::MutableDictionary deepest = read(xmlNest(512, true));
  EXPECT_FALSE(deepest.isNil());
  deepest.release();
  deepest = read(binaryNest(512));
  EXPECT_FALSE(deepest.isNil());
  deepest.release();
  EXPECT_TRUE(refused(xmlNest(513, true)));
  EXPECT_TRUE(refused(binaryNest(513)));
  // 100,000 levels; the XML one cannot close within the size cap, which libplist would also free
  // level by level after its error.
  EXPECT_TRUE(refused(xmlNest(100000, false)));
  EXPECT_TRUE(refused(xmlNest(60000, true)));
  EXPECT_TRUE(refused(binaryNest(100000)));
  // Text that libplist skips cannot hide a level from the count, nor can closing tags that it
  // does not read as closing tags.
  EXPECT_TRUE(refused(xmlNest(600, false, "<!-- </array></array> -->")));
  EXPECT_TRUE(refused(xmlNest(600, false, "<array x=\"</array>\"/>")));
  EXPECT_TRUE(refused(xmlNest(600, false, "<?pi </array></array> ?>")));
  EXPECT_TRUE(refused(xmlNest(600, false, "<string><![CDATA[</array></array>]]></string>")));
  // An empty root stays libplist's parent for all that follows.
  std::string emptyRoot = "<plist><dict/><key>a</key>";
  for (int i = 0; i < 600; ++i) emptyRoot += "<array>";
  EXPECT_TRUE(refused(emptyRoot));
}

TEST_F(PropertyLists, SharedReferencesAndCyclesAreRefused) {
  // Each array holds the next one twice: a few hundred bytes that expand to 2^30 values.
  const auto doubling = [](int levels) {
    vyrtest::BinaryPlist b(4);
    std::size_t inner = b.ascii("leaf");
    for (int i = 0; i < levels; ++i) inner = b.array({inner, inner});
    const std::size_t key = b.ascii("a");
    return b.bytes(b.dictionary({{key, inner}}), 4);
  };
  EXPECT_LT(doubling(30).size(), 1000u);
  EXPECT_TRUE(refused(doubling(30)));
  EXPECT_TRUE(refused(doubling(16)));                 // 131,071 values: just past the limit
  ns::MutableDictionary shared = read(doubling(15));  // 65,535 values: fine
  ASSERT_FALSE(shared.isNil());
  EXPECT_EQ(ns::Array(shared.objectForKey(S("a").get())).count(), 2u);
  shared.release();
  // A cycle through two arrays, and an array that holds itself.
  vyrtest::BinaryPlist cycle(4);
  const std::size_t key = cycle.ascii("a");
  const std::size_t first = cycle.array({0});
  const std::size_t second = cycle.array({first});
  cycle.replace(first, cycle.arrayObject({second}));
  EXPECT_TRUE(refused(cycle.bytes(cycle.dictionary({{key, first}}), 4)));
  vyrtest::BinaryPlist self(4);
  const std::size_t selfKey = self.ascii("a");
  const std::size_t loop = self.array({1});
  EXPECT_TRUE(refused(self.bytes(self.dictionary({{selfKey, loop}}), 4)));
  // A large string shared many times over is refused for its bytes, not its count.
  vyrtest::BinaryPlist bytes(4);
  const std::size_t blob = bytes.ascii(std::string(400000, 'x'));
  const std::size_t many = bytes.array(std::vector<std::size_t>(100, blob));
  EXPECT_TRUE(refused(bytes.bytes(bytes.dictionary({{bytes.ascii("a"), many}}), 4)));
}

TEST_F(PropertyLists, DamagedFilesNeverCrashTheReader) {
  // Random damage to valid files, in both formats: each read either fails or gives a
  // dictionary, and nothing reads outside its buffer (the sanitizer builds check that).
  std::mt19937 random(20250520);
  const std::string sources[] = {everyKindBinary(), kEveryKindXml};
  int read = 0;
  for (const std::string& source : sources) {
    for (int round = 0; round < 1500; ++round) {
      std::string damaged = source;
      const int edits = 1 + static_cast<int>(random() % 4);
      for (int e = 0; e < edits; ++e) {
        const std::size_t at = random() % damaged.size();
        switch (random() % 3) {
          case 0:
            damaged[at] = static_cast<char>(random());
            break;
          case 1:
            damaged.erase(at, 1 + random() % 8);
            break;
          default:
            damaged.insert(at, 1, "<>/\"!-[]\x0F\xFF"[random() % 11]);
            break;
        }
        if (damaged.empty()) damaged = "x";
      }
      // A new file each time: truncating one in place makes the file system flush it.
      const std::string path =
          "/var/mobile/Library/Preferences/damaged" + std::to_string(round) + ".plist";
      device_.write(path, damaged);
      ns::AutoreleasePool pool;
      ns::MutableDictionary d =
          ns::MutableDictionary::dictionaryWithContentsOfFile(S(path.c_str()));
      device_.remove(path);
      if (!d.isNil()) {
        ++read;
        EXPECT_TRUE(d.isKindOfClass(ns::Dictionary::cls()));
        dump(d.get());
      }
    }
  }
  EXPECT_GT(read, 0);
}

}  // namespace
