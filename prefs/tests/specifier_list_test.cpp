// The specifier list "VYR" against what VYRSignals reads: every key of the library's table is
// written, with the kind the library expects, by some cell of the pane; the defaults shown are
// the library's own for absent keys; every custom switch posts the settings-changed notification.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "platform/preferences/facade.hpp"
#include "platform/preferences/tests/plist_probe.hpp"
#include "prefs/tests/pane.hpp"

namespace {

using preferences::settings::Change;

struct Element {
  const char* enable;
  const char* preset;
  const char* customSwitch;
  const char* colour;
};
constexpr Element kElements[] = {
    {"sigs", "sig", "ENABLED1", "vyrColor1"}, {"sbsigs", "sbsig", "ENABLED2", "vyrColor2"},
    {"text", "txt", "ENABLED3", "vyrColor3"}, {"batt", "bat", "ENABLED4", "vyrColor4"},
    {"load", "lod", "ENABLED5", "vyrColor5"}, {"recents", "rec", "ENABLED6", "vyrColor6"},
};
const std::vector<std::string> kPalette = {"Black",      "Blue",   "Gold",      "Clear", "Cyan",
                                           "Light grey", "Grey",   "Dark grey", "Green", "Orange",
                                           "Pink",       "Purple", "Red",       "White", "Yellow"};

int gPosts = 0;
void countPost(CFNotificationCenterRef, void*, CFStringRef, const void*, CFDictionaryRef) {
  ++gPosts;
}
int deliveredPosts() {
  gPosts = 0;
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 2.0, 1);
  return gPosts;
}

class SpecifierListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vyrtest::installPane(device_);
    pane_ = vyrtest::openPane();
    ASSERT_TRUE(pane_);
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                    &countPost, CFSTR("com.belvorin.VYR/settingschanged"), nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
  }
  std::string stored(const char* key) const {
    return vyrtest::storedKind(vyrtest::settingsFile(device_), key);
  }
  ps::Specifier specifier(const char* key) const {
    return ps::ListController(pane_->controller()).specifierForID(ns::String::withUTF8(key));
  }

  vyrtest::TempDevice device_;
  ns::AutoreleasePool pool_;
  std::unique_ptr<preferences::settings::Pane> pane_;
};

TEST_F(SpecifierListTest, ShowsTheLibrarysDefaultsForEveryAbsentKey) {
  for (const Element& e : kElements) {
    EXPECT_EQ(pane_->value(e.enable), "YES") << e.enable;
    EXPECT_EQ(pane_->value(e.preset), "Light grey") << e.preset;
    EXPECT_EQ(pane_->value(e.customSwitch), "NO") << e.customSwitch;
    EXPECT_EQ(pane_->value(e.colour), "#a1a1a1:1.0") << e.colour;

    const ns::Array titles(specifier(e.preset).propertyForKey(ns::String::withUTF8("validTitles")));
    const ns::Array values = specifier(e.preset).values();
    ASSERT_EQ(titles.count(), kPalette.size());
    ASSERT_EQ(values.count(), kPalette.size());
    for (unsigned long i = 0; i < kPalette.size(); ++i) {
      EXPECT_EQ(ns::String(titles.objectAtIndex(i)).str(), kPalette[i]);
      EXPECT_EQ(ns::Object(values.objectAtIndex(i)).intValue(), static_cast<int>(i + 1));
    }
  }
  EXPECT_EQ(pane_->value("lssame"), "YES");
  EXPECT_EQ(stored("lssame"), "unreadable");  // showing the pane writes nothing
}

TEST_F(SpecifierListTest, EveryKeyIsWrittenWithItsKindAndCustomSwitchesPost) {
  for (const Element& e : kElements) {
    EXPECT_EQ(pane_->set(e.enable, "off"), Change::Done);
    EXPECT_EQ(stored(e.enable), "bool:false") << e.enable;
    EXPECT_EQ(pane_->set(e.preset, "Red"), Change::Done);
    EXPECT_EQ(stored(e.preset), "int:13") << e.preset;
    EXPECT_EQ(pane_->set(e.preset, "10"), Change::Done);
    EXPECT_EQ(stored(e.preset), "int:10") << e.preset;
    EXPECT_EQ(pane_->value(e.preset), "Orange");
    EXPECT_EQ(pane_->set(e.colour, "#abc"), Change::Done);
    EXPECT_EQ(stored(e.colour), "string:#AABBCC:1.000000") << e.colour;
    EXPECT_EQ(pane_->value(e.colour), "#AABBCC:1.000000");

    deliveredPosts();
    EXPECT_EQ(pane_->set(e.customSwitch, "YES"), Change::Done);
    EXPECT_EQ(stored(e.customSwitch), "bool:true") << e.customSwitch;
    EXPECT_GE(deliveredPosts(), 1) << e.customSwitch << " posted nothing";
    EXPECT_EQ(pane_->set(e.customSwitch, "false"), Change::Done);
    EXPECT_EQ(stored(e.customSwitch), "bool:false");
    EXPECT_GE(deliveredPosts(), 1) << e.customSwitch << " posted nothing";
  }
  EXPECT_EQ(pane_->set("lssame", "NO"), Change::Done);
  EXPECT_EQ(stored("lssame"), "bool:false");

  // Values that mean nothing to a cell change nothing.
  EXPECT_EQ(pane_->set("ENABLED1", "maybe"), Change::Refused);
  EXPECT_EQ(pane_->set("sig", "16"), Change::Refused);
  EXPECT_EQ(pane_->set("sig", "0"), Change::Refused);
  EXPECT_EQ(pane_->set("vyrColor1", "#12"), Change::Refused);
  EXPECT_EQ(pane_->set("vyrColor1", "#123456:2"), Change::Refused);
  EXPECT_EQ(pane_->set("nope", "1"), Change::NoSuchKey);
  EXPECT_EQ(stored("ENABLED1"), "bool:false");
  EXPECT_EQ(stored("sig"), "int:10");
  EXPECT_EQ(stored("vyrColor1"), "string:#AABBCC:1.000000");
}

TEST_F(SpecifierListTest, OffersTheLibraryPageAndRespringAsButtons) {
  std::vector<std::string> actions;
  const ns::Array rows = ps::ListController(pane_->controller()).specifiers();
  for (unsigned long i = 0; i < rows.count(); ++i) {
    const ps::Specifier row(rows.objectAtIndex(i));
    if (row.cellType() != ps::CellType::Button) continue;
    EXPECT_EQ(row.target(), pane_->controller());
    actions.push_back(sel_getName(row.buttonAction()));
  }
  EXPECT_EQ(actions, (std::vector<std::string>{"lib", "respring"}));

  // The library's page opens only where the package manager is installed.
  const std::string log = device_.root() + "/.sim/opened-urls.log";
  EXPECT_TRUE(pane_->tap("Get libcolorpicker"));
  EXPECT_FALSE(std::filesystem::exists(log));
  device_.write("/Applications/Cydia.app/Info.plist", vyrtest::xmlPlist({}));
  EXPECT_TRUE(pane_->tap("get LIBCOLORPICKER"));
  std::ifstream in(log);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "cydia://package/org.thebigboss.libcolorpicker");
  EXPECT_FALSE(std::getline(in, line));
}

}  // namespace
