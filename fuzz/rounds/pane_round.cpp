#include "fuzz/rounds/pane_round.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "device/files.hpp"
#include "fuzz/rounds/scratch_device.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/preferences/facade.hpp"
#include "platform/preferences/settings_app.hpp"
#include "platform/uikit/facade.hpp"

namespace vyrfuzz {
namespace {

using objc::id;

id number(double v) {
  return ns::Number::withDouble(v).get();
}

id array(std::vector<id> items) {
  const id* objects = items.data();
  return objc::send<"arrayWithObjects:count:", id>(ns::Array::cls(), objects,
                                                   static_cast<unsigned long>(items.size()));
}

// One value of every kind a cell or a broken caller could hand to setPreferenceValue:specifier:,
// autoreleased.
std::vector<id> valuesOfEveryKind() {
  ns::MutableDictionary nested = ns::MutableDictionary::dictionary();
  nested.setObjectForKey(array({ns::Number::withInt(1).get(), ns::String::withUTF8("x").get()}),
                         ns::String::withUTF8("a").get());
  const char bytes[] = {'\0', '\xff', '\x01'};
  return {
      nullptr,
      ns::Number::withBool(true).get(),
      ns::Number::withBool(false).get(),
      ns::Number::withInt(6).get(),
      ns::Number::withInt(-1).get(),
      ns::Number::withLongLong(std::numeric_limits<long long>::min()).get(),
      ns::Number::withLongLong(2147483648LL).get(),
      objc::send<"numberWithUnsignedLongLong:", id>(ns::Number::cls(),
                                                    std::numeric_limits<unsigned long long>::max()),
      number(1.5),
      number(std::nan("")),
      number(-HUGE_VAL),
      ns::String::withUTF8("").get(),
      ns::String::withUTF8("#a1a1a1:1.0").get(),
      ns::String::withUTF8("\xC3\x28 not UTF-8").get(),
      objc::send<"dataWithBytes:length:", id>(objc::getClass("NSData"),
                                              static_cast<const void*>(bytes), sizeof bytes),
      objc::send<"dateWithTimeIntervalSinceReferenceDate:", id>(objc::getClass("NSDate"), 1e300),
      array({}),
      nested.get(),
      ui::Color::withRed(1, 0, 0, 1).get(),  // no property list holds a colour object
  };
}

// Text as a user types it into a cell of each kind: switches, lists, colours, text fields.
constexpr const char* kTyped[] = {"YES",         "off",       "Red",      "10",
                                  "16",          "#abc",      "",         "   ",
                                  "#A1A1A1:0.5", "#123456:2", "\xff\xfe", "-9223372036854775809",
                                  "1e400"};

// Rows given a value and typed text in one round.
constexpr int kChangesPerRound = 3;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

void startPane() {
  static const bool started = [] {
    namespace fs = std::filesystem;
    scratchDevice();
    sim::testing::setFlushWrites(false);  // a throw-away device: nothing to keep across a crash
    const fs::path bundle = machinePath("/Library/PreferenceBundles/VYR.bundle");
    fs::create_directories(bundle.parent_path());
    fs::copy(VYR_BIN_DIR "/VYR.bundle", bundle,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    writeInPlace("/Library/PreferenceLoader/Preferences/VYR.plist",
                 readAll(VYR_BIN_DIR "/PreferenceLoader/VYR.plist"));
    std::string error = "no PreferenceLoader entry names the bundle";
    for (const auto& entry : preferences::settings::paneEntries()) {
      if (entry.bundle == "VYR" && preferences::settings::Pane::open(entry, &error)) return true;
    }
    std::fprintf(stderr, "cannot open the VYR pane: %s\n", error.c_str());
    std::abort();
  }();
  (void)started;
}

void paneRound(std::string_view bytes) {
  startPane();
  writeInPlace(kSpecifierList, bytes);
  // Every input starts from no settings, so that one input gives one run whatever came before.
  removeFile("/var/mobile/Library/Preferences/com.belvorin.VYR.plist");
  ns::AutoreleasePool pool;
  const id controller =
      objc::send<"init">(objc::send<"alloc">(objc::getClass("VYRListController")));
  const ui::ViewController shown(controller);
  shown.view();
  shown.viewWillAppear(false);

  const ps::ListController list(controller);
  const ns::Array rows = list.specifiers();
  const std::vector<id> values = valuesOfEveryKind();
  // Every row's cell is made and shown; a few of them, picked by the input itself, get a value of
  // some kind and some typed text. Trying every value on every row made a round a thousand
  // writes of the settings file, and the target ran a few dozen inputs a second.
  std::uint64_t pick = 1469598103934665603ULL;  // FNV-1a of the input
  for (char c : bytes) pick = (pick ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  const unsigned long n = rows.count();
  for (unsigned long i = 0; i < n; ++i) {
    ns::AutoreleasePool rowPool;
    const ps::Specifier row(rows.objectAtIndex(i));
    const ps::TableCell cell(list.cachedCellForSpecifier(row));
    cell.valueText();
  }
  for (int k = 0; k < kChangesPerRound && n > 0; ++k) {
    ns::AutoreleasePool rowPool;
    const ps::Specifier row(rows.objectAtIndex(static_cast<unsigned long>(pick % n)));
    pick = pick * 6364136223846793005ULL + 1442695040888963407ULL;
    const ps::TableCell cell(list.cachedCellForSpecifier(row));
    list.setPreferenceValue(values[static_cast<std::size_t>((pick >> 33) % values.size())], row);
    list.readPreferenceValue(row);
    cell.takeInput(
        ns::String::withUTF8(kTyped[static_cast<std::size_t>((pick >> 17) % std::size(kTyped))]));
    cell.valueText();
    pick = pick * 6364136223846793005ULL + 1442695040888963407ULL;
  }
  shown.viewWillAppear(true);
  ns::Object(controller).release();
}

}  // namespace vyrfuzz
