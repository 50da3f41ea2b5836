#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/objc/runtime.hpp"
#include "platform/substrate/substrate.h"

namespace {

// Results that each processor returns its own way.
struct Rect {
  double x, y, w, h;  // through a hidden pointer on x86-64; in d0-d3 on both ARMs
};
struct Point {
  double x, y;  // in two SSE registers on x86-64; in d0-d1 on both ARMs
};
struct Span {
  long first, second, third;  // in memory everywhere: the address in x8 on AArch64, r0 on armv7
};

}  // namespace

namespace objc {
template <>
struct Encoding<Rect> {
  static constexpr const char* value = "{Rect=dddd}";
};
template <>
struct Encoding<Point> {
  static constexpr const char* value = "{Point=dd}";
};
template <>
struct Encoding<Span> {
  static constexpr const char* value = "{Span=lll}";
};
}  // namespace objc

namespace {

using objc::BOOL;
using objc::id;

// Arguments of every register class and the stack: self, _cmd, c, d, k, l fill the six integer
// registers, m and n go on the stack; a, b, e, f, g, h, i, j fill the eight SSE registers, o goes
// on the stack. Each is weighted by its own power of two, so a lost or swapped argument shows.
#define MIX_PARAMS                                                                             \
  float a, double b, BOOL c, int d, double e, float f, double g, double h, double i, double j, \
      long k, long l, long m, long n, double o
#define MIX_ARGS a, b, c, d, e, f, g, h, i, j, k, l, m, n, o
#define MIX_TYPES                                                                                  \
  float, double, BOOL, int, double, float, double, double, double, double, long, long, long, long, \
      double
double mix(id, SEL, MIX_PARAMS) {
  return a + 2 * b + 4 * c + 8 * d + 16 * e + 32 * f + 64 * g + 128 * h + 256 * i + 512 * j +
         static_cast<double>(1024 * k + 2048 * l + 4096 * m + 8192 * n) + 16384 * o;
}
double sendMix(id obj) {
  return objc::send<"mix:b:c:d:e:f:g:h:i:j:k:l:m:n:o:", double>(
      obj, 1.5f, 2.25, objc::yes, -3, 5.5, 6.75f, 7.0, 8.0, 9.0, 10.0, 11L, -12L, 13L, 14L, 15.5);
}

struct Hierarchy {
  Class base, sub, sibling, ownSub;
};

// Classes of their own for each test, so that tests stay independent in one process.
Hierarchy makeHierarchy(const std::string& tag) {
  Hierarchy h{};
  h.base =
      objc::ClassBuilder(("HookBase" + tag).c_str(), nullptr)
          .method(
              "answer", +[](id, SEL) { return 1; })
          .method("mix:b:c:d:e:f:g:h:i:j:k:l:m:n:o:", &mix)
          .method(
              "rectScaledBy:",
              +[](id, SEL, double s) {
                return Rect{s, 2 * s, 3 * s, 4 * s};
              })
          .method(
              "point",
              +[](id, SEL) {
                return Point{0.5, 1.5};
              })
          .method(
              "scale:twice:", +[](id, SEL, float x, BOOL twice) { return twice ? x * 2 : x / 2; })
          .method(
              "spanFrom:",
              +[](id, SEL, long s) {
                return Span{s, s + 1, s + 2};
              })
          .method(
              "isNegative:", +[](id, SEL, double x) { return x < 0 ? objc::yes : objc::no; })
          .classMethod(
              "count", +[](id, SEL) { return 7; })
          .finish();
  h.sub = objc::ClassBuilder(("HookSub" + tag).c_str(), h.base).finish();
  h.sibling = objc::ClassBuilder(("HookSibling" + tag).c_str(), h.base).finish();
  h.ownSub = objc::ClassBuilder(("HookOwnSub" + tag).c_str(), h.base)
                 .method(
                     "answer", +[](id, SEL) { return 50; })
                 .finish();
  return h;
}

class Instance {
 public:
  explicit Instance(Class cls) : self_(class_createInstance(cls, 0)) {}
  ~Instance() { object_dispose(self_); }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
  id get() const { return self_; }

 private:
  id self_;
};

IMP load(IMP& slot) {
  return std::atomic_ref<IMP>(slot).load(std::memory_order_acquire);
}
template <class F>
IMP asImp(F fn) {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(fn));
}
int answerOf(id obj) {
  return objc::send<"answer", int>(obj);
}
int two(id, SEL) {
  return 2;
}

