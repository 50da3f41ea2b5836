// Typed facades over the Preferences framework's classes, for code that uses the framework as a
// client would: a preference bundle's list controller, and cell classes of other libraries.
//
// Each facade is a non-owning handle around an object pointer; each function sends the real
// message of the same name, so the calling code would run unchanged against the device's own
// framework. Objects returned are not owned by the caller unless stated.
#pragma once

#include "platform/foundation/facade.hpp"
#include "platform/objc/runtime.hpp"

namespace ps {

using objc::id;

// The kinds of cell a specifier can declare, numbered as the framework numbers them.
enum class CellType : long {
  Group = 0,
  Link = 1,
  LinkList = 2,
  ListItem = 3,
  TitleValue = 4,
  Slider = 5,
  Switch = 6,
  StaticText = 7,
  EditText = 8,
  Segment = 9,
  GiantIcon = 10,
  Giant = 11,
  SecureEditText = 12,
  Button = 13,
  EditTextView = 14,
};

// One row of a pane, made from one item of a specifier list. Its properties are that item's
// entries: "cell", "label", "key", "defaults" (the preferences domain), "default" (the value
// shown while the domain has none), "PostNotification" (a Darwin notification posted after each
// change), "validValues"/"validTitles" (a list's choices), "action" (a button's selector),
// "cellClass" (a cell class of another library), "footerText".
class Specifier : public ns::Object {
 public:
  using Object::Object;
  // The property under KEY, or nil.
  id propertyForKey(ns::String key) const {
    return objc::send<"propertyForKey:", id>(self_, key.get());
  }
  // Sets (or with nil removes) the property under KEY.
  void setPropertyForKey(id value, ns::String key) const {
    objc::send<"setProperty:forKey:", void>(self_, value, key.get());
  }
  // The row's label ("label").
  ns::String name() const { return ns::String(objc::send<"name", id>(self_)); }
  // "id" when present, else "key", else the label.
  ns::String identifier() const { return ns::String(objc::send<"identifier", id>(self_)); }
  CellType cellType() const { return static_cast<CellType>(objc::send<"cellType", long>(self_)); }
  // The object that reads and writes the row's value and receives its action; not retained by
  // the specifier (the list controller that loaded it).
  id target() const { return objc::send<"target", id>(self_); }
  void setTarget(id target) const { objc::send<"setTarget:", void>(self_, target); }
  // The button's action, or null for a row without one.
  SEL buttonAction() const { return objc::send<"buttonAction", SEL>(self_); }
  // A list's choices ("validValues"), or nil.
  ns::Array values() const { return ns::Array(objc::send<"values", id>(self_)); }
  static Class cls() { return objc::getClass("PSSpecifier"); }
};

// A list controller: a view controller that shows rows made from specifiers and stores their
// values in preferences domains. Runs on the main thread only.
class ListController : public ns::Object {
 public:
  using Object::Object;

  // The controller's specifier array, the instance variable `_specifiers`: nil until a specifier
  // list is stored there. The controller owns what it holds (one reference) and releases it when
  // it is deallocated; a subclass that stores an array must retain it.
  id& specifiersField() const {
    static const std::ptrdiff_t offset = objc::ivarOffset(cls(), "_specifiers");
    return *reinterpret_cast<id*>(reinterpret_cast<char*>(self_) + offset);
  }
  // The rows the pane shows (subclasses override `specifiers` to fill `_specifiers`).
  ns::Array specifiers() const { return ns::Array(objc::send<"specifiers", id>(self_)); }
  // The specifiers of the list NAME.plist in the controller's bundle, each with TARGET;
  // autoreleased, or nil when the bundle has no such readable list.
  ns::Array loadSpecifiersFromPlistNameTarget(ns::String name, id target) const {
    return ns::Array(
        objc::send<"loadSpecifiersFromPlistName:target:", id>(self_, name.get(), target));
  }
  // The first specifier whose identifier is IDENTIFIER, or nil.
  Specifier specifierForID(ns::String identifier) const {
    return Specifier(objc::send<"specifierForID:", id>(self_, identifier.get()));
  }
  // Drops the cells made so far; the next look at a row makes it anew.
  void clearCache() const { objc::send<"clearCache", void>(self_); }
  // Shows every row's current value again, as read from its domain.
  void reload() const { objc::send<"reload", void>(self_); }
  // The cell that shows SPECIFIER, made on first use and kept until clearCache; nil for a group.
  id cachedCellForSpecifier(Specifier specifier) const {
    return objc::send<"cachedCellForSpecifier:", id>(self_, specifier.get());
  }
  // The value of SPECIFIER's key in its domain, else its "default"; autoreleased, may be nil.
  id readPreferenceValue(Specifier specifier) const {
    return objc::send<"readPreferenceValue:", id>(self_, specifier.get());
  }
  // Stores VALUE (nil removes the key) under SPECIFIER's key in its domain, then posts its
  // notification.
  void setPreferenceValue(id value, Specifier specifier) const {
    objc::send<"setPreferenceValue:specifier:", void>(self_, value, specifier.get());
  }
  static Class cls() { return objc::getClass("PSListController"); }
};

// The messages a method of a list-controller subclass passes on to its superclass's
// implementation (what `[super ...]` does). IMPLEMENTOR is the class whose method is running.
class ListControllerSuper {
 public:
  ListControllerSuper(id self, Class implementor) : self_(self), implementor_(implementor) {}
  void viewDidLoad() const {
    objc::sendSuper<void>(self_, implementor_, objc::sel<"viewDidLoad">());
  }
  // Passes ANIMATED on exactly as received.
  void viewWillAppear(objc::BOOL animated) const {
    objc::sendSuper<void, objc::BOOL>(self_, implementor_, objc::sel<"viewWillAppear:">(),
                                      animated);
  }

 private:
  id self_;
  Class implementor_;
};

// A row's cell. Besides the device's messages, cells of the simulator answer two that stand in
// for drawing and touch, and that a cell class of another library overrides:
//  - `valueText`: the value as the row shows it (an NSString, autoreleased), nil for none;
//  - `takeInput:`: changes the value as the user's touch would, from text typed in the cell's own
//    terms; answers NO, changing nothing, when the text means no value of this cell.
class TableCell : public ns::Object {
 public:
  using Object::Object;
  Specifier specifier() const { return Specifier(objc::send<"specifier", id>(self_)); }
  // Reads the cell's value again through its specifier's target.
  void refreshCellContentsWithSpecifier(Specifier specifier) const {
    objc::send<"refreshCellContentsWithSpecifier:", void>(self_, specifier.get());
  }
  // The value as last read (retained by the cell; valid until the next refresh), may be nil.
  id value() const { return objc::send<"value", id>(self_); }
  ns::String valueText() const { return ns::String(objc::send<"valueText", id>(self_)); }
  bool takeInput(ns::String text) const {
    return objc::send<"takeInput:", objc::BOOL>(self_, text.get()) != objc::no;
  }
  static Class cls() { return objc::getClass("PSTableCell"); }
};

}  // namespace ps
