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

// Stores a copy of TEXT (titles are copied, so a mutable string changed later does not change
// the title).
void setCopy(const ObjectField& field, id self, id text) {
  id copy = objc::send<"copy">(text);
  field.set(self, copy);
  foundation::release(copy);
}

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
void controllerSetView(id self, SEL, id view) {
  gView.set(self, view);
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
id controllerTitle(id self, SEL) {
  return gControllerTitle.getAutoreleased(self);
}
void controllerSetTitle(id self, SEL, id title) {
  setCopy(gControllerTitle, self, title);
  if (gNavItem.get(self) != nullptr) objc::send<"setTitle:", void>(gNavItem.get(self), title);
}
void controllerDealloc(id self, SEL) {
  gView.clear(self);
  gNavItem.clear(self);
  gControllerTitle.clear(self);
  foundation::deallocSuper(self, gController);
}

// UINavigationItem: owns its title and its bar button items.
id navInitWithTitle(id self, SEL, id title) {
  setCopy(gNavTitle, self, title);
  return self;
}
id navTitle(id self, SEL) {
  return gNavTitle.getAutoreleased(self);
}
void navSetTitle(id self, SEL, id title) {
  setCopy(gNavTitle, self, title);
}
id navRight(id self, SEL) {
  return gRightItem.getAutoreleased(self);
}
void navSetRight(id self, SEL, id item) {
  gRightItem.set(self, item);
}
id navLeft(id self, SEL) {
  return gLeftItem.getAutoreleased(self);
}
void navSetLeft(id self, SEL, id item) {
  gLeftItem.set(self, item);
}
void navDealloc(id self, SEL) {
  gNavTitle.clear(self);
  gRightItem.clear(self);
  gLeftItem.clear(self);
  foundation::deallocSuper(self, gNavigationItem);
}

// UIBarItem and UIBarButtonItem.
id itemTitle(id self, SEL) {
  return gItemTitle.getAutoreleased(self);
}
void itemSetTitle(id self, SEL, id title) {
  setCopy(gItemTitle, self, title);
}
void itemDealloc(id self, SEL) {
  gItemTitle.clear(self);
  foundation::deallocSuper(self, gBarItem);
}
id buttonInit(id self, SEL, id title, long style, id target, SEL action) {
  setCopy(gItemTitle, self, title);
  gItemStyle.of(self) = style;
  gItemTarget.of(self) = target;
  gItemAction.of(self) = action;
  return self;
}
long buttonStyle(id self, SEL) {
  return gItemStyle.of(self);
}
void buttonSetStyle(id self, SEL, long style) {
  gItemStyle.of(self) = style;
}
id buttonTarget(id self, SEL) {
  return gItemTarget.of(self);
}
void buttonSetTarget(id self, SEL, id target) {
  gItemTarget.of(self) = target;
}
SEL buttonAction(id self, SEL) {
  return gItemAction.of(self);
}
void buttonSetAction(id self, SEL, SEL action) {
  gItemAction.of(self) = action;
}

}  // namespace

void registerControllers() {
  objc::ClassBuilder controller("UIViewController", objc::getClass("UIResponder"));
  gView.declare(controller);
  gNavItem.declare(controller);
  gControllerTitle.declare(controller);
  controller.method("view", &controllerView)
      .method("loadView", &controllerLoadView)
      .method("setView:", &controllerSetView)
      .method("isViewLoaded", &controllerIsViewLoaded)
      .method("viewDidLoad", &controllerNothing)
      .method("viewWillAppear:", &controllerAppearance)
      .method("viewDidAppear:", &controllerAppearance)
      .method("viewWillDisappear:", &controllerAppearance)
      .method("viewDidDisappear:", &controllerAppearance)
      .method("navigationItem", &controllerNavigationItem)
      .method("title", &controllerTitle)
      .method("setTitle:", &controllerSetTitle)
      .method("dealloc", &controllerDealloc);
  gController = controller.finish();
  gView.bind(gController);
  gNavItem.bind(gController);
  gControllerTitle.bind(gController);

  objc::ClassBuilder nav("UINavigationItem", foundation::rootClass());
  gNavTitle.declare(nav);
  gRightItem.declare(nav);
  gLeftItem.declare(nav);
  nav.method("initWithTitle:", &navInitWithTitle)
      .method("title", &navTitle)
      .method("setTitle:", &navSetTitle)
      .method("rightBarButtonItem", &navRight)
      .method("setRightBarButtonItem:", &navSetRight)
      .method("leftBarButtonItem", &navLeft)
      .method("setLeftBarButtonItem:", &navSetLeft)
      .method("dealloc", &navDealloc);
  gNavigationItem = nav.finish();
  gNavTitle.bind(gNavigationItem);
  gRightItem.bind(gNavigationItem);
  gLeftItem.bind(gNavigationItem);

  objc::ClassBuilder barItem("UIBarItem", foundation::rootClass());
  gItemTitle.declare(barItem);
  barItem.method("title", &itemTitle)
      .method("setTitle:", &itemSetTitle)
      .method("dealloc", &itemDealloc);
  gBarItem = barItem.finish();
  gItemTitle.bind(gBarItem);

  objc::ClassBuilder button("UIBarButtonItem", gBarItem);
  gItemStyle.declare(button, "l");
  gItemTarget.declare(button, "@");
  gItemAction.declare(button, ":");
  button.method("initWithTitle:style:target:action:", &buttonInit)
      .method("style", &buttonStyle)
      .method("setStyle:", &buttonSetStyle)
      .method("target", &buttonTarget)
      .method("setTarget:", &buttonSetTarget)
      .method("action", &buttonAction)
      .method("setAction:", &buttonSetAction);
  const Class buttonClass = button.finish();
  gItemStyle.bind(buttonClass);
  gItemTarget.bind(buttonClass);
  gItemAction.bind(buttonClass);
}

}  // namespace uikit
