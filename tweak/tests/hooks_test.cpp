// The element hooks and the lock-screen hook, driven through real message sends to the host
// classes, with the host's own implementations recording whether and how they ran.
#include "tweak/tests/tweak_fixture.hpp"

namespace vyrtest {
namespace {

using Hooks = TweakProcess;
using uikitsim::HostCall;

// Calls that reached the host's own implementations during F.
template <class F>
std::vector<HostCall> hostCallsDuring(F&& f) {
  uikitsim::beginRecording();
  f();
  auto calls = uikitsim::takeCalls();
  uikitsim::endRecording();
  return calls;
}

// The battery getters this process's release has, each sent to a new instance of its class with
// the host's own types: the by-style variant with the bar style STYLE, the others with CHARGING.
std::vector<objc::id> batteries(double capacityIn, double lowIn, bool charging,
                                objc::NSUInteger style = 1) {
  const auto capacity = static_cast<objc::CGFloat>(capacityIn);
  const auto low = static_cast<objc::CGFloat>(lowIn);
  std::vector<objc::id> out;
  for (HookId h : {HookId::newUIBatteryColorCharging, HookId::batteryColorCharging,
                   HookId::batteryColorStyle}) {
    const Class cls = hookedClass(h);
    if (cls == nullptr || class_respondsToSelector(cls, hookedSelector(h)) == 0) continue;
    objc::id attrs = objc::send<"new">(cls);
    ns::Object(attrs).autorelease();
    out.push_back(
        h == HookId::batteryColorStyle
            ? objc::send(attrs, hookedSelector(h), capacity, low, style)
            : objc::send(attrs, hookedSelector(h), capacity, low, charging ? objc::yes : objc::no));
  }
  return out;
}

TEST_F(Hooks, GettersAnswerThePresetWithoutAskingTheHost) {
  writePrefs({{"batt", "<true/>"},
              {"bat", "<integer>13</integer>"},
              {"text", "<true/>"},
              {"txt", "<integer>2</integer>"}});
  start();
  auto calls = hostCallsDuring([&] {
    // Whatever the battery state, every battery hook gives the same colour.
    for (bool charging : {false, true}) {
      for (double capacity : {0.05, 0.5, 1.0}) {
        const std::vector<objc::id> answers = batteries(capacity, 0.2, charging);
        EXPECT_FALSE(answers.empty());
        for (objc::id colour : answers) EXPECT_EQ(rgba(colour), bytes(255, 59, 48));
      }
    }
    for (objc::NSInteger style : {0, 1, 2}) {
      for (const char* cls :
           {"UIStatusBarForegroundStyleAttributes", "UIStatusBarNewUIForegroundStyleAttributes"}) {
        EXPECT_EQ(rgba(objc::send<"textColorForStyle:", objc::id>(make(cls), style)),
                  bytes(0, 122, 255));
      }
    }
  });
  EXPECT_TRUE(calls.empty()) << calls.front().selector;
}

TEST_F(Hooks, GettersSwitchedOffAnswerExactlyWhatTheHostAnswers) {
  writePrefs({{"batt", "<false/>"}, {"text", "<false/>"}});
  start();
  objc::id attrs = make("UIStatusBarNewUIForegroundStyleAttributes");
  for (bool charging : {false, true}) {
    for (const objc::CGFloat capacity : {cg(0.1), cg(0.9)}) {
      std::vector<HostCall> calls;
      objc::id hooked = nullptr;
      calls = hostCallsDuring([&] { hooked = batteries(capacity, 0.2, charging).at(0); });
      objc::id host = objc::callImp<objc::id, objc::CGFloat, objc::CGFloat, objc::BOOL>(
          origNewUIBatteryColorCharging, attrs,
          sel_registerName("_batteryColorForCapacity:lowCapacity:charging:"), capacity, cg(0.2),
          charging ? objc::yes : objc::no);
      EXPECT_EQ(rgba(hooked), rgba(host));
      // The floating-point and Boolean arguments reach the host unchanged.
      ASSERT_EQ(calls.size(), 1u);
      ASSERT_EQ(calls[0].arguments.size(), 3u);
      EXPECT_EQ(calls[0].arguments[0].real, capacity);
      EXPECT_EQ(calls[0].arguments[1].real, cg(0.2));
      EXPECT_EQ(calls[0].arguments[2].boolean, charging);
    }
  }
  auto calls = hostCallsDuring(
      [&] { objc::send<"textColorForStyle:", objc::id>(attrs, objc::NSInteger{7}); });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments[0].integer, 7);
}

TEST_F(Hooks, SettersAlwaysRunTheHostWithTheColourReplacedOrNot) {
  writePrefs({{"load", "<true/>"}, {"lod", "<integer>9</integer>"}, {"sbsigs", "<false/>"}});
  start();
  objc::id spinner = make("UIActivityIndicatorView");
  objc::id refresh = make("_UIRefreshControlModernContentView");
  objc::id bar = make("UIStatusBar");
  objc::id red = ui::Color::withRed(1, 0, 0, 1).get();

  auto calls = hostCallsDuring([&] {
    objc::send<"setColor:", void>(spinner, red);
    objc::send<"setTintColor:", void>(refresh, red);
    objc::send<"setForegroundColor:", void>(bar, red);
    objc::send<"setForegroundColor:", void>(bar, static_cast<objc::id>(nullptr));
  });
  ASSERT_EQ(calls.size(), 4u);
  // Both views of the activity element receive the same colour.
  EXPECT_EQ(calls[0].arguments[0].colour, bytes(76, 217, 100));
  EXPECT_EQ(calls[1].arguments[0].colour, bytes(76, 217, 100));
  // The refresh view's own tint setter, as on the device.
  EXPECT_EQ(calls[1].implementor, "_UIRefreshControlModernContentView");
  // Switched off: exactly the colour received, no colour included.
  EXPECT_EQ(calls[2].arguments[0].colour, bytes(255, 0, 0));
  EXPECT_EQ(calls[3].arguments[0].object, nullptr);
  EXPECT_EQ(rgba(objc::send<"color">(spinner)), bytes(76, 217, 100));
}

TEST_F(Hooks, TheInitialiserReplacesOnlyTheForegroundColour) {
  writePrefs({{"sigs", "<true/>"}, {"sig", "<integer>12</integer>"}});
  start();
  objc::id background = ui::Color::withRed(0, 0, 1, 0.5).get();
  objc::id foreground = ui::Color::withRed(1, 1, 1, 1).get();
  objc::id attrs = objc::send<"alloc">(objc::getClass("UIStatusBarNewUIStyleAttributes"));
  auto calls = hostCallsDuring([&] {
    attrs = objc::send<"initWithRequest:backgroundColor:foregroundColor:", objc::id>(
        attrs, static_cast<objc::id>(nullptr), background, foreground);
  });
  ASSERT_NE(attrs, nullptr);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments[1].colour, (Rgba{0, 0, 1, 0.5}));
  EXPECT_EQ(calls[0].arguments[2].colour, bytes(88, 86, 214));
  EXPECT_EQ(rgba(objc::send<"foregroundColor">(attrs)), bytes(88, 86, 214));
  ns::Object(attrs).release();
}

