// NSObject: the root class, its reference counting and the autorelease pools.
#include <cstdio>
#include <limits>
#include <vector>

#include "platform/foundation/object.hpp"

using objc::id;
using objc::SEL;

namespace foundation {
namespace {

// Counts are stored as "owners minus one", as on the device; immortal objects sit far above any
// real count: 2^60 where long has 64 bits, 2^28 where it has 32 (armv7).
constexpr long kImmortal = std::numeric_limits<long>::max() / 8 + 1;
std::ptrdiff_t gCountOffset = 0;
Class gRoot = nullptr;

std::atomic_ref<long> countOf(id self) {
  return std::atomic_ref<long>(
      *reinterpret_cast<long*>(reinterpret_cast<char*>(self) + gCountOffset));
}

bool isClassObject(id self) {
  return class_isMetaClass(object_getClass(self)) != objc::no;
}

struct PoolStack {
  std::vector<id> objects;
  std::vector<std::size_t> marks;
};
thread_local PoolStack tPools;

id mAlloc(id cls, SEL) {
  return allocInstance(objc::asClass(cls));
}
id mNew(id cls, SEL) {
  return objc::send<"init">(allocInstance(objc::asClass(cls)));
}
id mSelf(id self, SEL) {
  return self;
}
Class mClass(id self, SEL) {
  return isClassObject(self) ? objc::asClass(self) : object_getClass(self);
}
id mRetain(id self, SEL) {
  return retain(self);
}
void mRelease(id self, SEL) {
  release(self);
}
id mAutorelease(id self, SEL) {
  return autorelease(self);
}
unsigned long mRetainCount(id self, SEL) {
  return static_cast<unsigned long>(retainCount(self));
}
void mDealloc(id self, SEL) {
  object_dispose(self);
}
objc::BOOL mIsEqual(id self, SEL, id other) {
  return self == other ? objc::yes : objc::no;
}
unsigned long mHash(id self, SEL) {
  return reinterpret_cast<unsigned long>(self);
}
objc::BOOL mIsKindOfClass(id self, SEL, id cls) {
  return objc::isKindOf(self, objc::asClass(cls)) ? objc::yes : objc::no;
}
objc::BOOL mRespondsToSelector(id self, SEL, SEL cmd) {
  return objc::respondsTo(self, cmd) ? objc::yes : objc::no;
}
id mCopy(id self, SEL) {
  return retain(self);
}
id mDescription(id self, SEL);

// Class objects are never counted: retain and release on a class must not write into it.
id mClassRetain(id self, SEL) {
  return self;
}
void mClassRelease(id, SEL) {}

Class build() {
  objc::ClassBuilder b("NSObject", nullptr);
  b.ivar("_retainCount", sizeof(long), 3, "l");
  b.method("init", &mSelf)
      .method("self", &mSelf)
      .method("class", &mClass)
      .method("retain", &mRetain)
      .method("release", &mRelease)
      .method("autorelease", &mAutorelease)
      .method("retainCount", &mRetainCount)
      .method("dealloc", &mDealloc)
      .method("isEqual:", &mIsEqual)
      .method("hash", &mHash)
      .method("isKindOfClass:", &mIsKindOfClass)
      .method("respondsToSelector:", &mRespondsToSelector)
      .method("copy", &mCopy)
      .method("description", &mDescription)
      .classMethod("alloc", &mAlloc)
      .classMethod("new", &mNew)
      .classMethod("retain", &mClassRetain)
      .classMethod("release", &mClassRelease)
      .classMethod("autorelease", &mClassRetain);
  Class cls = b.finish();
  gCountOffset = objc::ivarOffset(cls, "_retainCount");
  return cls;
}

}  // namespace

Class rootClass() {
  static const Class cls = [] {
    objc::installUnrecognisedSelectorHandler();
    gRoot = build();
    return gRoot;
  }();
  return cls;
}

id allocInstance(Class cls) {
  rootClass();
  return class_createInstance(cls, 0);
}

void makeImmortal(id obj) {
  if (obj != nullptr && !isClassObject(obj))
    countOf(obj).store(kImmortal, std::memory_order_relaxed);
}

id retain(id obj) {
  if (obj == nullptr || isClassObject(obj)) return obj;
  auto count = countOf(obj);
  if (count.load(std::memory_order_relaxed) < kImmortal)
    count.fetch_add(1, std::memory_order_relaxed);
  return obj;
}

void release(id obj) {
  if (obj == nullptr || isClassObject(obj)) return;
  auto count = countOf(obj);
  if (count.load(std::memory_order_relaxed) >= kImmortal) return;
  if (count.fetch_sub(1, std::memory_order_acq_rel) == 0) objc::send<"dealloc", void>(obj);
}

long retainCount(id obj) {
  if (obj == nullptr) return 0;
  if (isClassObject(obj)) return kImmortal;
  long c = countOf(obj).load(std::memory_order_relaxed);
  return c >= kImmortal ? kImmortal : c + 1;
}

id autorelease(id obj) {
  if (obj == nullptr || isClassObject(obj)) return obj;
  if (!tPools.marks.empty()) tPools.objects.push_back(obj);
  return obj;
}

void deallocSuper(id self, Class implementor) {
  objc::sendSuper<void>(self, implementor, objc::sel<"dealloc">());
}

namespace {
id mDescription(id self, SEL) {
  char text[128];
  std::snprintf(text, sizeof text, "<%s: %p>", objc::className(self), static_cast<void*>(self));
  Class stringClass = objc::getClass("NSString");
  return objc::send<"stringWithUTF8String:", id>(stringClass, static_cast<const char*>(text));
}
}  // namespace

}  // namespace foundation

extern "C" {

__attribute__((visibility("default"))) void* objc_autoreleasePoolPush(void) {
  auto& pools = foundation::tPools;
  pools.marks.push_back(pools.objects.size());
  return reinterpret_cast<void*>(pools.marks.size());
}

__attribute__((visibility("default"))) void objc_autoreleasePoolPop(void* pool) {
  auto& pools = foundation::tPools;
  const auto depth = reinterpret_cast<std::size_t>(pool);
  // Popping an outer pool pops every pool inside it too.
  while (pools.marks.size() >= depth && depth > 0) {
    const std::size_t mark = pools.marks.back();
    while (pools.objects.size() > mark) {
      id obj = pools.objects.back();
      pools.objects.pop_back();
      foundation::release(obj);
    }
    pools.marks.pop_back();
  }
}
}