// Hooks that add their own amount to what they replaced, each with its own slot.
template <int Add>
struct Adder {
  static inline IMP slot = nullptr;
  static int hook(id self, SEL cmd) { return objc::callImp<int>(load(slot), self, cmd) + Add; }
  static IMP imp() { return asImp(&hook); }
};

TEST(MSHookMessageEx, OwnMethodsAreReplacedInheritedOnesOverriddenOnTheClassAlone) {
  const Hierarchy h = makeHierarchy("Own");
  Instance base(h.base), sub(h.sub), sibling(h.sibling), ownSub(h.ownSub);
  const SEL answer = objc::sel<"answer">();
  const IMP baseImp = class_getMethodImplementation(h.base, answer);

  // Inherited: the subclass alone changes; its slot holds a stub, not the superclass's IMP.
  MSHookMessageEx(h.sub, answer, Adder<100>::imp(), &Adder<100>::slot);
  EXPECT_NE(Adder<100>::slot, nullptr);
  EXPECT_NE(Adder<100>::slot, baseImp);
  EXPECT_EQ(answerOf(sub.get()), 101);
  EXPECT_EQ(answerOf(base.get()), 1);
  EXPECT_EQ(answerOf(sibling.get()), 1);
  EXPECT_EQ(answerOf(ownSub.get()), 50);
  EXPECT_EQ(class_getMethodImplementation(h.base, answer), baseImp);

  // The stub calls the superclass's method as it is at each call.
  method_setImplementation(class_getInstanceMethod(h.base, answer), asImp(&two));
  EXPECT_EQ(answerOf(sub.get()), 102);
  EXPECT_EQ(answerOf(sibling.get()), 2);

  // Own: replaced, and the slot holds exactly the previous implementation.
  MSHookMessageEx(h.base, answer, Adder<10>::imp(), &Adder<10>::slot);
  EXPECT_EQ(Adder<10>::slot, asImp(&two));
  EXPECT_EQ(answerOf(base.get()), 12);
  EXPECT_EQ(answerOf(sibling.get()), 12);
  EXPECT_EQ(answerOf(sub.get()), 112);  // through the stub into the hooked superclass
  const IMP ownImp = class_getMethodImplementation(h.ownSub, answer);
  MSHookMessageEx(h.ownSub, answer, Adder<1000>::imp(), &Adder<1000>::slot);
  EXPECT_EQ(Adder<1000>::slot, ownImp);
  EXPECT_EQ(answerOf(ownSub.get()), 1050);

  // Hooked again, the subclass's override is its own method now: the hooks chain.
  MSHookMessageEx(h.sub, answer, Adder<5000>::imp(), &Adder<5000>::slot);
  EXPECT_EQ(Adder<5000>::slot, Adder<100>::imp());
  EXPECT_EQ(answerOf(sub.get()), 5112);
}

TEST(MSHookMessageEx, AnOwnMethodHookReachesEveryInheritingSubclassAndNoOtherClass) {
  // Nothing messaged before the hook: no class has a dispatch table of its own yet.
  const Hierarchy cold = makeHierarchy("Cold");
  const Class unrelated = objc::ClassBuilder("HookUnrelatedCold", nullptr)
                              .method(
                                  "answer", +[](id, SEL) { return 9; })
                              .finish();
  MSHookMessageEx(cold.base, objc::sel<"answer">(), asImp(&two), nullptr);  // no slot: allowed
  {
    Instance base(cold.base), sub(cold.sub), ownSub(cold.ownSub), other(unrelated);
    EXPECT_EQ(answerOf(base.get()), 2);
    EXPECT_EQ(answerOf(sub.get()), 2);
    EXPECT_EQ(answerOf(ownSub.get()), 50);
    EXPECT_EQ(answerOf(other.get()), 9);
  }

  // Everything messaged first, and the subclass has methods of its own right beside the hooked
  // selector (registered just before and after it), so it holds its own copy of that part of the
  // dispatch table.
  std::vector<std::string> beside;
  for (int i = 0; i < 40; ++i)
    sel_registerName(beside.emplace_back("warmBefore" + std::to_string(i)).c_str());
  const SEL hooked = sel_registerName("warmHookedAnswer");
  for (int i = 0; i < 40; ++i)
    sel_registerName(beside.emplace_back("warmAfter" + std::to_string(i)).c_str());
  const Class base = objc::ClassBuilder("HookWarmBase", nullptr)
                         .method(
                             "warmHookedAnswer", +[](id, SEL) { return 1; })
                         .finish();
  objc::ClassBuilder subBuilder("HookWarmSub", base);
  for (const auto& n : beside)
    subBuilder.method(
        n.c_str(), +[](id, SEL) { return 0L; });
  const Class sub = subBuilder.finish();
  const Class grandchild = objc::ClassBuilder("HookWarmGrandchild", sub).finish();
  Instance baseObj(base), subObj(sub), grandObj(grandchild);
  EXPECT_EQ(objc::send<int>(subObj.get(), hooked), 1);
  EXPECT_EQ(objc::send<int>(grandObj.get(), hooked), 1);

  MSHookMessageEx(base, hooked, asImp(&two), nullptr);
  EXPECT_EQ(objc::send<int>(baseObj.get(), hooked), 2);
  EXPECT_EQ(objc::send<int>(subObj.get(), hooked), 2);
  EXPECT_EQ(objc::send<int>(grandObj.get(), hooked), 2);
}

