// Bad input, named and tried: preferences files and values that no settings pane writes, each
// read by the library in a host through the round the fuzz targets run. None may crash or stall
// the host; a file the library cannot read must leave every setting where the last good file put
// it, and a value of a kind nothing expects must never be trusted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/rounds/host_round.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "tests/support/binary_plist.hpp"
#include "tests/support/temp_device.hpp"
#include "tweak/resolve.hpp"

namespace vyrtest {
namespace {

using vyrfuzz::HostAnswers;
using vyrfuzz::Rgba;
using Entries = std::vector<std::pair<std::string, std::string>>;

// Far longer than any round here takes, sanitizers included: a round this slow has stalled.
constexpr double kStallSeconds = 2.0;

Rgba palette(int index) {
  ns::AutoreleasePool pool;
  return ui::Color(presetPaletteColour(index)).components();
}

// A colour as a colour string gives it: each byte divided by 255 in single precision.
Rgba picked(int r, int g, int b, double a = 1.0) {
  const auto c = [](int v) { return static_cast<double>(static_cast<float>(v) / 255.0f); };
  return {c(r), c(g), c(b), a};
}

// Something for every element: presets for sig, bat, lod and rec, sbsig switched off, txt in its
// custom colour, and the lock screen in its own style.
const Entries kKnown = {
    {"ENABLED3", "<true/>"}, {"vyrColor3", "<string>#123456:0.5</string>"},
    {"sigs", "<true/>"},     {"sig", "<integer>13</integer>"},
    {"sbsigs", "<false/>"},  {"sbsig", "<integer>2</integer>"},
    {"batt", "<true/>"},     {"bat", "<integer>2</integer>"},
    {"load", "<true/>"},     {"lod", "<integer>9</integer>"},
    {"recents", "<true/>"},  {"rec", "<integer>12</integer>"},
    {"lssame", "<false/>"},
};

// The hooks of each element, in install order (see HostAnswers).
enum Hook : std::size_t {
  kSig,
  kSbsig,
  kNewText,
  kNewBattery,
  kText,
  kBattery,
  kBatteryStyle,
  kSpinner,
  kRefresh,
  kLegibility
};

std::string xml(const Entries& entries) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : entries) out += "<key>" + key + "</key>" + value + "\n";
  return out + "</dict>\n</plist>\n";
}

