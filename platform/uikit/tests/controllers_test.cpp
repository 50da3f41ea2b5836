// What a settings pane's controller uses of UIKit: the view controller's lazy view and navigation
// item, bar button items, and the application's URL opening and action delivery.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"
#include "platform/uikit/facade.hpp"
#include "tests/support/temp_device.hpp"

namespace {

using objc::id;

// A controller subclass that counts what UIKit sends it.
int gViewDidLoad = 0;
int gTapped = 0;
id gTapSender = nullptr;

void countViewDidLoad(id self, SEL cmd) {
  ++gViewDidLoad;
  objc::sendSuper<void>(self, objc::getClass("CountingController"), cmd);
}
void tapped(id, SEL, id sender) {
  ++gTapped;
  gTapSender = sender;
}

Class countingController() {
  static const Class cls = [] {
    objc::ClassBuilder b("CountingController", objc::getClass("UIViewController"));
    b.method("viewDidLoad", &countViewDidLoad).method("tapped:", &tapped);
    return b.finish();
  }();
  return cls;
}

TEST(ViewController, LoadsItsViewOnceAndOwnsItsNavigationItemAndButtons) {
  ns::AutoreleasePool pool;
  const ui::ViewController controller(objc::send<"new">(countingController()));
  EXPECT_FALSE(controller.isViewLoaded());
  const ui::View view = controller.view();
  EXPECT_TRUE(view.isKindOfClass(objc::getClass("UIView")));
  EXPECT_EQ(controller.view().get(), view.get());
  EXPECT_EQ(gViewDidLoad, 1);
  controller.viewWillAppear(true);  // there for subclasses' super calls

  controller.setTitle(ns::String::withUTF8("VYR"));
  const ui::NavigationItem item = controller.navigationItem();
  EXPECT_EQ(controller.navigationItem().get(), item.get());
  EXPECT_EQ(item.title().str(), "VYR");
  EXPECT_TRUE(item.rightBarButtonItem().isNil());

  const SEL action = sel_registerName("tapped:");
  const ui::BarButtonItem button =
      ui::BarButtonItem::allocInitWithTitle(ns::String::withUTF8("Respring"), 0, controller.get(),
                                            action)
          .take();
  EXPECT_EQ(button.title().str(), "Respring");
  EXPECT_EQ(button.style(), 0);
  EXPECT_EQ(button.target(), controller.get());
  EXPECT_EQ(button.action(), action);
  EXPECT_EQ(foundation::retainCount(controller.get()), 1);  // a target is not retained
  item.setRightBarButtonItem(button);
  EXPECT_EQ(foundation::retainCount(button.get()), 2);
  button.release();
  EXPECT_EQ(item.rightBarButtonItem().get(), button.get());

  // A tap delivers the action to the target, with the button as sender.
  const ui::Application app = ui::Application::shared();
  EXPECT_TRUE(app.sendAction(action, controller.get(), button.get()));
  EXPECT_EQ(gTapped, 1);
  EXPECT_EQ(gTapSender, button.get());
  EXPECT_FALSE(app.sendAction(action, nullptr, button.get()));
  EXPECT_FALSE(app.sendAction(sel_registerName("noSuchAction"), controller.get(), nullptr));
  EXPECT_EQ(gTapped, 1);
  controller.release();
}

TEST(Application, OpensPackageManagerURLsOnlyWhenItIsInstalled) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  const ui::Application app = ui::Application::shared();
  EXPECT_EQ(ui::Application::shared().get(), app.get());
  const char* kPackage = "cydia://package/org.thebigboss.libcolorpicker";
  const ns::URL package = ns::URL::withString(ns::String::withUTF8(kPackage));
  const ns::URL web = ns::URL::withString(ns::String::withUTF8("https://example.com/"));
  const auto log = [&] {
    std::stringstream text;
    text << std::ifstream(device.root() + "/.sim/opened-urls.log").rdbuf();
    return text.str();
  };

  EXPECT_FALSE(app.canOpenURL(package));
  EXPECT_FALSE(app.openURL(package));
  EXPECT_EQ(log(), "");

  std::filesystem::create_directories(device.path("/Applications/Cydia.app"));
  EXPECT_TRUE(app.canOpenURL(package));
  EXPECT_TRUE(app.openURL(package));
  EXPECT_TRUE(app.openURL(package));
  EXPECT_FALSE(app.openURL(web));
  EXPECT_FALSE(app.openURL(ns::URL()));
  EXPECT_EQ(log(), std::string(kPackage) + "\n" + kPackage + "\n");
}

}  // namespace
