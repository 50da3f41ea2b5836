// PFSimpleLiteColorCell: the colour cell of the colour-picker library. A specifier list declares
// it by class name ("cellClass"); the cell shows the colour string stored under the row's key
// (or the row's default) and stores a picked colour as "#RRGGBB:A.AAAAAA" through the row's
// target, which writes the domain and posts the row's notification.
//
// The class is registered by the library's one load-time constructor, after the Preferences
// framework (which this library links) has registered PSTableCell.
#include "platform/colorpicker/colour_string.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"
#include "platform/preferences/facade.hpp"

using objc::BOOL;
using objc::id;
using objc::SEL;

namespace {

id colourText(id self, SEL) {
  try {
    ns::Object value(ps::TableCell(self).value());
    if (!value || value.isKindOfClass(ns::String::cls())) return value.get();
    return objc::send<"description", id>(value.get());
  } catch (...) {
    return nullptr;
  }
}

BOOL colourInput(id self, SEL, id text) {
  try {
    if (!ns::Object(text).isKindOfClass(ns::String::cls())) return objc::no;
    const auto colour = colorpicker::parseColourString(ns::String(text).str());
    if (!colour) return objc::no;
    const ps::TableCell cell(self);
    const ps::Specifier specifier = cell.specifier();
    const id target = specifier.target();
    if (!objc::respondsTo(target, objc::sel<"setPreferenceValue:specifier:">())) return objc::no;
    const std::string stored = colorpicker::formatColourString(*colour);
    ps::ListController(target).setPreferenceValue(ns::String::withUTF8(stored.c_str()).get(),
                                                  specifier);
    cell.refreshCellContentsWithSpecifier(specifier);
    return objc::yes;
  } catch (...) {
    return objc::no;
  }
}

__attribute__((constructor)) void registerColorPicker() {
  foundation::rootClass();
  objc::ClassBuilder b("PFSimpleLiteColorCell", ps::TableCell::cls());
  b.method("valueText", &colourText).method("takeInput:", &colourInput);
  b.finish();
}

}  // namespace
