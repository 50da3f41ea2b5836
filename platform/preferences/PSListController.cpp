// PSListController: the view controller of a pane. It holds the pane's specifiers, makes and
// caches a cell per row, and reads and writes the rows' values in their preferences domains.
#include <cstdlib>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/files.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/object.hpp"
#include "platform/preferences/domain.hpp"
#include "platform/preferences/internal.hpp"
#include "platform/uikit/fields.hpp"

using objc::id;
using objc::SEL;

namespace preferences {
namespace {

Class gListController = nullptr;

// The cells made so far, each with the specifier it shows; both retained. Main thread only.
using CellCache = std::vector<std::pair<id, id>>;

uikit::ObjectField gSpecifiers("_specifiers");
foundation::Payload<CellCache> gCells("_cellCache");

CellCache& cellsOf(id self) {
  CellCache*& cells = gCells.of(self);
  if (cells == nullptr) cells = new CellCache();
  return *cells;
}

void dropCells(id self) {
  CellCache*& cells = gCells.of(self);
  if (cells == nullptr) return;
  // Released after the cache is emptied, so that a dealloc that looks at the cache finds it
  // consistent.
  CellCache old = std::move(*cells);
  cells->clear();
  for (auto& [specifier, cell] : old) {
    foundation::release(cell);
    foundation::release(specifier);
  }
}

// The device path of the bundle folder that holds the code of SELF's class, found as the
// device's NSBundle finds a class's bundle: from the loaded image that defines the class's
// methods. Nothing for a class of no bundle inside the device.
std::optional<std::string> bundleFolder(id self) {
  for (Class c = object_getClass(self); c != nullptr && c != gListController;
       c = class_getSuperclass(c)) {
    unsigned int count = 0;
    Method* methods = class_copyMethodList(c, &count);
    IMP imp = count > 0 ? method_getImplementation(methods[0]) : nullptr;
    ::free(methods);
    if (imp == nullptr) continue;
    // The device path the bundle was loaded from; nothing for code outside the device.
    const std::optional<std::string> image = sim::libraryPath(reinterpret_cast<void*>(imp));
    if (!image) break;
    const auto slash = image->rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    return image->substr(0, slash);
  }
  return std::nullopt;
}

std::string stringProperty(ps::Specifier specifier, ns::String key) {
  ns::Object value(specifier.propertyForKey(key));
  return value.isKindOfClass(ns::String::cls()) ? ns::String(value.get()).str() : std::string();
}

id mSpecifiers(id self, SEL) {
  return gSpecifiers.get(self);
}

id mLoadSpecifiers(id self, SEL, id name, id target) {
  return guarded<id>(nullptr, [&]() -> id {
    if (!ns::Object(name).isKindOfClass(ns::String::cls())) return nullptr;
    const std::string list = ns::String(name).str();
    if (list.empty() || list.find('/') != std::string::npos ||
        list.find('\0') != std::string::npos) {
      return nullptr;
    }
    const auto folder = bundleFolder(self);
    if (!folder) return nullptr;
    const std::string path = *folder + "/" + list + ".plist";
    const ns::Owned<ns::Dictionary> plist =
        ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(path.c_str()));
    if (!plist) return nullptr;
    // The list's title becomes the controller's, as the navigation bar shows it.
    ns::Object title(plist->objectForKey(ns::String::literal<"title">().get()));
    if (title.isKindOfClass(ns::String::cls())) objc::send<"setTitle:", void>(self, title.get());
    return specifiersFromFile(ns::String::withUTF8(path.c_str()), target).get();
  });
}

id mSpecifierForID(id self, SEL, id identifier) {
  return guarded<id>(nullptr, [&]() -> id {
    if (!ns::Object(identifier).isKindOfClass(ns::String::cls())) return nullptr;
    const ns::Array rows = ps::ListController(self).specifiers();
    for (unsigned long i = 0, n = rows.count(); i < n; ++i) {
      ps::Specifier row(rows.objectAtIndex(i));
      if (ns::String ident = row.identifier();
          ident && ident.isEqualToString(ns::String(identifier))) {
        return row.get();
      }
    }
    return nullptr;
  });
}

id mCachedCell(id self, SEL, id specifier) {
  return guarded<id>(nullptr, [&]() -> id {
    if (specifier == nullptr) return nullptr;
    CellCache& cells = cellsOf(self);
    for (const auto& [cached, cell] : cells) {
      if (cached == specifier) return cell;
    }
    const Class cls = cellClassFor(ps::Specifier(specifier));
    if (cls == nullptr) return nullptr;
    id cell = objc::send<"initWithStyle:reuseIdentifier:specifier:", id>(
        objc::send<"alloc">(cls), 0L, ps::Specifier(specifier).identifier().get(), specifier);
    if (cell == nullptr) return nullptr;
    cells.emplace_back(foundation::retain(specifier), cell);
    return cell;
  });
}

void mClearCache(id self, SEL) {
  guarded([&] { dropCells(self); });
}

void mReload(id self, SEL) {
  guarded([&] {
    // A copy: refreshing a cell runs code of other libraries, which may clear the cache.
    const CellCache cells = cellsOf(self);
    for (const auto& [specifier, cell] : cells) {
      foundation::retain(cell);
      ps::TableCell(cell).refreshCellContentsWithSpecifier(ps::Specifier(specifier));
      foundation::release(cell);
    }
  });
}

id mReadPreferenceValue(id, SEL, id specifier) {
  return guarded<id>(nullptr, [&]() -> id {
    const ps::Specifier row(specifier);
    if (!row) return nullptr;
    const std::string domain = stringProperty(row, ns::String::literal<"defaults">());
    ns::Object key(row.propertyForKey(ns::String::literal<"key">()));
    id value = nullptr;
    if (!domain.empty() && key.isKindOfClass(ns::String::cls())) {
      value = readDomainValue(domain, ns::String(key.get()));
    }
    return value != nullptr ? value : row.propertyForKey(ns::String::literal<"default">());
  });
}

void mSetPreferenceValue(id, SEL, id value, id specifier) {
  guarded([&] {
    const ps::Specifier row(specifier);
    if (!row) return;
    const std::string domain = stringProperty(row, ns::String::literal<"defaults">());
    ns::Object key(row.propertyForKey(ns::String::literal<"key">()));
    if (domain.empty() || !key.isKindOfClass(ns::String::cls())) return;
    if (!writeDomainValue(domain, ns::String(key.get()), value)) return;
    ns::Object note(row.propertyForKey(ns::String::literal<"PostNotification">()));
    if (note.isKindOfClass(ns::String::cls()) && ns::String(note.get()).length() > 0) {
      CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                           reinterpret_cast<CFStringRef>(note.get()), nullptr,
                                           nullptr, 1);
    }
  });
}

