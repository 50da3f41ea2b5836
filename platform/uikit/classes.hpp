// What the UIKit stand-in's source files share among themselves. Internal: neither the system's
// own code nor the simulator includes this.
#pragma once

#include "platform/objc/runtime.hpp"

namespace uikit {

using objc::CGFloat;

// Registers classes with the runtime. The library's one load-time constructor calls these in
// this order (a class's superclass is always registered first); each adds every method before
// registering, since adding methods later is unsafe under running threads.
void registerColor();            // UIColor
void registerViews();            // UIResponder, UIView and its subclasses
void registerStatusBarStyles();  // the status-bar style and foreground-style attributes,
                                 // _UILegibilitySettings
void registerControllers();      // UIViewController, UINavigationItem, UIBarItem, UIBarButtonItem
void registerApplication();      // UIApplication

// Red, green, blue and alpha of a colour, each 0 to 1 in the platform's CGFloat.
struct Rgba {
  CGFloat red;
  CGFloat green;
  CGFloat blue;
  CGFloat alpha;
};

// A new UIColor with the given components, autoreleased (the caller does not own it).
objc::id makeColor(const Rgba& c);

// The components of OBJ when it is a UIColor (true), else false with *OUT untouched.
bool colorComponents(objc::id obj, Rgba* out);

}  // namespace uikit
