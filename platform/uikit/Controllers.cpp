// UIViewController, UINavigationItem, UIBarItem and UIBarButtonItem: what a settings pane's
// controller needs of them. There is no window or screen: `view` loads a plain UIView on first
// use, and the appearance methods do nothing, so subclasses (the Preferences framework's list
// controllers) can pass them on to super as they do on the device.
#include "platform/foundation/object.hpp"
#include "platform/uikit/classes.hpp"
#include "platform/uikit/fields.hpp"

using objc::BOOL;
using objc::id;
using objc::SEL;

namespace uikit {
namespace {

Class gController = nullptr;
Class gNavigationItem = nullptr;
Class gBarItem = nullptr;

ObjectField gView("_view");
ObjectField gNavItem("_navigationItem");
ObjectField gControllerTitle("_title");
ObjectField gNavTitle("_title");
ObjectField gRightItem("_rightBarButtonItem");
ObjectField gLeftItem("_leftBarButtonItem");
ObjectField gItemTitle("_title");
Field<long> gItemStyle("_style");
Field<id> gItemTarget("_target");  // not retained: a target is referenced weakly, as on the device
Field<SEL> gItemAction("_action");

// UIViewController.
id controllerView(id self, SEL) {
  if (gView.get(self) == nullptr) {
    objc::send<"loadView", void>(self);
    if (gView.get(self) != nullptr) objc::send<"viewDidLoad", void>(self);
  }
  return gView.get(self);
}
void controllerLoadView(id self, SEL) {
  id view = objc::send<"init">(objc::send<"alloc">(objc::getClass("UIView")));
  gView.set(self, view);
  foundation::release(view);
}
BOOL controllerIsViewLoaded(id self, SEL) {
  return gView.get(self) != nullptr ? objc::yes : objc::no;
}
void controllerNothing(id, SEL) {}
void controllerAppearance(id, SEL, BOOL) {}
id controllerNavigationItem(id self, SEL) {
  if (gNavItem.get(self) == nullptr) {
    id item = objc::send<"initWithTitle:">(objc::send<"alloc">(gNavigationItem),
                                           gControllerTitle.get(self));
    gNavItem.set(self, item);
    foundation::release(item);
  }
  return gNavItem.get(self);
}
void controllerSetTitle(id self, SEL, id title) {
  setCopy(gControllerTitle, self, title);
  if (gNavItem.get(self) != nullptr) objc::send<"setTitle:", void>(gNavItem.get(self), title);
}

// UINavigationItem.
id navInitWithTitle(id self, SEL, id title) {
  setCopy(gNavTitle, self, title);
  return self;
}

// UIBarButtonItem.
id buttonInit(id self, SEL, id title, long style, id target, SEL action) {
  setCopy(gItemTitle, self, title);
  gItemStyle.of(self) = style;
  gItemTarget.of(self) = target;
  gItemAction.of(self) = action;
  return self;
}

}  // namespace

void registerControllers() {
  objc::ClassBuilder controller("UIViewController", objc::getClass("UIResponder"));
  controller.method("view", &controllerView)
      .method("loadView", &controllerLoadView)
      .method("setView:", &setObject<gView>)
      .method("isViewLoaded", &controllerIsViewLoaded)
      .method("viewDidLoad", &controllerNothing)
      .method("viewWillAppear:", &controllerAppearance)
      .method("viewDidAppear:", &controllerAppearance)
      .method("viewWillDisappear:", &controllerAppearance)
      .method("viewDidDisappear:", &controllerAppearance)
      .method("navigationItem", &controllerNavigationItem)
      .method("title", &getObject<gControllerTitle>)
      .method("setTitle:", &controllerSetTitle)
      .method("dealloc", &releaseAndDealloc<gController, gView, gNavItem, gControllerTitle>);
  gController = foundation::finishWithFields(controller, gView, gNavItem, gControllerTitle);

  // UINavigationItem: owns its title and its bar button items.
  objc::ClassBuilder nav("UINavigationItem", foundation::rootClass());
  nav.method("initWithTitle:", &navInitWithTitle)
      .method("title", &getObject<gNavTitle>)
      .method("setTitle:", &setCopyOf<gNavTitle>)
      .method("rightBarButtonItem", &getObject<gRightItem>)
      .method("setRightBarButtonItem:", &setObject<gRightItem>)
      .method("leftBarButtonItem", &getObject<gLeftItem>)
      .method("setLeftBarButtonItem:", &setObject<gLeftItem>)
      .method("dealloc", &releaseAndDealloc<gNavigationItem, gNavTitle, gRightItem, gLeftItem>);
  gNavigationItem = foundation::finishWithFields(nav, gNavTitle, gRightItem, gLeftItem);

  objc::ClassBuilder barItem("UIBarItem", foundation::rootClass());
  barItem.method("title", &getObject<gItemTitle>)
      .method("setTitle:", &setCopyOf<gItemTitle>)
      .method("dealloc", &releaseAndDealloc<gBarItem, gItemTitle>);
  gBarItem = foundation::finishWithFields(barItem, gItemTitle);

  objc::ClassBuilder button("UIBarButtonItem", gBarItem);
  button.method("initWithTitle:style:target:action:", &buttonInit)
      .method("style", &getValue<gItemStyle>)
      .method("setStyle:", &setValue<gItemStyle>)
      .method("target", &getValue<gItemTarget>)
      .method("setTarget:", &setValue<gItemTarget>)
      .method("action", &getValue<gItemAction>)
      .method("setAction:", &setValue<gItemAction>);
  foundation::finishWithFields(button, gItemStyle, gItemTarget, gItemAction);
}

}  // namespace uikit
