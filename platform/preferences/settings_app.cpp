#include "platform/preferences/settings_app.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "device/files.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/preferences/domain.hpp"
#include "platform/preferences/facade.hpp"
#include "platform/uikit/facade.hpp"

using objc::id;

namespace preferences::settings {
namespace {

constexpr const char kEntryFolder[] = "/Library/PreferenceLoader/Preferences";

// A name that stays one path component: no separator, no "." or "..", no NUL.
bool plainComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string stringFor(ns::Dictionary dict, const char* key) {
  ns::Object value(dict.objectForKey(ns::String::withUTF8(key).get()));
  return value.isKindOfClass(ns::String::cls()) ? ns::String(value.get()).str() : std::string();
}

std::string text(ns::String s) {
  return s ? s.str() : std::string();
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Sends ACTION to TARGET as a control's tap does. An action method may take the sender as its
// one argument or take none; it is called with exactly the arguments it declares.
bool deliverAction(id target, SEL action, id sender) {
  if (action == nullptr || !objc::respondsTo(target, action)) return false;
  Method method = class_getInstanceMethod(object_getClass(target), action);
  if (method != nullptr && method_getNumberOfArguments(method) >= 3) {
    objc::send<void>(target, action, sender);
  } else {
    objc::send<void>(target, action);
  }
  return true;
}

std::string keyOf(ps::Specifier specifier) {
  ns::Object key(specifier.propertyForKey(ns::String::literal<"key">()));
  return key.isKindOfClass(ns::String::cls()) ? ns::String(key.get()).str() : std::string();
}

// The first specifier of the pane whose key is KEY, or nil. Rows without a key (buttons, static
// texts) are never found, not even by the empty key.
ps::Specifier specifierWithKey(id controller, std::string_view key) {
  if (key.empty()) return ps::Specifier();
  const ns::Array rows = ps::ListController(controller).specifiers();
  for (unsigned long i = 0, n = rows.count(); i < n; ++i) {
    ps::Specifier row(rows.objectAtIndex(i));
    if (row.cellType() != ps::CellType::Group && keyOf(row) == key) return row;
  }
  return ps::Specifier();
}

// Whether CELL's class takes typed values, that is, has a takeInput: of its own kind rather than
// the refusing one of PSTableCell.
bool takesInput(id cell) {
  const SEL takeInput = objc::sel<"takeInput:">();
  return class_getMethodImplementation(object_getClass(cell), takeInput) !=
         class_getMethodImplementation(ps::TableCell::cls(), takeInput);
}

// A value as a list shows it when it has no title: a string as it is, else its description.
std::string valueText(id value) {
  if (value == nullptr) return {};
  if (ns::Object(value).isKindOfClass(ns::String::cls())) return ns::String(value).str();
  return text(ns::String(objc::send<"description", id>(value)));
}

std::vector<Row::Choice> choicesOf(ps::Specifier specifier) {
  std::vector<Row::Choice> out;
  const ns::Array values = specifier.values();
  ns::Object titlesObject(specifier.propertyForKey(ns::String::literal<"validTitles">()));
  const ns::Array titles =
      titlesObject.isKindOfClass(ns::Array::cls()) ? ns::Array(titlesObject.get()) : ns::Array();
  const unsigned long titleCount = titles.count();
  for (unsigned long i = 0, n = values.count(); i < n; ++i) {
    Row::Choice choice;
    choice.value = valueText(values.objectAtIndex(i));
    ns::Object title(i < titleCount ? titles.objectAtIndex(i) : nullptr);
    choice.title =
        title.isKindOfClass(ns::String::cls()) ? ns::String(title.get()).str() : choice.value;
    out.push_back(std::move(choice));
  }
  return out;
}

}  // namespace

std::vector<PaneEntry> paneEntries() {
  std::vector<PaneEntry> entries;
  const auto listed = sim::listFolder(sim::Area::Device, kEntryFolder);
  if (!listed) return entries;
  std::vector<std::string> names;
  for (const std::string& name : *listed) {
    if (name.size() > 6 && name.ends_with(".plist")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());

  ns::AutoreleasePool pool;
  for (const std::string& name : names) {
    const std::string file = std::string(kEntryFolder) + "/" + name;
    const ns::Owned<ns::Dictionary> plist =
        ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(file.c_str()));
    if (!plist) continue;
    ns::Object entry(plist->objectForKey(ns::String::literal<"entry">().get()));
    if (entry.isKindOfClass(ns::Dictionary::cls())) {
      const ns::Dictionary dict(entry.get());
      PaneEntry e;
      e.file = file;
      e.label = stringFor(dict, "label");
      e.bundle = stringFor(dict, "bundle");
      e.detail = stringFor(dict, "detail");
      ns::Object isController(dict.objectForKey(ns::String::literal<"isController">().get()));
      e.isController =
          isController.respondsToSelector(objc::sel<"boolValue">()) && isController.boolValue();
      if (!e.bundle.empty()) entries.push_back(std::move(e));
    }
  }
  return entries;
}

std::unique_ptr<Pane> Pane::open(const PaneEntry& entry, std::string* error) {
  const auto fail = [error](std::string why) -> std::unique_ptr<Pane> {
    if (error != nullptr) *error = std::move(why);
    return nullptr;
  };
  if (!plainComponent(entry.bundle)) return fail("the entry names no usable bundle");
  const std::string folder = "/Library/PreferenceBundles/" + entry.bundle + ".bundle";
  // Classes cannot be unregistered: the bundle stays loaded for the life of the process.
  std::string why;
  if (sim::loadLibrary(folder + "/" + entry.bundle, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE, &why) ==
      nullptr) {
    return fail("cannot load " + folder + ": " + why);
  }

  ns::AutoreleasePool pool;
  std::string className = entry.detail;
  if (className.empty()) {
    const std::string info = folder + "/Info.plist";
    const ns::Owned<ns::Dictionary> plist =
        ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(info.c_str()));
    if (plist) className = stringFor(plist.get(), "NSPrincipalClass");
  }
  const Class cls = className.empty() ? nullptr : objc::getClass(className.c_str());
  if (cls == nullptr)
    return fail("the bundle " + entry.bundle + " has no class '" + className + "'");
  bool isListController = false;
  for (Class c = cls; c != nullptr; c = class_getSuperclass(c)) {
    isListController = isListController || c == ps::ListController::cls();
  }
  if (!isListController) return fail("'" + className + "' is not a list controller");