IMP gOrigMix = nullptr, gOrigRect = nullptr, gOrigPoint = nullptr, gOrigScale = nullptr,
    gOrigSpan = nullptr, gOrigNegative = nullptr;
double hookMix(id self, SEL cmd, MIX_PARAMS) {
  return objc::callImp<double, MIX_TYPES>(load(gOrigMix), self, cmd, MIX_ARGS);
}
Rect hookRect(id self, SEL cmd, double s) {
  return objc::callImp<Rect, double>(load(gOrigRect), self, cmd, s);
}
Point hookPoint(id self, SEL cmd) {
  return objc::callImp<Point>(load(gOrigPoint), self, cmd);
}
float hookScale(id self, SEL cmd, float x, BOOL twice) {
  return objc::callImp<float, float, BOOL>(load(gOrigScale), self, cmd, x, twice);
}
Span hookSpan(id self, SEL cmd, long s) {
  return objc::callImp<Span, long>(load(gOrigSpan), self, cmd, s);
}
BOOL hookNegative(id self, SEL cmd, double x) {
  return objc::callImp<BOOL, double>(load(gOrigNegative), self, cmd, x);
}

TEST(MSHookMessageEx, TheSuperCallStubPassesEveryArgumentAndResultThrough) {
  const Hierarchy h = makeHierarchy("Args");
  Instance base(h.base), sub(h.sub);
  MSHookMessageEx(h.sub, objc::sel<"mix:b:c:d:e:f:g:h:i:j:k:l:m:n:o:">(), asImp(&hookMix),
                  &gOrigMix);
  MSHookMessageEx(h.sub, objc::sel<"rectScaledBy:">(), asImp(&hookRect), &gOrigRect);
  MSHookMessageEx(h.sub, objc::sel<"point">(), asImp(&hookPoint), &gOrigPoint);
  MSHookMessageEx(h.sub, objc::sel<"scale:twice:">(), asImp(&hookScale), &gOrigScale);
  MSHookMessageEx(h.sub, objc::sel<"spanFrom:">(), asImp(&hookSpan), &gOrigSpan);
  MSHookMessageEx(h.sub, objc::sel<"isNegative:">(), asImp(&hookNegative), &gOrigNegative);

  EXPECT_EQ(sendMix(sub.get()), sendMix(base.get()));
  EXPECT_EQ(sendMix(sub.get()), 1.5 + 4.5 + 4 - 24 + 88 + 216 + 448 + 1024 + 2304 + 5120 + 11264 -
                                    24576 + 53248 + 114688 + 253952);
  const Rect r = objc::send<"rectScaledBy:", Rect>(sub.get(), 1.5);
  EXPECT_TRUE(r.x == 1.5 && r.y == 3.0 && r.w == 4.5 && r.h == 6.0);
  const Point p = objc::send<"point", Point>(sub.get());
  EXPECT_TRUE(p.x == 0.5 && p.y == 1.5);
  EXPECT_EQ((objc::send<"scale:twice:", float>(sub.get(), 3.0f, objc::yes)), 6.0f);
  EXPECT_EQ((objc::send<"scale:twice:", float>(sub.get(), 3.0f, objc::no)), 1.5f);
  const Span span = objc::send<"spanFrom:", Span>(sub.get(), -7L);
  EXPECT_TRUE(span.first == -7 && span.second == -6 && span.third == -5);
  EXPECT_EQ((objc::send<"isNegative:", BOOL>(sub.get(), -0.5)), objc::yes);
  EXPECT_EQ((objc::send<"isNegative:", BOOL>(sub.get(), 0.5)), objc::no);
}

