// PSTableCell and the framework's own kinds of cell: switches, lists of choices, text fields and
// buttons. A cell reads its value through its specifier's target (readPreferenceValue:) and
// writes a change through it (setPreferenceValue:specifier:), which stores it in the domain and
// posts the row's notification.
#include <cctype>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/object.hpp"
#include "platform/preferences/internal.hpp"
#include "platform/uikit/fields.hpp"

using objc::BOOL;
using objc::id;
using objc::SEL;

namespace preferences {
namespace {

Class gTableCell = nullptr;
Class gSwitchCell = nullptr;
Class gListCell = nullptr;
Class gTextCell = nullptr;
Class gButtonCell = nullptr;

uikit::ObjectField gSpecifier("_specifier");
uikit::ObjectField gValue("_value");

std::string lowered(std::string_view text) {
  std::string out;
  for (char c : text) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

bool isString(id obj) {
  return ns::Object(obj).isKindOfClass(ns::String::cls());
}

// How a value reads as text: a string as it is, anything else as its description.
std::string textOf(id value) {
  if (value == nullptr) return {};
  if (isString(value)) return ns::String(value).str();
  return ns::String(objc::send<"description", id>(value)).str();
}

// Hands VALUE to the specifier's target as the user's change, then shows the stored value.
bool store(id cell, id value) {
  const ps::Specifier specifier(gSpecifier.get(cell));
  id target = specifier.target();
  if (!objc::respondsTo(target, objc::sel<"setPreferenceValue:specifier:">())) return false;
  ps::ListController(target).setPreferenceValue(value, specifier);
  ps::TableCell(cell).refreshCellContentsWithSpecifier(specifier);
  return true;
}

// PSTableCell.
id cellInit(id self, SEL, long, id, id specifier) {
  self = objc::sendSuper<id>(self, gTableCell, objc::sel<"init">());
  if (self == nullptr) return nullptr;
  gSpecifier.set(self, specifier);
  ps::TableCell(self).refreshCellContentsWithSpecifier(ps::Specifier(specifier));
  return self;
}
id cellValue(id self, SEL) {
  return gValue.get(self);
}
void cellRefresh(id self, SEL, id specifier) {
  guarded([&] {
    if (specifier != nullptr) gSpecifier.set(self, specifier);
    id target = ps::Specifier(gSpecifier.get(self)).target();
    id value = nullptr;
    if (objc::respondsTo(target, objc::sel<"readPreferenceValue:">())) {
      value = ps::ListController(target).readPreferenceValue(ps::Specifier(gSpecifier.get(self)));
    }
    gValue.set(self, value);
  });
}
id cellNoText(id, SEL) {
  return nullptr;
}
BOOL cellNoInput(id, SEL, id) {
  return objc::no;
}
// A switch: YES or NO, stored as a Boolean. A switch with no value shows off.
std::optional<bool> parseSwitch(std::string_view text) {
  const std::string word = lowered(trimmed(text));
  if (word == "yes" || word == "true" || word == "on" || word == "1") return true;
  if (word == "no" || word == "false" || word == "off" || word == "0") return false;
  return std::nullopt;
}
id switchText(id self, SEL) {
  return guarded<id>(nullptr, [&] {
    ns::Object value(gValue.get(self));
    const bool on =
        value && value.respondsToSelector(objc::sel<"boolValue">()) && value.boolValue();
    return (on ? ns::String::literal<"YES">() : ns::String::literal<"NO">()).get();
  });
}
BOOL switchInput(id self, SEL, id text) {
  return guarded<BOOL>(objc::no, [&] {
    if (!isString(text)) return objc::no;
    const auto on = parseSwitch(ns::String(text).str());
    if (!on) return objc::no;
    return store(self, ns::Number::withBool(*on).get()) ? objc::yes : objc::no;
  });
}

// A list of choices: "validValues" are stored, "validTitles" shown, pairwise. The row shows the
// title of the stored value; the user picks by title or by value.
ns::Array titlesOf(id self) {
  ns::Object titles(
      ps::Specifier(gSpecifier.get(self)).propertyForKey(ns::String::literal<"validTitles">()));
  return titles.isKindOfClass(ns::Array::cls()) ? ns::Array(titles.get()) : ns::Array();
}
bool sameValue(id a, id b) {
  if (a == nullptr || b == nullptr) return a == b;
  return objc::send<"isEqual:", BOOL>(a, b) != objc::no || textOf(a) == textOf(b);
}
id listText(id self, SEL) {
  return guarded<id>(nullptr, [&]() -> id {
    id value = gValue.get(self);
    if (value == nullptr) return nullptr;
    const ns::Array values = ps::Specifier(gSpecifier.get(self)).values();
    const ns::Array titles = titlesOf(self);
    const unsigned long titleCount = titles.count();
    for (unsigned long i = 0, n = values.count(); i < n; ++i) {
      if (!sameValue(values.objectAtIndex(i), value)) continue;
      if (i < titleCount && isString(titles.objectAtIndex(i))) return titles.objectAtIndex(i);
      break;
    }
    return ns::String::withUTF8(textOf(value).c_str()).get();
  });
}
BOOL listInput(id self, SEL, id text) {
  return guarded<BOOL>(objc::no, [&] {
    if (!isString(text)) return objc::no;
    const std::string typed(trimmed(ns::String(text).str()));
    if (typed.empty()) return objc::no;
    const ns::Array values = ps::Specifier(gSpecifier.get(self)).values();
    const ns::Array titles = titlesOf(self);
    const unsigned long count = values.count();
    const unsigned long titleCount = titles.count();
    // A title first (as the user sees the list), then a value's own text.
    for (unsigned long i = 0; i < count && i < titleCount; ++i) {
      if (lowered(textOf(titles.objectAtIndex(i))) == lowered(typed)) {
        return store(self, values.objectAtIndex(i)) ? objc::yes : objc::no;
      }
    }
    for (unsigned long i = 0; i < count; ++i) {
      if (textOf(values.objectAtIndex(i)) == typed) {
        return store(self, values.objectAtIndex(i)) ? objc::yes : objc::no;
      }
    }
    return objc::no;
  });
}

// A text field: any text, stored as a string.
id textText(id self, SEL) {
  return guarded<id>(nullptr, [&]() -> id {
    id value = gValue.get(self);
    if (value == nullptr || isString(value)) return value;
    return ns::String::withUTF8(textOf(value).c_str()).get();
  });
}
BOOL textInput(id self, SEL, id text) {
  return guarded<BOOL>(objc::no, [&] {
    if (!isString(text)) return objc::no;
    return store(self, ns::String::withUTF8(ns::String(text).str().c_str()).get()) ? objc::yes
                                                                                   : objc::no;
  });
}

Class buildCell(const char* name, Class superclass, id (*text)(id, SEL),
                BOOL (*input)(id, SEL, id)) {
  objc::ClassBuilder b(name, superclass);
  b.method("valueText", text).method("takeInput:", input);
  return b.finish();
}

}  // namespace

void registerCells() {
  objc::ClassBuilder b("PSTableCell", objc::getClass("UIView"));
  b.method("initWithStyle:reuseIdentifier:specifier:", &cellInit)
      .method("specifier", &uikit::getObject<gSpecifier>)
      .method("setSpecifier:", &uikit::setObject<gSpecifier>)
      .method("value", &cellValue)
      .method("refreshCellContentsWithSpecifier:", &cellRefresh)
      .method("valueText", &cellNoText)
      .method("takeInput:", &cellNoInput)
      .method("dealloc", &uikit::releaseAndDealloc<gTableCell, gSpecifier, gValue>);
  gTableCell = foundation::finishWithFields(b, gSpecifier, gValue);

  gSwitchCell = buildCell("PSSwitchTableCell", gTableCell, &switchText, &switchInput);
  gListCell = buildCell("PSListTableCell", gTableCell, &listText, &listInput);
  gTextCell = buildCell("PSEditableTableCell", gTableCell, &textText, &textInput);
  gButtonCell = buildCell("PSButtonTableCell", gTableCell, &cellNoText, &cellNoInput);
}

Class cellClassFor(ps::Specifier specifier) {
  const ps::CellType type = specifier.cellType();
  if (type == ps::CellType::Group) return nullptr;
  ns::Object named(specifier.propertyForKey(ns::String::literal<"cellClass">()));
  if (named.isKindOfClass(ns::String::cls())) {
    const std::string name = ns::String(named.get()).str();
    Class cls = objc::getClass(name.c_str());
    if (cls != nullptr && class_isMetaClass(cls) == objc::no) {
      for (Class c = cls; c != nullptr; c = class_getSuperclass(c)) {
        if (c == gTableCell) return cls;
      }
    }
  }
  switch (type) {
    case ps::CellType::Switch:
      return gSwitchCell;
    case ps::CellType::LinkList:
    case ps::CellType::Segment:
      return gListCell;
    case ps::CellType::EditText:
    case ps::CellType::SecureEditText:
    case ps::CellType::EditTextView:
      return gTextCell;
    case ps::CellType::Button:
      return gButtonCell;
    default:
      return gTableCell;
  }
}

}  // namespace preferences
