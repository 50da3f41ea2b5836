#include "fuzz/rounds/pane_round.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

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

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

void startPane() {
  static const bool started = [] {
    namespace fs = std::filesystem;
    scratchDevice();
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
  ns::AutoreleasePool pool;
  const id controller =
      objc::send<"init">(objc::send<"alloc">(objc::getClass("VYRListController")));
  const ui::ViewController shown(controller);
  shown.view();
  shown.viewWillAppear(false);

  const ps::ListController list(controller);
  const ns::Array rows = list.specifiers();
  const std::vector<id> values = valuesOfEveryKind();
  for (unsigned long i = 0, n = rows.count(); i < n; ++i) {
    ns::AutoreleasePool rowPool;
    const ps::Specifier row(rows.objectAtIndex(i));
    const ps::TableCell cell(list.cachedCellForSpecifier(row));
    cell.valueText();
    for (id value : values) {
      list.setPreferenceValue(value, row);
      list.readPreferenceValue(row);
    }
    for (const char* typed : kTyped) {
      cell.takeInput(ns::String::withUTF8(typed));
      cell.valueText();
    }
  }
  shown.viewWillAppear(true);
  ns::Object(controller).release();
}

}  // namespace vyrfuzz