void mDealloc(id self, SEL) {
  dropCells(self);
  delete gCells.of(self);
  gCells.of(self) = nullptr;
  gSpecifiers.clear(self);
  foundation::deallocSuper(self, gListController);
}

}  // namespace

void registerListController() {
  objc::ClassBuilder b("PSListController", objc::getClass("UIViewController"));
  b.method("specifiers", &mSpecifiers)
      .method("loadSpecifiersFromPlistName:target:", &mLoadSpecifiers)
      .method("specifierForID:", &mSpecifierForID)
      .method("cachedCellForSpecifier:", &mCachedCell)
      .method("clearCache", &mClearCache)
      .method("reload", &mReload)
      .method("readPreferenceValue:", &mReadPreferenceValue)
      .method("setPreferenceValue:specifier:", &mSetPreferenceValue)
      .method("dealloc", &mDealloc);
  gListController = foundation::finishWithFields(b, gSpecifiers, gCells);
}

ns::Array specifiersFromFile(ns::String path, id target) {
  const ns::Owned<ns::Dictionary> plist = ns::Dictionary::allocInitWithContentsOfFile(path);
  if (!plist) return ns::Array();
  ns::Object items(plist->objectForKey(ns::String::literal<"items">().get()));
  ns::Array result;
  if (items.isKindOfClass(ns::Array::cls())) {
    const ns::Array list(items.get());
    std::vector<id> made;
    try {
      for (unsigned long i = 0, n = list.count(); i < n; ++i) {
        ns::Object item(list.objectAtIndex(i));
        if (item.isKindOfClass(ns::Dictionary::cls())) {
          made.push_back(makeSpecifier(ns::Dictionary(item.get()), target));
        }
      }
      result = makeArray(made.data(), made.size());
    } catch (...) {
      result = ns::Array();
    }
    for (id specifier : made) foundation::release(specifier);
  }
  return result;
}

}  // namespace preferences
