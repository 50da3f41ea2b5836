// PSListController and its cells beyond what the VYR pane's own tests reach: refused input, text
// cells, values of an unexpected kind, the cell cache, and the Settings app's entries.
#include <gtest/gtest.h>

#include <string>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/preferences/facade.hpp"
#include "platform/preferences/internal.hpp"
#include "platform/preferences/settings_app.hpp"
#include "platform/preferences/tests/plist_probe.hpp"
#include "tests/support/temp_device.hpp"

namespace {

constexpr const char kFile[] = "/var/mobile/Library/Preferences/com.example.test.plist";
constexpr const char kList[] = "/Library/Test/List.plist";

std::string row(const char* cell, const char* key, const std::string& more) {
  return "<dict><key>cell</key><string>" + std::string(cell) + "</string><key>key</key><string>" +
         key + "</string><key>defaults</key><string>com.example.test</string>" +
         "<key>PostNotification</key><string>com.example.test/changed</string>" + more + "</dict>";
}
const std::string kSpecifierList = vyrtest::xmlPlist(
    {{"items", "<array>" + row("PSSwitchCell", "s", "<key>default</key><true/>") +
                   row("PSLinkListCell", "l",
                       "<key>validValues</key><array><integer>1</integer><integer>2</integer>"
                       "</array><key>validTitles</key><array><string>One</string>"
                       "<string>Light grey</string></array>") +
                   row("PSEditTextCell", "t", "") + "<string>not a row</string></array>"}});

int gPosts = 0;
void countPost(CFNotificationCenterRef, void*, CFStringRef, const void*, CFDictionaryRef) {
  ++gPosts;
}

class ListControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.write(kList, kSpecifierList);
    controller_ =
        ps::ListController(objc::send<"init">(objc::send<"alloc">(ps::ListController::cls())));
    ns::Array rows =
        preferences::specifiersFromFile(ns::String::withUTF8(kList), controller_.get());
    rows.retain();
    controller_.specifiersField() = rows.get();
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                    &countPost, CFSTR("com.example.test/changed"), nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
  }
  void TearDown() override { controller_.release(); }

  ps::TableCell cell(const char* key) const {
    return ps::TableCell(
        controller_.cachedCellForSpecifier(controller_.specifierForID(ns::String::withUTF8(key))));
  }
  std::string shown(const char* key) const { return cell(key).valueText().str(); }
  bool type(const char* key, const char* input) const {
    return cell(key).takeInput(ns::String::withUTF8(input));
  }
  std::string stored(const char* key) const {
    return vyrtest::storedKind(device_.path(kFile), key);
  }

  vyrtest::TempDevice device_;
  ns::AutoreleasePool pool_;
  ps::ListController controller_;
};

TEST_F(ListControllerTest, CellsRefuseWhatIsNoValueOfTheirKindAndStoreTheRest) {
  EXPECT_EQ(controller_.specifiers().count(), 3u);  // the string item is no row
  for (const char* bad : {"maybe", "", "yess", "2"}) EXPECT_FALSE(type("s", bad)) << bad;
  for (const char* bad : {"3", "0", "", "Ligh", "2.0"}) EXPECT_FALSE(type("l", bad)) << bad;
  gPosts = 0;
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, 1);
  EXPECT_EQ(gPosts, 0);
  EXPECT_EQ(stored("s"), "unreadable");  // nothing was written

  EXPECT_TRUE(type("l", " light GREY "));
  EXPECT_EQ(stored("l"), "int:2");
  EXPECT_TRUE(type("t", "hello <&> world"));
  EXPECT_EQ(stored("t"), "string:hello <&> world");
  EXPECT_EQ(shown("t"), "hello <&> world");
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 2.0, 1);
  EXPECT_GE(gPosts, 1);

  // Values of a kind the row does not expect are shown as well as they can be.
  device_.write(kFile, vyrtest::xmlPlist({{"l", "<string>7</string>"},
                                          {"s", "<integer>0</integer>"},
                                          {"t", "<integer>5</integer>"}}));
  controller_.reload();
  EXPECT_EQ(shown("l"), "7");
  EXPECT_EQ(shown("s"), "NO");
  EXPECT_EQ(shown("t"), "5");
}

TEST_F(ListControllerTest, CachedCellsLiveUntilClearCacheAndShowFileChangesAfterReload) {
  ps::TableCell first = cell("s");
  first.retain();
  EXPECT_EQ(cell("s").get(), first.get());
  EXPECT_EQ(shown("s"), "YES");
  device_.write(kFile, vyrtest::xmlPlist({{"s", "<false/>"}}));
  EXPECT_EQ(shown("s"), "YES");  // shown as last read
  controller_.reload();
  EXPECT_EQ(shown("s"), "NO");
  controller_.clearCache();
  EXPECT_NE(cell("s").get(), first.get());
  EXPECT_EQ(first.valueText().str(), "NO");  // a cell let go of still works
  first.release();
}

TEST(SettingsApp, ListsOnlyWellFormedEntriesAndExplainsPanesThatCannotOpen) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  const auto write = [&device](const char* name, const std::string& entry) {
    device.write(std::string("/Library/PreferenceLoader/Preferences/") + name,
                 vyrtest::xmlPlist({{"entry", entry}}));
  };
  write("B.plist",
        "<dict><key>bundle</key><string>Good</string><key>detail</key>"
        "<string>GoodController</string><key>isController</key><true/></dict>");
  write("A.plist", "<dict><key>bundle</key><string>../Escape</string></dict>");
  write("C.plist", "<dict><key>label</key><string>No bundle</string></dict>");
  write("D.plist", "<string>flat</string>");
  write("F.txt", "<dict><key>bundle</key><string>Other</string></dict>");
  device.write("/Library/PreferenceLoader/Preferences/E.plist", "garbage");

  const auto entries = preferences::settings::paneEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].bundle, "../Escape");
  EXPECT_EQ(entries[1].bundle, "Good");
  EXPECT_EQ(entries[1].detail, "GoodController");
  EXPECT_TRUE(entries[1].isController);

  std::string error;
  EXPECT_EQ(preferences::settings::Pane::open(entries[0], &error), nullptr);
  EXPECT_EQ(error, "the entry names no usable bundle");
  EXPECT_EQ(preferences::settings::Pane::open(entries[1], &error), nullptr);
  EXPECT_NE(error.find("cannot load /Library/PreferenceBundles/Good.bundle"), std::string::npos)
      << error;
}

}  // namespace
