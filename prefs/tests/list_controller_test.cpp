// VYRListController's life cycle: its cached specifier list, the Respring button, the order of
// its appearance work, and the messages it passes on to its base classes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "platform/preferences/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "prefs/tests/pane.hpp"

namespace {

using objc::id;
using objc::SEL;

std::vector<std::string> gCalls;
IMP gLoad = nullptr;
IMP gClearCache = nullptr;
IMP gReload = nullptr;
IMP gBaseViewDidLoad = nullptr;

id countLoad(id self, SEL cmd, id name, id target) {
  gCalls.push_back("load " + ns::String(name).str() + (target == self ? " self" : " other"));
  return objc::callImp<id>(gLoad, self, cmd, name, target);
}
void recordClearCache(id self, SEL cmd) {
  gCalls.push_back("clearCache");
  objc::callImp<void>(gClearCache, self, cmd);
}
void recordReload(id self, SEL cmd) {
  gCalls.push_back("reload");
  objc::callImp<void>(gReload, self, cmd);
}
void recordBaseViewWillAppear(id, SEL, objc::BOOL animated) {
  gCalls.push_back("base viewWillAppear: " + std::to_string(animated));
}
void recordBaseViewDidLoad(id self, SEL cmd) {
  const bool hasButton = !ui::ViewController(self).navigationItem().rightBarButtonItem().isNil();
  gCalls.push_back(hasButton ? "base viewDidLoad after the button" : "base viewDidLoad");
  objc::callImp<void>(gBaseViewDidLoad, self, cmd);
}

unsigned long retainCount(id obj) {
  return objc::send<"retainCount", unsigned long>(obj);
}

IMP swap(const char* cls, SEL cmd, IMP replacement) {
  return method_setImplementation(class_getInstanceMethod(objc::getClass(cls), cmd), replacement);
}
template <class F>
IMP imp(F* fn) {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(fn));
}

class VYRListControllerTest : public ::testing::Test {
 protected:
  // The base classes' methods are replaced by recording ones once per process.
  static void SetUpTestSuite() {
    gLoad = swap("PSListController", objc::sel<"loadSpecifiersFromPlistName:target:">(),
                 imp(&countLoad));
    gClearCache = swap("PSListController", objc::sel<"clearCache">(), imp(&recordClearCache));
    gReload = swap("PSListController", objc::sel<"reload">(), imp(&recordReload));
    swap("UIViewController", objc::sel<"viewWillAppear:">(), imp(&recordBaseViewWillAppear));
    gBaseViewDidLoad =
        swap("UIViewController", objc::sel<"viewDidLoad">(), imp(&recordBaseViewDidLoad));
  }
  void SetUp() override { vyrtest::installPane(device_); }

  vyrtest::TempDevice device_;
  ns::AutoreleasePool pool_;
};

TEST_F(VYRListControllerTest, LoadsItsListOnceAndKeepsItButRetriesAFailedLoad) {
  const std::string list = device_.path("/Library/PreferenceBundles/VYR.bundle/VYR.plist");
  std::filesystem::rename(list, list + ".away");
  const auto pane = vyrtest::openPane();
  ASSERT_TRUE(pane);
  const ps::ListController controller(pane->controller());
  gCalls.clear();

  EXPECT_TRUE(controller.specifiers().isNil());
  EXPECT_TRUE(controller.specifiers().isNil());
  EXPECT_EQ(controller.specifiersField(), nullptr);
  EXPECT_TRUE(pane->rows().empty());
  EXPECT_EQ(gCalls, (std::vector<std::string>{"load VYR self", "load VYR self", "load VYR self"}));

  std::filesystem::rename(list + ".away", list);
  gCalls.clear();
  id first = nullptr;
  {
    ns::AutoreleasePool inner;
    first = controller.specifiers().get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(controller.specifiers().get(), first);
  }
  EXPECT_EQ(gCalls, std::vector<std::string>{"load VYR self"});
  EXPECT_EQ(controller.specifiersField(), first);
  // The field holds the one owning reference once the loader's autorelease is drained.
  EXPECT_EQ(retainCount(first), 1u);
  EXPECT_GT(ns::Array(first).count(), 0u);
  EXPECT_EQ(controller.specifiers().get(), first);
  EXPECT_EQ(gCalls.size(), 1u);
}

TEST_F(VYRListControllerTest, ViewLoadInstallsAPlainRespringButtonAfterTheBaseClass) {
  gCalls.clear();
  std::unique_ptr<preferences::settings::Pane> pane;
  id item = nullptr;
  {
    ns::AutoreleasePool inner;
    pane = vyrtest::openPane();
    ASSERT_TRUE(pane);
    ASSERT_FALSE(gCalls.empty());
    EXPECT_EQ(gCalls.front(), "base viewDidLoad");

    const ui::BarButtonItem button =
        ui::ViewController(pane->controller()).navigationItem().rightBarButtonItem();
    ASSERT_TRUE(button);
    EXPECT_EQ(button.title().str(), "Respring");
    EXPECT_EQ(button.style(), 0);
    EXPECT_EQ(button.target(), pane->controller());
    EXPECT_EQ(button.action(), objc::sel<"rightButtonPressed">());
    item = button.get();
  }
  // Once the creating reference is given up, the navigation item is the button's only owner.
  EXPECT_EQ(retainCount(item), 1u);
}

TEST_F(VYRListControllerTest, EachAppearanceClearsThenReloadsThenPassesTheFlagOn) {
  const auto pane = vyrtest::openPane();
  ASSERT_TRUE(pane);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"base viewDidLoad", "clearCache", "reload",
                                              "base viewWillAppear: 0"}));
  const ui::ViewController controller(pane->controller());
  for (const bool animated : {true, false}) {
    gCalls.clear();
    controller.viewWillAppear(animated);
    EXPECT_EQ(gCalls,
              (std::vector<std::string>{"clearCache", "reload",
                                        "base viewWillAppear: " + std::to_string(animated)}));
  }
}

}  // namespace