TEST_F(Hooks, ResolutionKeepsEachElementsLastValues) {
  start();
  // No file in a new process: every element is on, in light grey.
  for (int n = 1; n <= kElementCount; ++n) {
    const ColourChoice c = resolveElementColour(static_cast<ElementId>(n));
    EXPECT_TRUE(c.replace);
    EXPECT_EQ(rgba(c.colour), rgba(ui::Color::lightGray().get()));
  }

  // Switched off, the palette colour is made all the same and used once switched on again with an
  // index that names no entry.
  writePrefs({{"sigs", "<false/>"}, {"sig", "<integer>13</integer>"}});
  EXPECT_FALSE(resolveElementColour(ElementId::sig).replace);
  writePrefs({{"sigs", "<true/>"}, {"sig", "<integer>16</integer>"}});
  ColourChoice c = resolveElementColour(ElementId::sig);
  EXPECT_TRUE(c.replace);
  EXPECT_EQ(rgba(c.colour), bytes(255, 59, 48));
  // Another element never takes sig's switch or index.
  writePrefs({{"sigs", "<false/>"}});
  EXPECT_TRUE(resolveElementColour(ElementId::sbsig).replace);
  EXPECT_FALSE(resolveElementColour(ElementId::sig).replace);

  // The file deleted: the last values stay.
  removePrefs();
  EXPECT_FALSE(resolveElementColour(ElementId::sig).replace);

  // Index 4 is the clear colour; index 10 has blue 1/255.
  writePrefs({{"txt", "<integer>4</integer>"}, {"bat", "<integer>10</integer>"}});
  EXPECT_EQ(rgba(resolveElementColour(ElementId::txt).colour), (Rgba{0, 0, 0, 0}));
  EXPECT_EQ(rgba(resolveElementColour(ElementId::bat).colour), bytes(255, 161, 1));
}

