// VYRListController adds to the framework's list controller: its specifier list "VYR", loaded
// once and kept; a "Respring" button in the navigation bar; a fresh reload each time the pane is
// about to appear; and the actions `respring` and `lib` for the list's button cells.
//
// Every method runs on the Settings app's main thread. None lets a C++ exception out into the
// framework that sent it: a failure leaves the pane as it was.
#include "prefs/VYRListController.hpp"

#include "platform/foundation/facade.hpp"
#include "platform/preferences/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "prefs/respring.hpp"

using objc::BOOL;
using objc::id;
using objc::SEL;

namespace {

// The controller's own messages, in the order of its method list.
constexpr objc::Name kSpecifiers = "specifiers";
constexpr objc::Name kViewDidLoad = "viewDidLoad";
constexpr objc::Name kRightButtonPressed = "rightButtonPressed";
constexpr objc::Name kRespring = "respring";
constexpr objc::Name kLib = "lib";
constexpr objc::Name kViewWillAppear = "viewWillAppear:";

constexpr long kBarButtonItemStylePlain = 0;

Class gController = nullptr;

// The package manager's page of the colour-picker library that colour cells need.
ns::String colourPickerPackageURL() {
  return ns::String::literal<"cydia://package/org.thebigboss.libcolorpicker">();
}

id specifiers(id self, SEL) {
  const ps::ListController controller(self);
  id& cached = controller.specifiersField();
  if (cached != nullptr) return cached;
  try {
    // A list that failed to load (nil) is stored as nil, so that the next call tries again.
    const ns::Array loaded =
        controller.loadSpecifiersFromPlistNameTarget(ns::String::literal<"VYR">(), self);
    loaded.retain();
    cached = loaded.get();
  } catch (...) {
  }
  return cached;
}

void viewDidLoad(id self, SEL) {
  ps::ListControllerSuper(self, gController).viewDidLoad();
  try {
    // The navigation item becomes the button's only owner.
    const ui::BarButtonItem button =
        ui::BarButtonItem::allocInitWithTitle(ns::String::literal<"Respring">(),
                                              kBarButtonItemStylePlain, self,
                                              objc::sel<kRightButtonPressed>())
            .autorelease();
    ui::ViewController(self).navigationItem().setRightBarButtonItem(button);
  } catch (...) {
  }
}

void rightButtonPressed(id, SEL) {
  try {
    purgeCachesAndRespring();
  } catch (...) {
  }
}

void respring(id, SEL) {
  try {
    purgeCachesAndRespring();
  } catch (...) {
  }
}

void lib(id, SEL) {
  try {
    // Without the package manager nothing handles the URL; the pane stays as it is.
    ui::Application::shared().openURL(ns::URL::withString(colourPickerPackageURL()));
  } catch (...) {
  }
}

void viewWillAppear(id self, SEL, BOOL animated) {
  const ps::ListController controller(self);
  controller.clearCache();
  controller.reload();
  ps::ListControllerSuper(self, gController).viewWillAppear(animated);
}

}  // namespace

Class registerVYRListController() {
  if (Class existing = objc::getClass("VYRListController")) return existing;
  const Class base = ps::ListController::cls();
  if (base == nullptr) return nullptr;
  objc::ClassBuilder b("VYRListController", base);
  b.method(kSpecifiers.text, &specifiers)
      .method(kViewDidLoad.text, &viewDidLoad)
      .method(kRightButtonPressed.text, &rightButtonPressed)
      .method(kRespring.text, &respring)
      .method(kLib.text, &lib)
      .method(kViewWillAppear.text, &viewWillAppear);
  gController = b.finish();
  return gController;
}
