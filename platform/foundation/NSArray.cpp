// NSArray: an immutable list that holds one reference to each element.
#include <atomic>
#include <memory>

#include "platform/foundation/internal.hpp"

namespace foundation {
namespace {

struct Items {
  std::vector<id> items;
  Items() = default;
  Items(const Items&) = delete;
  Items& operator=(const Items&) = delete;
  ~Items() {
    for (id item : items) release(item);
  }
};

Payload<Items> gItems("_vyrItems");
std::atomic<Class> gArrayClass{nullptr};

const std::vector<id>& itemsOf(id self) {
  static const std::vector<id> empty;
  const Items* it = gItems.of(self);
  return it != nullptr ? it->items : empty;
}

id make(Class cls, std::vector<id>&& items) {
  // The references in ITEMS are handed over even if making the array fails.
  std::unique_ptr<Items> payload;
  try {
    payload = std::make_unique<Items>();
  } catch (...) {
    for (id item : items) release(item);
    items.clear();
    throw;
  }
  payload->items = std::move(items);
  id obj = allocInstance(cls != nullptr ? cls : arrayClass());
  gItems.of(obj) = payload.release();
  return obj;
}

id mArray(id cls, SEL) {
  return autorelease(make(objc::asClass(cls), {}));
}

id mArrayWithObjectsCount(id cls, SEL, const id* objects, unsigned long count) {
  if (count > 0 && objects == nullptr) {
    logLine("*** +[NSArray arrayWithObjects:count:]: NULL objects with count %lu", count);
    return nullptr;
  }
  for (unsigned long i = 0; i < count; ++i) {
    if (objects[i] == nullptr) {
      logLine(
          "*** +[NSArray arrayWithObjects:count:]: attempt to insert nil object from objects[%lu]",
          i);
      return nullptr;
    }
  }
  std::vector<id> items(objects, objects + count);
  for (id item : items) retain(item);
  return autorelease(make(objc::asClass(cls), std::move(items)));
}

unsigned long mCount(id self, SEL) {
  return itemsOf(self).size();
}

id mObjectAtIndex(id self, SEL cmd, unsigned long index) {
  const std::vector<id>& items = itemsOf(self);
  if (index >= items.size()) {
    if (items.empty()) {
      logLine("*** -[NSArray %s]: index %lu beyond bounds for empty array", sel_getName(cmd),
              index);
    } else {
      logLine("*** -[NSArray %s]: index %lu beyond bounds [0 .. %zu]", sel_getName(cmd), index,
              items.size() - 1);
    }
    return nullptr;
  }
  return items[index];
}

id mDescription(id self, SEL) {
  return autorelease(newString(describeCollection(self)));
}

id mCopy(id self, SEL) {
  return retain(self);
}

void mDealloc(id self, SEL) {
  delete gItems.of(self);
  gItems.of(self) = nullptr;
  deallocSuper(self, arrayClass());
}

}  // namespace

Class arrayClass() {
  return gArrayClass.load(std::memory_order_acquire);
}

id newArray(std::vector<id>&& items) {
  return make(nullptr, std::move(items));
}

const std::vector<id>* arrayItems(id obj) {
  if (!objc::isKindOf(obj, arrayClass())) return nullptr;
  return &itemsOf(obj);
}

void registerArrayClass() {
  objc::ClassBuilder b("NSArray", rootClass());
  b.classMethod("array", guarded<&mArray>)
      .classMethod("arrayWithObjects:count:", guarded<&mArrayWithObjectsCount>)
      .method("count", guarded<&mCount>)
      .method("objectAtIndex:", guarded<&mObjectAtIndex>)
      .method("objectAtIndexedSubscript:", guarded<&mObjectAtIndex>)
      .method("description", guarded<&mDescription>)
      .method("copy", guarded<&mCopy>)
      .method("dealloc", guarded<&mDealloc>);
  Class cls = finishWithFields(b, gItems);
  gArrayClass.store(cls, std::memory_order_release);
}

}  // namespace foundation