TEST_F(Hooks, AnIndexOutsideThePaletteBeforeAnyValidOneHandsOnNoColour) {
  writePrefs({{"recents", "<true/>"}, {"rec", "<integer>0</integer>"}});
  start();
  objc::id legibility = make("_UILegibilitySettings");
  auto calls = hostCallsDuring([&] {
    objc::send<"setPrimaryColor:", void>(legibility, ui::Color::withRed(1, 1, 1, 1).get());
  });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments[0].object, nullptr);
  for (const char* index : {"<integer>-1</integer>", "<integer>2147483648</integer>",
                            "<integer>-9223372036854775808</integer>", "<string>abc</string>"}) {
    writePrefs({{"recents", "<true/>"}, {"rec", index}});
    EXPECT_EQ(resolveElementColour(ElementId::rec).colour, nullptr) << index;
  }
}

TEST_F(Hooks, TheCustomColourWinsAndLeavesThePresetAlone) {
  writePrefs({{"ENABLED1", "<true/>"},
              {"ENABLED5", "<true/>"},
              {"sigs", "<false/>"},
              {"sig", "<integer>13</integer>"},
              {"vyrColor5", "<string>#ff0000:0.5</string>"},
              {"load", "<false/>"}});
  start();
  ColourChoice c = resolveElementColour(ElementId::sig);
  EXPECT_TRUE(c.replace);
  const float grey = 161.0f / 255.0f;
  EXPECT_EQ(rgba(c.colour), (Rgba{grey, grey, grey, 1.0}));
  EXPECT_EQ(tweakSettings().presetColour[0].load(), nullptr);
  EXPECT_EQ(tweakSettings().presetIndex[0].load(), 6);

  auto calls = hostCallsDuring([&] {
    objc::send<"setColor:", void>(make("UIActivityIndicatorView"), static_cast<objc::id>(nullptr));
  });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments[0].colour, (Rgba{1, 0, 0, 0.5}));
}

TEST_F(Hooks, TheLockScreenFollowsLssameReadAtEveryCall) {
  start();
  objc::id lock = make("SBLockScreenViewController");
  auto style = [&] { return objc::send<"statusBarStyle", objc::NSInteger>(lock); };
  auto calls = hostCallsDuring([&] { EXPECT_EQ(style(), 0); });
  EXPECT_TRUE(calls.empty());

  writePrefs({{"sigs", "<true/>"}});
  EXPECT_EQ(style(), 0);

  writePrefs({{"lssame", "<false/>"}});
  calls = hostCallsDuring([&] { EXPECT_EQ(style(), 1); });
  EXPECT_EQ(calls.size(), 1u);
  removePrefs();
  EXPECT_EQ(style(), 1);

  // Switched back on without any notification.
  writePrefs({{"lssame", "<true/>"}});
  EXPECT_EQ(style(), 0);
}

}  // namespace
}  // namespace vyrtest
