// NSDictionary and NSMutableDictionary: values under string keys, each key and value held by one
// reference; reading from and writing to property-list files. As on the device, an immutable
// dictionary may be read from any number of threads, a mutable one is for one thread at a time.
#include <atomic>
#include <memory>

#include "platform/foundation/internal.hpp"
#include "platform/foundation/plist_io.hpp"

namespace foundation {
namespace {

Payload<DictionaryData> gEntries("_vyrEntries");
std::atomic<Class> gDictionaryClass{nullptr};
std::atomic<Class> gMutableDictionaryClass{nullptr};

const DictionaryData& entriesOf(id self) {
  static const DictionaryData* const empty = new DictionaryData();
  const DictionaryData* d = gEntries.of(self);
  return d != nullptr ? *d : *empty;
}

DictionaryData& mutableEntriesOf(id self) {
  DictionaryData*& d = gEntries.of(self);
  if (d == nullptr) d = new DictionaryData();
  return *d;
}

// ---- Descriptions of collections, in the device's layout ----

// Output beyond this is cut: a collection that holds itself, or a small graph that shares its
// parts many times over, must not describe itself forever.
constexpr std::size_t kDescriptionLimit = 64 * 1024;
constexpr int kDescriptionDepth = 64;

void appendQuoted(std::string& out, std::string_view text) {
  bool plain = !text.empty();
  for (const char c : text) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '.' || c == '$';
    plain = plain && word;
  }
  if (plain) {
    out.append(text);
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void appendDescription(std::string& out, id obj, int depth) {
  const std::string indent(static_cast<std::size_t>(depth) * 4, ' ');
  const std::string inner(static_cast<std::size_t>(depth + 1) * 4, ' ');
  if (const std::vector<id>* items = arrayItems(obj)) {
    if (depth >= kDescriptionDepth) {
      out += "(...)";
      return;
    }
    out += "(\n";
    for (std::size_t i = 0; i < items->size(); ++i) {
      if (out.size() > kDescriptionLimit) {
        out += inner + "...\n";
        break;
      }
      out += inner;
      appendDescription(out, (*items)[i], depth + 1);
      out += i + 1 < items->size() ? ",\n" : "\n";
    }
    out += indent + ")";
  } else if (const DictionaryData* d = dictionaryEntries(obj)) {
    if (depth >= kDescriptionDepth) {
      out += "{...}";
      return;
    }
    out += "{\n";
    for (const auto& [key, entry] : d->entries) {
      if (out.size() > kDescriptionLimit) {
        out += inner + "...\n";
        break;
      }
      out += inner;
      appendQuoted(out, key);
      out += " = ";
      appendDescription(out, entry.value, depth + 1);
      out += ";\n";
    }
    out += indent + "}";
  } else if (isString(obj)) {
    appendQuoted(out, stringBytes(obj));
  } else {
    out += describe(obj);
  }
}

// ---- Methods ----

id mDictionary(id cls, SEL) {
  return autorelease(newDictionary(objc::asClass(cls), DictionaryData()));
}

id mDictionaryWithContentsOfFile(id cls, SEL, id path) {
  return autorelease(plist::readDictionary(stringBytes(path), objc::asClass(cls)));
}

id mInitWithContentsOfFile(id self, SEL, id path) {
  // The instance read from the file takes the place of the one that was allocated.
  Class cls = object_getClass(self);
  release(self);
  return plist::readDictionary(stringBytes(path), cls);
}

id mObjectForKey(id self, SEL, id key) {
  if (!isString(key)) return nullptr;
  const DictionaryData& d = entriesOf(self);
  const auto found = d.entries.find(stringBytes(key));
  return found != d.entries.end() ? found->second.value : nullptr;
}

unsigned long mCount(id self, SEL) {
  return entriesOf(self).entries.size();
}

id mAllKeys(id self, SEL) {
  const DictionaryData& d = entriesOf(self);
  std::vector<id> keys;
  keys.reserve(d.entries.size());
  for (const auto& [text, entry] : d.entries) keys.push_back(retain(entry.key));
  return autorelease(newArray(std::move(keys)));
}

objc::BOOL mWriteToFile(id self, SEL, id path, objc::BOOL /*atomically*/) {
  // Always written atomically: a reader in another process must never see half a file.
  return plist::writeDictionary(self, stringBytes(path)) ? objc::yes : objc::no;
}

id mDescription(id self, SEL) {
  return autorelease(newString(describeCollection(self)));
}

id mCopy(id self, SEL) {
  if (!objc::isKindOf(self, mutableDictionaryClass())) return retain(self);
  DictionaryData copy;
  for (const auto& [text, entry] : entriesOf(self).entries) copy.set(entry.key, entry.value);
  return newDictionary(dictionaryClass(), std::move(copy));
}

void mSetObjectForKey(id self, SEL, id value, id key) {
  if (value == nullptr || key == nullptr) {
    logLine("*** -[NSMutableDictionary setObject:forKey:]: %s is nil", value ? "key" : "object");
    return;
  }
  if (!isString(key)) {
    logLine("*** -[NSMutableDictionary setObject:forKey:]: key of class %s is not a string",
            objc::className(key));
    return;
  }
  mutableEntriesOf(self).set(key, value);
}

void mRemoveObjectForKey(id self, SEL, id key) {
  if (!isString(key)) return;
  DictionaryData*& d = gEntries.of(self);
  if (d == nullptr) return;
  const auto found = d->entries.find(stringBytes(key));
  if (found == d->entries.end()) return;
  const DictionaryEntry entry = found->second;
  d->entries.erase(found);
  release(entry.key);
  release(entry.value);
}

void mDealloc(id self, SEL) {
  delete gEntries.of(self);
  gEntries.of(self) = nullptr;
  deallocSuper(self, dictionaryClass());
}

}  // namespace

DictionaryData::~DictionaryData() {
  for (auto& [text, entry] : entries) {
    release(entry.key);
    release(entry.value);
  }
}

void DictionaryData::set(id key, id value) {
  std::string text(stringBytes(key));
  const auto found = entries.find(text);
  if (found != entries.end()) {
    retain(value);
    release(found->second.value);
    found->second.value = value;
    return;
  }
  entries.emplace(std::move(text), DictionaryEntry{key, value});
  retain(key);
  retain(value);
}

std::string describeCollection(id obj) {
  std::string out;
  appendDescription(out, obj, 0);
  return out;
}

Class dictionaryClass() {
  return gDictionaryClass.load(std::memory_order_acquire);
}
Class mutableDictionaryClass() {
  return gMutableDictionaryClass.load(std::memory_order_acquire);
}

id newDictionary(Class cls, DictionaryData&& data) {
  // The entries live in an instance variable of NSDictionary: any other class gets a plain one.
  bool descends = false;
  for (Class c = cls; c != nullptr && !descends; c = class_getSuperclass(c)) {
    descends = c == dictionaryClass();
  }
  if (!descends) cls = dictionaryClass();
  auto payload = std::make_unique<DictionaryData>();
  payload->entries.swap(data.entries);
  id obj = allocInstance(cls);
  gEntries.of(obj) = payload.release();
  return obj;
}

const DictionaryData* dictionaryEntries(id obj) {
  if (!objc::isKindOf(obj, dictionaryClass())) return nullptr;
  return &entriesOf(obj);
}

void registerDictionaryClasses() {
  {
    objc::ClassBuilder b("NSDictionary", rootClass());
    b.classMethod("dictionary", guarded<&mDictionary>)
        .classMethod("dictionaryWithContentsOfFile:", guarded<&mDictionaryWithContentsOfFile>)
        .method("initWithContentsOfFile:", guarded<&mInitWithContentsOfFile>)
        .method("objectForKey:", guarded<&mObjectForKey>)
        .method("count", guarded<&mCount>)
        .method("allKeys", guarded<&mAllKeys>)
        .method("writeToFile:atomically:", guarded<&mWriteToFile>)
        .method("description", guarded<&mDescription>)
        .method("copy", guarded<&mCopy>)
        .method("dealloc", guarded<&mDealloc>);
    Class cls = finishWithFields(b, gEntries);
    gDictionaryClass.store(cls, std::memory_order_release);
  }
  {
    objc::ClassBuilder b("NSMutableDictionary", dictionaryClass());
    b.method("setObject:forKey:", guarded<&mSetObjectForKey>)
        .method("removeObjectForKey:", guarded<&mRemoveObjectForKey>);
    gMutableDictionaryClass.store(b.finish(), std::memory_order_release);
  }
}

}  // namespace foundation
