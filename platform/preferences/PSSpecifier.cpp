// PSSpecifier: one row of a pane, made from one item of a specifier list.
#include <cstring>

#include "platform/foundation/object.hpp"
#include "platform/preferences/internal.hpp"
#include "platform/uikit/fields.hpp"

using objc::id;
using objc::SEL;

namespace preferences {
namespace {

Class gSpecifier = nullptr;

uikit::ObjectField gProperties("_properties");  // an NSMutableDictionary, owned
uikit::Field<id> gTarget("_target");            // not retained: the target owns its specifiers
uikit::Field<long> gCellType("_cellType");
uikit::Field<SEL> gAction("_action");

constexpr const char* kCellNames[] = {
    "PSGroupCell",          "PSLinkCell",    "PSLinkListCell",     "PSListItemCell",
    "PSTitleValueCell",     "PSSliderCell",  "PSSwitchCell",       "PSStaticTextCell",
    "PSEditTextCell",       "PSSegmentCell", "PSGiantIconCell",    "PSGiantCell",
    "PSSecureEditTextCell", "PSButtonCell",  "PSEditTextViewCell",
};

// A row whose "cell" is missing or unknown shows its label and nothing else.
long cellTypeNamed(ns::Object name) {
  if (!name.isKindOfClass(ns::String::cls())) return static_cast<long>(ps::CellType::StaticText);
  const std::string text = ns::String(name.get()).str();
  for (std::size_t i = 0; i < std::size(kCellNames); ++i) {
    if (text == kCellNames[i]) return static_cast<long>(i);
  }
  return static_cast<long>(ps::CellType::StaticText);
}

ns::MutableDictionary properties(id self) {
  return ns::MutableDictionary(gProperties.get(self));
}

id property(id self, ns::String key) {
  return foundation::autorelease(foundation::retain(properties(self).objectForKey(key.get())));
}

id stringProperty(id self, ns::String key) {
  id value = properties(self).objectForKey(key.get());
  return ns::Object(value).isKindOfClass(ns::String::cls()) ? value : nullptr;
}

id mPropertyForKey(id self, SEL, id key) {
  return guarded<id>(nullptr, [&] { return property(self, ns::String(key)); });
}

void mSetPropertyForKey(id self, SEL, id value, id key) {
  guarded([&] {
    if (key == nullptr) return;
    if (value != nullptr) {
      properties(self).setObjectForKey(value, key);
    } else {
      properties(self).removeObjectForKey(key);
    }
  });
}

id mName(id self, SEL) {
  return guarded<id>(nullptr, [&] {
    return foundation::autorelease(
        foundation::retain(stringProperty(self, ns::String::literal<"label">())));
  });
}

id mIdentifier(id self, SEL) {
  return guarded<id>(nullptr, [&] {
    id found = stringProperty(self, ns::String::literal<"id">());
    if (found == nullptr) found = stringProperty(self, ns::String::literal<"key">());
    if (found == nullptr) found = stringProperty(self, ns::String::literal<"label">());
    return foundation::autorelease(foundation::retain(found));
  });
}

id mValues(id self, SEL) {
  return guarded<id>(nullptr, [&] {
    ns::Object values(properties(self).objectForKey(ns::String::literal<"validValues">().get()));
    if (!values.isKindOfClass(ns::Array::cls())) return static_cast<id>(nullptr);
    return foundation::autorelease(foundation::retain(values.get()));
  });
}

}  // namespace

void registerSpecifier() {
  objc::ClassBuilder b("PSSpecifier", foundation::rootClass());
  b.method("propertyForKey:", &mPropertyForKey)
      .method("setProperty:forKey:", &mSetPropertyForKey)
      .method("properties", &uikit::getObject<gProperties>)
      .method("name", &mName)
      .method("identifier", &mIdentifier)
      .method("cellType", &uikit::getValue<gCellType>)
      .method("target", &uikit::getValue<gTarget>)
      .method("setTarget:", &uikit::setValue<gTarget>)
      .method("buttonAction", &uikit::getValue<gAction>)
      .method("setButtonAction:", &uikit::setValue<gAction>)
      .method("values", &mValues)
      .method("dealloc", &uikit::releaseAndDealloc<gSpecifier, gProperties>);
  gSpecifier = foundation::finishWithFields(b, gProperties, gTarget, gCellType, gAction);
}

id makeSpecifier(ns::Dictionary source, id target) {
  id self = foundation::allocInstance(gSpecifier);
  ns::MutableDictionary copy = ns::MutableDictionary::dictionary();
  const ns::Array keys = source.allKeys();
  for (unsigned long i = 0, n = keys.count(); i < n; ++i) {
    id key = keys.objectAtIndex(i);
    copy.setObjectForKey(source.objectForKey(key), key);
  }
  gProperties.set(self, copy.get());
  gTarget.of(self) = target;
  gCellType.of(self) =
      cellTypeNamed(ns::Object(copy.objectForKey(ns::String::literal<"cell">().get())));
  if (id action = stringProperty(self, ns::String::literal<"action">())) {
    const std::string name = ns::String(action).str();
    // A selector name holds no NUL; an empty one names no action.
    if (!name.empty() && std::strlen(name.c_str()) == name.size()) {
      gAction.of(self) = sel_registerName(name.c_str());
    }
  }
  return self;
}

}  // namespace preferences