TEST(MSHookMessageEx, ClassMethodsAreHookedThroughTheMetaclass) {
  const Hierarchy h = makeHierarchy("Meta");
  IMP untouched = asImp(&two);
  testing::internal::CaptureStderr();
  MSHookMessageEx(h.sub, objc::sel<"count">(), Adder<3>::imp(),
                  &untouched);  // no such instance method
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(untouched, asImp(&two));

  MSHookMessageEx(object_getClass(objc::asId(h.sub)), objc::sel<"count">(), Adder<3>::imp(),
                  &Adder<3>::slot);
  EXPECT_EQ((objc::send<"count", int>(h.sub)), 10);
  EXPECT_EQ((objc::send<"count", int>(h.base)), 7);
  EXPECT_EQ((objc::send<"count", int>(h.sibling)), 7);
}

TEST(MSHookMessageEx, RefusedHooksInstallNothingLeaveTheSlotAndLogOneLine) {
  const Hierarchy h = makeHierarchy("Refused");
  Instance base(h.base), sub(h.sub);
  IMP slot = asImp(&two);
  const SEL unknown = sel_registerName("noSuchMessageAnywhere");
  const SEL answer = objc::sel<"answer">();
  testing::internal::CaptureStderr();
  MSHookMessageEx(nullptr, answer, asImp(&two), &slot);
  MSHookMessageEx(h.base, nullptr, asImp(&two), &slot);
  MSHookMessageEx(h.base, unknown, asImp(&two), &slot);
  MSHookMessageEx(h.sub, unknown, asImp(&two), &slot);
  MSHookMessageEx(h.sub, answer, nullptr, &slot);
  MSHookMessageEx(nullptr, nullptr, nullptr, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();

  EXPECT_EQ(slot, asImp(&two));
  EXPECT_EQ(answerOf(base.get()), 1);
  EXPECT_EQ(answerOf(sub.get()), 1);
  EXPECT_FALSE(objc::respondsTo(sub.get(), unknown));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6) << log;
  EXPECT_NE(log.find("message not found [HookSubRefused noSuchMessageAnywhere]"), std::string::npos)
      << log;
}

TEST(MSHookMessageEx, AnExhaustedStubPoolRefusesInheritedHooksOnly) {
  // More inherited methods than the pool has stubs (other tests may have used some already).
  objc::ClassBuilder builder("HookManyBase", nullptr);
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i)
    builder.method(
        names.emplace_back("numbered" + std::to_string(i)).c_str(), +[](id, SEL) { return 3L; });
  const Class base = builder.finish();
  const Class sub = objc::ClassBuilder("HookManySub", base).finish();
  const Class other = objc::ClassBuilder("HookManyOther", base).finish();
  Instance subObj(sub), otherObj(other);
  const auto hook = asImp(+[](id, SEL) { return 4L; });

  testing::internal::CaptureStderr();
  std::size_t installed = 0;
  IMP slot = asImp(&two);
  for (; installed < names.size(); ++installed) {
    MSHookMessageEx(sub, sel_registerName(names[installed].c_str()), hook, &slot);
    if (slot == asImp(&two)) break;
    slot = asImp(&two);
  }
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_LT(installed, names.size());
  EXPECT_LE(installed, 256u);
  const SEL refused = sel_registerName(names[installed].c_str());
  EXPECT_EQ(objc::send<long>(subObj.get(), refused), 3);  // nothing installed
  EXPECT_NE(log.find("no stub left"), std::string::npos) << log;

  // A pair that has a stub already shares it; an own method needs none.
  const SEL first = sel_registerName(names[0].c_str());
  IMP shared = nullptr;
  MSHookMessageEx(other, first, hook, &shared);
  EXPECT_NE(shared, nullptr);
  EXPECT_EQ(objc::send<long>(otherObj.get(), first), 4);
  IMP own = nullptr;
  MSHookMessageEx(base, refused, hook, &own);
  EXPECT_NE(own, nullptr);
  EXPECT_EQ(objc::send<long>(subObj.get(), refused), 4);
}

}  // namespace