// ENTRIES with KEY set to VALUE (added when they lack it).
Entries with(Entries e, const std::string& key, const std::string& value) {
  bool found = false;
  for (auto& [k, v] : e) {
    if (k == key) {
      v = value;
      found = true;
    }
  }
  if (!found) e.emplace_back(key, value);
  return e;
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    vyrfuzz::startHost();
    restoreKnown();
    // The state every case starts from, as the known file sets it.
    ASSERT_EQ(known_.colours[kSig], palette(13));
    ASSERT_EQ(known_.colours[kSbsig], vyrfuzz::hostArgumentColour());
    ASSERT_EQ(known_.colours[kText], picked(0x12, 0x34, 0x56, 0.5));
    ASSERT_EQ(known_.colours[kNewBattery], palette(2));
    ASSERT_EQ(known_.colours[kRefresh], palette(9));
    ASSERT_EQ(known_.colours[kLegibility], palette(12));
    ASSERT_EQ(known_.lockScreenStyle, 1);
  }

  // A fresh host that has read the known file.
  void restoreKnown() {
    known_ = vyrfuzz::prefsFileRound(xml(kKnown));
    // Without a readable file the presets keep their last values, but the custom colour of txt,
    // read afresh on every call, is the fallback #a1a1a1.
    missing_ = known_;
    missing_.colours[kNewText] = missing_.colours[kText] = picked(161, 161, 161);
  }

  // BYTES as the preferences file, read by the host from where the last file left it: the
  // reload as notified, then every hook. A round that takes a stall's time fails the test.
  HostAnswers readByHost(std::string_view bytes, const std::string& what) {
    vyrfuzz::writeInPlace(vyrfuzz::kPrefsFile, bytes);
    return timedRound(what);
  }
  HostAnswers timedRound(const std::string& what) {
    const auto start = std::chrono::steady_clock::now();
    vyrfuzz::reloadAsNotified();
    HostAnswers a = vyrfuzz::callEveryHook();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), kStallSeconds) << what;
    return a;
  }

  // BYTES must read as a missing file.
  void expectReadAsMissing(std::string_view bytes, const std::string& what) {
    const HostAnswers a = readByHost(bytes, what);
    EXPECT_EQ(a.colours, missing_.colours) << what;
    EXPECT_EQ(a.lockScreenStyle, missing_.lockScreenStyle) << what;
  }

  // The known file as the Foundation stand-in writes it: binary, as the pane leaves it.
  std::string knownAsBinary() {
    ns::AutoreleasePool pool;
    vyrfuzz::writeInPlace(vyrfuzz::kPrefsFile, xml(kKnown));
    const ns::String source = ns::String::withUTF8(std::string(vyrfuzz::kPrefsFile).c_str());
    const ns::Dictionary dict = ns::Dictionary::allocInitWithContentsOfFile(source).take();
    const ns::String copy = ns::String::withUTF8("/var/mobile/known.plist");
    EXPECT_TRUE(dict.writeToFile(copy, true));
    dict.release();
    std::ifstream in(vyrfuzz::machinePath("/var/mobile/known.plist"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  HostAnswers known_;
  HostAnswers missing_;
};

TEST_F(BadInput, FilesThatAreNoPropertyListWithADictionaryReadAsMissing) {
  const std::vector<std::pair<std::string, std::string>> junk = {
      {"empty", ""},
      {"a newline", "\n"},
      {"text", "sig = 13"},
      {"an HTML page", "<html><body><p>sig</p></body></html>"},
      {"NUL bytes", std::string(1024, '\0')},
      {"a binary header alone", "bplist00"},
      {"a binary header and zeros", "bplist00" + std::string(40, '\0')},
      {"another binary version", "bplist01" + knownAsBinary().substr(8)},
      {"a bare plist element", "<plist>"},
      {"an XML declaration alone", "<?xml version=\"1.0\"?>"},
      {"UTF-16 XML", std::string("\xFF\xFE<\0p\0l\0i\0s\0t\0>\0", 16)},
      {"an array root",
       "<plist><array><dict><key>sig</key><integer>1</integer></dict></array></plist>"},
      {"a string root", "<plist><string>sig</string></plist>"},
      {"a Boolean root", "<plist><true/></plist>"},
  };
  for (const auto& [what, bytes] : junk) expectReadAsMissing(bytes, what);

  BinaryPlist arrayRoot;
  const std::size_t one = arrayRoot.integer(1);
  expectReadAsMissing(arrayRoot.bytes(arrayRoot.array({one})), "a binary array root");

  // Every cut of a whole file, as a writer that died midway leaves it, reads as missing.
  const std::string binary = knownAsBinary();
  for (std::size_t n = 0; n < binary.size(); ++n) {
    expectReadAsMissing(binary.substr(0, n), "binary cut at " + std::to_string(n));
  }
  const std::string text = xml(kKnown);
  for (std::size_t n = 0; n < text.size(); n += 3) {
    // libplist takes a text cut right after the root's closing tag as the whole file.
    const HostAnswers a = readByHost(text.substr(0, n), "XML cut at " + std::to_string(n));
    EXPECT_TRUE(a.colours == missing_.colours || a.colours == known_.colours) << "XML cut at " << n;
  }
}

TEST_F(BadInput, ShapesThatWouldExhaustTheParserAreRefusedQuickly) {
  constexpr std::size_t kDeep = 100000;
  const std::string open = "<plist><dict><key>sig</key>";
  const std::string close = "</dict></plist>";
  expectReadAsMissing(open + repeat("<array>", kDeep) + repeat("</array>", kDeep) + close,
                      "XML 100000 levels deep");
  expectReadAsMissing(open + repeat("<array>", kDeep), "XML 100000 levels deep, never closed");
  expectReadAsMissing(open + repeat("<array>", 60000) + repeat("</array>", 60000) + close,
                      "XML 60000 levels deep, within the size limit");
  expectReadAsMissing(open + repeat("<dict><key>sig</key>", 50000) + repeat("</dict>", 50000),
                      "XML dictionaries 50000 levels deep");

  {
    BinaryPlist deep(4);
    const std::size_t root = deep.dictionary({1}, {2});
    deep.ascii("sig");
    for (std::size_t k = 0; k < kDeep; ++k) deep.array({deep.next() + 1});
    deep.boolean(true);
    const std::string bytes = deep.bytes(root);
    ASSERT_LT(bytes.size(), 1u << 20);  // within the size limit: the depth is what refuses it
    expectReadAsMissing(bytes, "binary 100000 levels deep");
  }
  {
    BinaryPlist loop;
    const std::size_t root = loop.dictionary({1}, {0});
    loop.ascii("sig");
    expectReadAsMissing(loop.bytes(root), "a dictionary holding itself");
    BinaryPlist pair;
    const std::size_t top = pair.dictionary({1}, {2});
    pair.ascii("sig");
    pair.array({3});
    pair.array({2});
    expectReadAsMissing(pair.bytes(top), "two arrays holding each other");
  }
  {
    // Each level's array references the next one twice: 2^30 values once expanded.
    BinaryPlist doubling;
    const std::size_t root = doubling.dictionary({1}, {2});
    doubling.ascii("sig");
    for (int level = 0; level < 30; ++level) {
      const std::size_t next = doubling.next() + 1;
      doubling.array({next, next});
    }
    doubling.boolean(true);
    const std::string bytes = doubling.bytes(root);
    EXPECT_LT(bytes.size(), 400u);
    expectReadAsMissing(bytes, "a few hundred bytes that expand to 2^30 values");
  }

  // 50 MB: a valid file, too large to be a preferences file.
  Entries large = kKnown;
  for (auto& [key, value] : large) {
    if (key == "sig") value = "<integer>1</integer>";
  }
  large.emplace_back("padding", "<string>" + std::string(50u << 20, 'x') + "</string>");
  expectReadAsMissing(xml(large), "50 MB");
}

TEST_F(BadInput, APreferencesPathThatIsNoRegularFileReadsAsMissing) {
  namespace fs = std::filesystem;
  const fs::path file = vyrfuzz::machinePath(vyrfuzz::kPrefsFile);
  const auto replaceWith = [&](auto make) {
    fs::remove_all(file);
    make();
  };
  replaceWith([&] { fs::create_directory(file); });
  EXPECT_EQ(timedRound("a folder").colours, missing_.colours);
  replaceWith([&] { fs::create_symlink(file, file); });
  EXPECT_EQ(timedRound("a link to itself").colours, missing_.colours);
  replaceWith([&] { fs::create_symlink("/etc/hostname", file); });
  EXPECT_EQ(timedRound("a link out of the device").colours, missing_.colours);

  // A FIFO: opening it for reading waits for a writer that never comes. The round runs on its
  // own thread so that a stall fails the test instead of hanging it; a writer then frees it.
  replaceWith([&] { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); });
  auto round = std::async(std::launch::async, [] {
    vyrfuzz::reloadAsNotified();
    return vyrfuzz::callEveryHook();
  });
  const bool finished = round.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(finished) << "reading a FIFO stalled the host";
  while (round.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    std::ofstream(file) << "x";
  }
  const HostAnswers a = round.get();
  if (finished) {
    EXPECT_EQ(a.colours, missing_.colours);
  }
  fs::remove(file);
}

TEST_F(BadInput, ValuesOfEveryKindUnderEveryKeyAreReadOrIgnoredNeverTrusted) {
  const std::vector<std::string> keys = {
      "ENABLED1",  "ENABLED2",  "ENABLED3",  "ENABLED4", "ENABLED5",  "ENABLED6",  "sigs",
      "sbsigs",    "text",      "batt",      "load",     "recents",   "sig",       "sbsig",
      "txt",       "bat",       "lod",       "rec",      "vyrColor1", "vyrColor2", "vyrColor3",
      "vyrColor4", "vyrColor5", "vyrColor6", "lssame"};
  // Kinds that no reader of these keys has a reading of: they must read as an absent key.
  const std::vector<std::string> unreadable = {
      "<data>AQID</data>", "<date>2001-01-01T00:00:00Z</date>",
      "<array/>",          "<array><true/><integer>13</integer></array>",
      "<dict/>",           "<dict><key>sig</key><integer>13</integer></dict>"};
  // Kinds with a reading (boolValue, intValue, a colour string): any answer is a sound one.
  const std::vector<std::string> readable = {"<true/>",
                                             "<false/>",
                                             "<integer>0</integer>",
                                             "<integer>-1</integer>",
                                             "<integer>9223372036854775807</integer>",
                                             "<real>1.5</real>",
                                             "<real>-0.0</real>",
                                             "<string></string>",
                                             "<string>YES</string>",
                                             "<string>#ff0000:0.25</string>",
                                             "<string>\xC3\x28\xFF</string>"};
  for (const std::string& key : keys) {
    for (const std::string& value : unreadable) {
      restoreKnown();
      const HostAnswers a = readByHost(xml(with(kKnown, key, value)), key + " = " + value);
      HostAnswers expected = known_;
      // The colour string of txt, which is in use, reads as absent: the fallback #a1a1a1.
      if (key == "vyrColor3")
        expected.colours[kNewText] = expected.colours[kText] = picked(161, 161, 161);
      EXPECT_EQ(a.colours, expected.colours) << key << " = " << value;
      EXPECT_EQ(a.lockScreenStyle, expected.lockScreenStyle) << key << " = " << value;
    }
    for (const std::string& value : readable) {
      restoreKnown();
      readByHost(xml(with(kKnown, key, value)), key + " = " + value);
    }
  }
}

TEST_F(BadInput, ColourStringsOfEveryByteValueGiveAColour) {
  const auto hexValue = [](int b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    return 0;  // an invalid digit counts as 0
  };
  for (int b = 1; b <= 0xFF; ++b) {
    const std::string c(1, static_cast<char>(b));
    const vyrfuzz::ColourAnswers six = vyrfuzz::colourStringRound("#" + repeat(c, 6));
    const int v = hexValue(b) * 17;
    const Rgba expected = picked(v, v, v);
    EXPECT_EQ((Rgba{six.stored[0], six.stored[1], six.stored[2], 1.0}), expected) << b;
    // The rest are checked by the round itself: a colour, components in range, the stored
    // string and the fallback agreeing.
    for (const std::string& text : {c, "#" + c, repeat(c, 3), "#a1a1a1:" + c, c + ":" + c,
                                    "#" + repeat(c, 8) + ":" + repeat(c, 3)}) {
      vyrfuzz::colourStringRound(text);
    }
  }
}

TEST_F(BadInput, PresetIndicesAtTheLimitsOf32And64BitsSelectByTheirLow32Bits) {
  // Each value under all six preset keys, and the palette entry it selects (0 for none): the
  // device's intValue keeps an integer's low 32 bits and saturates reals and text.
  const std::vector<std::pair<std::string, int>> values = {
      {"<integer>2147483647</integer>", 0},
      {"<integer>-2147483648</integer>", 0},
      {"<integer>2147483648</integer>", 0},
      {"<integer>4294967295</integer>", 0},
      {"<integer>4294967296</integer>", 0},
      {"<integer>4294967309</integer>", 13},
      {"<integer>9223372036854775807</integer>", 0},
      {"<integer>-9223372036854775808</integer>", 0},
      {"<integer>18446744073709551615</integer>", 0},
      {"<integer>18446744069414584333</integer>", 13},
      {"<real>13.9</real>", 13},
      {"<real>-0.5</real>", 0},
      {"<real>1e300</real>", 0},
      {"<real>-1e300</real>", 0},
      {"<string>13abc</string>", 13},
      {"<string> +13</string>", 13},
      {"<string>99999999999999999999</string>", 0},
      {"<string>-99999999999999999999</string>", 0},
      {"<string>0x0d</string>", 0},
  };
  const auto expectSelects = [&](const HostAnswers& a, int entry, const std::string& what) {
    // Elements whose answer the presets decide; sbsig is switched off and txt is custom.
    const auto colourOf = [&](int knownIndex) {
      return entry >= 1 && entry <= 15 ? palette(entry) : palette(knownIndex);
    };
    EXPECT_EQ(a.colours[kSig], colourOf(13)) << what;
    EXPECT_EQ(a.colours[kNewBattery], colourOf(2)) << what;
    EXPECT_EQ(a.colours[kSpinner], colourOf(9)) << what;
    EXPECT_EQ(a.colours[kLegibility], colourOf(12)) << what;
    EXPECT_EQ(a.colours[kSbsig], known_.colours[kSbsig]) << what;
    EXPECT_EQ(a.colours[kText], known_.colours[kText]) << what;
  };
  for (const auto& [value, entry] : values) {
    restoreKnown();
    Entries e = kKnown;
    for (const char* key : {"sig", "sbsig", "txt", "bat", "lod", "rec"}) e = with(e, key, value);
    expectSelects(readByHost(xml(e), value), entry, value);
  }

  // Binary integers of 16 bytes (libplist keeps the low 8) and of the other sizes.
  for (const auto& [encoded, entry] : std::vector<std::pair<std::string, int>>{
           {std::string("\x14", 1) + BinaryPlist::bigEndian(1, 8) + BinaryPlist::bigEndian(13, 8),
            13},
           {std::string("\x14", 1) + std::string(16, '\xFF'), 0},
           {std::string("\x12\x80\x00\x00\x0D", 5), 0},
           {std::string("\x10\x0D", 2), 13}}) {
    restoreKnown();
    BinaryPlist list;
    const std::vector<std::size_t> keys = {list.ascii("sig"), list.ascii("bat"), list.ascii("lod"),
                                           list.ascii("rec")};
    const std::size_t value = list.raw(encoded);
    const std::size_t root = list.dictionary(keys, {value, value, value, value});
    const HostAnswers a = readByHost(list.bytes(root), "binary integer");
    EXPECT_EQ(a.colours[kSig], entry != 0 ? palette(entry) : palette(13));
    EXPECT_EQ(a.colours[kNewBattery], entry != 0 ? palette(entry) : palette(2));
  }
}

}  // namespace
}  // namespace vyrtest