  ns::Owned<ns::Object> controller(ns::Object(objc::send<"init">(objc::send<"alloc">(cls))));
  if (!controller) return fail("'" + className + "' could not be made");
  const ui::ViewController shown(controller.get().get());
  std::unique_ptr<Pane> pane(new Pane(std::move(controller), entry.label));
  shown.view();
  shown.viewWillAppear(false);
  return pane;
}

std::string Pane::title() const {
  ns::AutoreleasePool pool;
  const std::string own = text(ui::ViewController(controller()).title());
  return own.empty() ? label_ : own;
}

std::vector<Row> Pane::rows() const {
  ns::AutoreleasePool pool;
  std::vector<Row> out;
  const ps::ListController list(controller());
  const ns::Array specifiers = list.specifiers();
  for (unsigned long i = 0, n = specifiers.count(); i < n; ++i) {
    const ps::Specifier specifier(specifiers.objectAtIndex(i));
    Row row;
    row.label = text(specifier.name());
    if (specifier.cellType() == ps::CellType::Group) {
      row.kind = Row::Kind::Group;
      ns::Object footer(specifier.propertyForKey(ns::String::literal<"footerText">()));
      if (footer.isKindOfClass(ns::String::cls())) row.footer = ns::String(footer.get()).str();
      out.push_back(std::move(row));
      continue;
    }
    row.key = keyOf(specifier);
    const ps::TableCell cell(list.cachedCellForSpecifier(specifier));
    if (cell) row.cell = objc::className(cell.get());
    if (specifier.cellType() == ps::CellType::Button) {
      row.kind = Row::Kind::Button;
    } else {
      row.kind = row.key.empty() ? Row::Kind::Other : Row::Kind::Value;
      row.value = text(cell.valueText());
      row.choices = choicesOf(specifier);
    }
    out.push_back(std::move(row));
  }
  return out;
}

std::optional<std::string> Pane::value(std::string_view key) const {
  ns::AutoreleasePool pool;
  const ps::ListController list(controller());
  const ps::Specifier specifier = specifierWithKey(controller(), key);
  if (!specifier) return std::nullopt;
  return text(ps::TableCell(list.cachedCellForSpecifier(specifier)).valueText());
}

Change Pane::set(std::string_view key, std::string_view typed) const {
  ns::AutoreleasePool pool;
  const ps::ListController list(controller());
  const ps::Specifier specifier = specifierWithKey(controller(), key);
  if (!specifier) return Change::NoSuchKey;
  const ps::TableCell cell(list.cachedCellForSpecifier(specifier));
  if (!cell || !takesInput(cell.get())) return Change::NotEditable;
  const std::string input(typed);
  writeProblem_.clear();
  setAside_.clear();
  preferences::forgetLastDomainWrite();
  if (!cell.takeInput(ns::String::withUTF8(input.c_str()))) return Change::Refused;
  // The cell stores through the framework, which tells the cell nothing of a failed write.
  const std::optional<preferences::WriteResult> written = preferences::lastDomainWrite();
  if (written && !*written) {
    writeProblem_ = written->problem;
    return Change::NotWritten;
  }
  if (written) setAside_ = written->setAside;
  return Change::Done;
}

std::vector<Choice> Pane::choices(std::string_view key) const {
  ns::AutoreleasePool pool;
  std::vector<Choice> out;
  const ps::Specifier specifier = specifierWithKey(controller(), key);
  if (!specifier) return out;
  const ps::TableCell cell(ps::ListController(controller()).cachedCellForSpecifier(specifier));
  if (!cell.isKindOfClass(objc::getClass("PSListTableCell"))) return out;
  const ns::Array values = specifier.values();
  ns::Object titles(specifier.propertyForKey(ns::String::literal<"validTitles">()));
  const ns::Array titleList(titles.isKindOfClass(ns::Array::cls()) ? titles.get() : nullptr);
  const auto textOf = [](ns::Object value) {
    if (!value) return std::string();
    if (value.isKindOfClass(ns::String::cls())) return ns::String(value.get()).str();
    return text(ns::String(objc::send<"description", id>(value.get())));
  };
  for (unsigned long i = 0, n = values.count(), titleCount = titleList.count(); i < n; ++i) {
    out.push_back({i < titleCount ? textOf(ns::Object(titleList.objectAtIndex(i))) : std::string(),
                   textOf(ns::Object(values.objectAtIndex(i)))});
  }
  return out;
}

bool Pane::tap(std::string_view label) const {
  ns::AutoreleasePool pool;
  const ns::Array specifiers = ps::ListController(controller()).specifiers();
  for (const bool exact : {true, false}) {
    for (unsigned long i = 0, n = specifiers.count(); i < n; ++i) {
      const ps::Specifier specifier(specifiers.objectAtIndex(i));
      if (specifier.cellType() != ps::CellType::Button) continue;
      const std::string name = text(specifier.name());
      if (exact ? name == label : equalIgnoringCase(name, label)) {
        return deliverAction(specifier.target(), specifier.buttonAction(), specifier.get());
      }
    }
  }
  return false;
}

std::optional<std::string> Pane::rightButtonTitle() const {
  ns::AutoreleasePool pool;
  const ui::BarButtonItem item =
      ui::ViewController(controller()).navigationItem().rightBarButtonItem();
  if (!item) return std::nullopt;
  return text(item.title());
}

bool Pane::tapRightButton() const {
  ns::AutoreleasePool pool;
  const ui::BarButtonItem item =
      ui::ViewController(controller()).navigationItem().rightBarButtonItem();
  if (!item) return false;
  return deliverAction(item.target(), item.action(), item.get());
}

}  // namespace preferences::settings
