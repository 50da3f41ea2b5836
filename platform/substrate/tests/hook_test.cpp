#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/objc/runtime.hpp"
#include "platform/substrate/substrate.h"

namespace {

struct Rect {
  double x, y, w, h;  // 32 bytes: returned through a hidden pointer argument
};
struct Point {
  double x, y;  // returned in two SSE registers
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
}  // namespace objc

namespace {

using objc::BOOL;
using objc::id;

// Arguments of every register class and the stack, in an order that makes any shuffle visible:
// self, _cmd, c, d, k, l fill the six integer registers, m and n go on the stack; a, b, e, f, g,
// h, i, j fill the eight SSE registers, o goes on the stack.
#define MIX_PARAMS                                                                             \
  float a, double b, BOOL c, int d, double e, float f, double g, double h, double i, double j, \
      long k, long l, long m, long n, double o
#define MIX_ARGS a, b, c, d, e, f, g, h, i, j, k, l, m, n, o
#define MIX_TYPES                                                                                  \
  float, double, BOOL, int, double, float, double, double, double, double, long, long, long, long, \
      double

struct MixSeen {
  float a;
  double b;
  BOOL c;
  int d;
  double e;
  float f;
  double g, h, i, j;
  long k, l, m, n;
  double o;
  id self;
};
MixSeen gSeen;

int baseAnswer(id, SEL) {
  return 1;
}
int changedAnswer(id, SEL) {
  return 2;
}
int ownAnswer(id, SEL) {
  return 50;
}
double baseMix(id self, SEL, MIX_PARAMS) {
  gSeen = MixSeen{a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, self};
  return a + b + c + d + e + f + g + h + i + j + static_cast<double>(k + l + m + n) + o;
}
Rect baseRect(id, SEL, double s) {
  return Rect{1 * s, 2 * s, 3 * s, 4 * s};
}
Point basePoint(id, SEL) {
  return Point{0.5, 1.5};
}
float baseScale(id, SEL, float x, BOOL twice) {
  return twice ? x * 2 : x / 2;
}
int baseCount(id, SEL) {
  return 7;
}

struct Hierarchy {
  Class base, sub, sibling, ownSub;
};

// Classes of their own for each test, so that tests stay independent in one process.
Hierarchy makeHierarchy(const std::string& tag) {
  Hierarchy h{};
  h.base = objc::ClassBuilder(("HookBase" + tag).c_str(), nullptr)
               .method("answer", &baseAnswer)
               .method("mix:b:c:d:e:f:g:h:i:j:k:l:m:n:o:", &baseMix)
               .method("rectScaledBy:", &baseRect)
               .method("point", &basePoint)
               .method("scale:twice:", &baseScale)
               .classMethod("count", &baseCount)
               .finish();
  h.sub = objc::ClassBuilder(("HookSub" + tag).c_str(), h.base).finish();
  h.sibling = objc::ClassBuilder(("HookSibling" + tag).c_str(), h.base).finish();
  h.ownSub = objc::ClassBuilder(("HookOwnSub" + tag).c_str(), h.base)
                 .method("answer", &ownAnswer)
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
IMP asImp(auto fn) {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(fn));
}
int answerOf(id obj) {
  return objc::send<"answer", int>(obj);
}

IMP gOrigSubAnswer = nullptr;
int hookSubAnswer(id self, SEL cmd) {
  return objc::callImp<int>(load(gOrigSubAnswer), self, cmd) + 100;
}
IMP gOrigBaseAnswer = nullptr;
int hookBaseAnswer(id self, SEL cmd) {
  return objc::callImp<int>(load(gOrigBaseAnswer), self, cmd) + 10;
}
IMP gOrigOwnAnswer = nullptr;
int hookOwnAnswer(id self, SEL cmd) {
  return objc::callImp<int>(load(gOrigOwnAnswer), self, cmd) + 1000;
}
IMP gOrigSubAgain = nullptr;
int hookSubAgain(id self, SEL cmd) {
  return objc::callImp<int>(load(gOrigSubAgain), self, cmd) + 5000;
}

TEST(MSHookMessageEx, OwnMethodsAreReplacedInheritedOnesOverriddenOnTheClassAlone) {
  const Hierarchy h = makeHierarchy("Own");
  Instance base(h.base), sub(h.sub), sibling(h.sibling), ownSub(h.ownSub);
  const SEL answer = objc::sel<"answer">();
  const IMP baseImp = class_getMethodImplementation(h.base, answer);

  // Inherited: the subclass alone changes; the slot holds a stub, not the superclass's IMP.
  MSHookMessageEx(h.sub, answer, asImp(&hookSubAnswer), &gOrigSubAnswer);
  ASSERT_NE(gOrigSubAnswer, nullptr);
  EXPECT_NE(gOrigSubAnswer, baseImp);
  EXPECT_EQ(answerOf(sub.get()), 101);
  EXPECT_EQ(answerOf(base.get()), 1);
  EXPECT_EQ(answerOf(sibling.get()), 1);
  EXPECT_EQ(answerOf(ownSub.get()), 50);
  EXPECT_EQ(class_getMethodImplementation(h.base, answer), baseImp);

  // The stub follows the superclass's method as it is at each call.
  method_setImplementation(class_getInstanceMethod(h.base, answer), asImp(&changedAnswer));
  EXPECT_EQ(answerOf(sub.get()), 102);
  EXPECT_EQ(answerOf(sibling.get()), 2);

  // Own: the implementation is replaced and the slot holds the previous one, exactly.
  const IMP changed = class_getMethodImplementation(h.base, answer);
  MSHookMessageEx(h.base, answer, asImp(&hookBaseAnswer), &gOrigBaseAnswer);
  EXPECT_EQ(gOrigBaseAnswer, changed);
  EXPECT_EQ(answerOf(base.get()), 12);
  EXPECT_EQ(answerOf(sibling.get()), 12);
  EXPECT_EQ(answerOf(sub.get()), 112);  // through the stub, into the hooked superclass

  MSHookMessageEx(h.ownSub, answer, asImp(&hookOwnAnswer), &gOrigOwnAnswer);
  EXPECT_EQ(gOrigOwnAnswer, asImp(&ownAnswer));
  EXPECT_EQ(answerOf(ownSub.get()), 1050);
  EXPECT_EQ(answerOf(base.get()), 12);

  // Hooking the subclass again finds its override as its own method, and chains onto it.
  MSHookMessageEx(h.sub, answer, asImp(&hookSubAgain), &gOrigSubAgain);
  EXPECT_EQ(gOrigSubAgain, asImp(&hookSubAnswer));
  EXPECT_EQ(answerOf(sub.get()), 5112);

  // A null slot is allowed for both kinds.
  const Hierarchy quiet = makeHierarchy("NullSlot");
  Instance quietBase(quiet.base), quietSub(quiet.sub);
  MSHookMessageEx(quiet.sub, answer, asImp(&ownAnswer), nullptr);
  MSHookMessageEx(quiet.base, answer, asImp(&changedAnswer), nullptr);
  EXPECT_EQ(answerOf(quietSub.get()), 50);
  EXPECT_EQ(answerOf(quietBase.get()), 2);
}

int nineAnswer(id, SEL) {
  return 9;
}
long sideMethod(id, SEL) {
  return 0;
}

TEST(MSHookMessageEx, AnOwnMethodHookReachesEveryInheritingSubclassAndNoOtherClass) {
  // Nothing here has been messaged before the hook: no class has a dispatch table of its own yet.
  const Hierarchy cold = makeHierarchy("Cold");
  const Class unrelated =
      objc::ClassBuilder("HookUnrelatedCold", nullptr).method("answer", &nineAnswer).finish();
  MSHookMessageEx(cold.base, objc::sel<"answer">(), asImp(&changedAnswer), nullptr);
  {
    Instance base(cold.base), sub(cold.sub), sibling(cold.sibling), ownSub(cold.ownSub),
        other(unrelated);
    EXPECT_EQ(answerOf(base.get()), 2);
    EXPECT_EQ(answerOf(sub.get()), 2);
    EXPECT_EQ(answerOf(sibling.get()), 2);
    EXPECT_EQ(answerOf(ownSub.get()), 50);
    EXPECT_EQ(answerOf(other.get()), 9);
  }

  // Everything messaged first, and the subclass has methods of its own right beside the hooked
  // selector (selectors registered just before and after it), so that it holds its own copy of
  // that part of the dispatch table.
  std::vector<std::string> before, after;
  for (int i = 0; i < 40; ++i) before.push_back("warmBefore" + std::to_string(i));
  for (const auto& n : before) sel_registerName(n.c_str());
  const SEL hooked = sel_registerName("warmHookedAnswer");
  for (int i = 0; i < 40; ++i) after.push_back("warmAfter" + std::to_string(i));
  for (const auto& n : after) sel_registerName(n.c_str());

  const Class base =
      objc::ClassBuilder("HookWarmBase", nullptr).method("warmHookedAnswer", &baseAnswer).finish();
  objc::ClassBuilder subBuilder("HookWarmSub", base);
  for (const auto& n : before) subBuilder.method(n.c_str(), &sideMethod);
  for (const auto& n : after) subBuilder.method(n.c_str(), &sideMethod);
  const Class sub = subBuilder.finish();
  const Class grandchild = objc::ClassBuilder("HookWarmGrandchild", sub).finish();
  Instance baseObj(base), subObj(sub), grandObj(grandchild);
  EXPECT_EQ(objc::send<int>(subObj.get(), hooked), 1);
  EXPECT_EQ(objc::send<int>(grandObj.get(), hooked), 1);
  EXPECT_EQ(objc::send<long>(subObj.get(), sel_registerName(after[0].c_str())), 0);

  MSHookMessageEx(base, hooked, asImp(&changedAnswer), nullptr);
  EXPECT_EQ(objc::send<int>(baseObj.get(), hooked), 2);
  EXPECT_EQ(objc::send<int>(subObj.get(), hooked), 2);
  EXPECT_EQ(objc::send<int>(grandObj.get(), hooked), 2);
}

IMP gOrigMix = nullptr;
double hookMix(id self, SEL cmd, MIX_PARAMS) {
  return objc::callImp<double, MIX_TYPES>(load(gOrigMix), self, cmd, MIX_ARGS);
}
IMP gOrigRect = nullptr;
Rect hookRect(id self, SEL cmd, double s) {
  return objc::callImp<Rect, double>(load(gOrigRect), self, cmd, s);
}
IMP gOrigPoint = nullptr;
Point hookPoint(id self, SEL cmd) {
  return objc::callImp<Point>(load(gOrigPoint), self, cmd);
}
IMP gOrigScale = nullptr;
float hookScale(id self, SEL cmd, float x, BOOL twice) {
  return objc::callImp<float, float, BOOL>(load(gOrigScale), self, cmd, x, twice);
}

TEST(MSHookMessageEx, TheSuperCallStubPassesEveryArgumentAndResultThrough) {
  const Hierarchy h = makeHierarchy("Args");
  Instance sub(h.sub);
  MSHookMessageEx(h.sub, objc::sel<"mix:b:c:d:e:f:g:h:i:j:k:l:m:n:o:">(), asImp(&hookMix),
                  &gOrigMix);
  MSHookMessageEx(h.sub, objc::sel<"rectScaledBy:">(), asImp(&hookRect), &gOrigRect);
  MSHookMessageEx(h.sub, objc::sel<"point">(), asImp(&hookPoint), &gOrigPoint);
  MSHookMessageEx(h.sub, objc::sel<"scale:twice:">(), asImp(&hookScale), &gOrigScale);

  const double sum = objc::send<"mix:b:c:d:e:f:g:h:i:j:k:l:m:n:o:", double>(
      sub.get(), 1.25f, 2.5, objc::yes, -4, 5.5, 6.75f, 7.0, 8.0, 9.0, 10.0, 11L, -12L, 1L << 40,
      14L, 15.5);
  EXPECT_EQ(gSeen.self, sub.get());
  EXPECT_EQ(gSeen.a, 1.25f);
  EXPECT_EQ(gSeen.b, 2.5);
  EXPECT_EQ(gSeen.c, objc::yes);
  EXPECT_EQ(gSeen.d, -4);
  EXPECT_EQ(gSeen.e, 5.5);
  EXPECT_EQ(gSeen.f, 6.75f);
  EXPECT_EQ(gSeen.g, 7.0);
  EXPECT_EQ(gSeen.h, 8.0);
  EXPECT_EQ(gSeen.i, 9.0);
  EXPECT_EQ(gSeen.j, 10.0);
  EXPECT_EQ(gSeen.k, 11L);
  EXPECT_EQ(gSeen.l, -12L);
  EXPECT_EQ(gSeen.m, 1L << 40);
  EXPECT_EQ(gSeen.n, 14L);
  EXPECT_EQ(gSeen.o, 15.5);
  EXPECT_EQ(sum, 1.25 + 2.5 + 1 - 4 + 5.5 + 6.75 + 7 + 8 + 9 + 10 + 11 - 12 +
                     static_cast<double>(1L << 40) + 14 + 15.5);

  const Rect r = objc::send<"rectScaledBy:", Rect>(sub.get(), 1.5);
  EXPECT_EQ(r.x, 1.5);
  EXPECT_EQ(r.y, 3.0);
  EXPECT_EQ(r.w, 4.5);
  EXPECT_EQ(r.h, 6.0);
  const Point p = objc::send<"point", Point>(sub.get());
  EXPECT_EQ(p.x, 0.5);
  EXPECT_EQ(p.y, 1.5);
  EXPECT_EQ((objc::send<"scale:twice:", float>(sub.get(), 3.0f, objc::yes)), 6.0f);
  EXPECT_EQ((objc::send<"scale:twice:", float>(sub.get(), 3.0f, objc::no)), 1.5f);
}

IMP gOrigSubCount = nullptr;
int hookSubCount(id self, SEL cmd) {
  return objc::callImp<int>(load(gOrigSubCount), self, cmd) * 3;
}

TEST(MSHookMessageEx, ClassMethodsAreHookedThroughTheMetaclass) {
  const Hierarchy h = makeHierarchy("Meta");
  // Passing the class itself looks for an instance method, which it does not have.
  IMP untouched = asImp(&baseCount);
  MSHookMessageEx(h.sub, objc::sel<"count">(), asImp(&hookSubCount), &untouched);
  EXPECT_EQ(untouched, asImp(&baseCount));

  MSHookMessageEx(object_getClass(objc::asId(h.sub)), objc::sel<"count">(), asImp(&hookSubCount),
                  &gOrigSubCount);
  EXPECT_EQ((objc::send<"count", int>(h.sub)), 21);
  EXPECT_EQ((objc::send<"count", int>(h.base)), 7);
  EXPECT_EQ((objc::send<"count", int>(h.sibling)), 7);
}

TEST(MSHookMessageEx, RefusedHooksInstallNothingAndLeaveTheSlotAlone) {
  const Hierarchy h = makeHierarchy("Refused");
  Instance base(h.base), sub(h.sub);
  const IMP sentinel = asImp(&changedAnswer);
  IMP slot = sentinel;
  const SEL unknown = sel_registerName("noSuchMessageAnywhere");

  testing::internal::CaptureStderr();
  MSHookMessageEx(nullptr, objc::sel<"answer">(), asImp(&ownAnswer), &slot);
  MSHookMessageEx(h.base, nullptr, asImp(&ownAnswer), &slot);
  MSHookMessageEx(h.base, unknown, asImp(&ownAnswer), &slot);
  MSHookMessageEx(h.sub, unknown, asImp(&ownAnswer), &slot);
  MSHookMessageEx(h.base, objc::sel<"answer">(), nullptr, &slot);
  MSHookMessageEx(h.sub, objc::sel<"answer">(), nullptr, &slot);
  MSHookMessageEx(nullptr, nullptr, nullptr, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();

  EXPECT_EQ(slot, sentinel);
  EXPECT_EQ(answerOf(base.get()), 1);
  EXPECT_EQ(answerOf(sub.get()), 1);
  EXPECT_FALSE(objc::respondsTo(base.get(), unknown));
  EXPECT_FALSE(objc::respondsTo(sub.get(), unknown));
  // One line per refused call.
  std::size_t lines = 0;
  for (char c : log) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 7u) << log;
  EXPECT_NE(log.find("message not found [HookBaseRefused noSuchMessageAnywhere]"),
            std::string::npos)
      << log;
}

long numberedMethod(id, SEL) {
  return 3;
}
long numberedHook(id, SEL) {
  return 4;
}

TEST(MSHookMessageEx, AnExhaustedStubPoolRefusesInheritedHooksOnly) {
  // More inherited methods than the pool has stubs (other tests of this process may have used
  // some already).
  constexpr int kMethods = 300;
  objc::ClassBuilder builder("HookManyBase", nullptr);
  std::vector<std::string> names;
  for (int i = 0; i < kMethods; ++i) names.push_back("numbered" + std::to_string(i));
  for (const auto& name : names) builder.method(name.c_str(), &numberedMethod);
  const Class base = builder.finish();
  const Class sub = objc::ClassBuilder("HookManySub", base).finish();
  const Class other = objc::ClassBuilder("HookManyOther", base).finish();
  Instance subObj(sub), otherObj(other), baseObj(base);

  testing::internal::CaptureStderr();
  int installed = 0;
  int refusedAt = -1;
  for (int i = 0; i < kMethods && refusedAt < 0; ++i) {
    const SEL s = sel_registerName(names[static_cast<std::size_t>(i)].c_str());
    IMP slot = nullptr;
    MSHookMessageEx(sub, s, asImp(&numberedHook), &slot);
    if (slot == nullptr) {
      refusedAt = i;
      EXPECT_EQ(objc::send<long>(subObj.get(), s), 3);  // nothing installed
    } else {
      ++installed;
      EXPECT_EQ(objc::send<long>(subObj.get(), s), 4);
      EXPECT_EQ(objc::callImp<long>(slot, subObj.get(), s), 3);
    }
  }
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_GE(refusedAt, 0);
  EXPECT_LE(installed, 256);
  EXPECT_NE(log.find("no stub left"), std::string::npos) << log;

  // A pair that already has a stub shares it; own methods need no stub at all.
  IMP first = nullptr, again = nullptr;
  const SEL s0 = sel_registerName(names[0].c_str());
  MSHookMessageEx(other, s0, asImp(&numberedHook), &again);
  IMP viaSub = nullptr;
  MSHookMessageEx(sub, s0, asImp(&numberedHook), &viaSub);  // now its own: replaced
  first = viaSub;
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(first, asImp(&numberedHook));
  EXPECT_EQ(objc::send<long>(otherObj.get(), s0), 4);
  IMP own = nullptr;
  MSHookMessageEx(base, s0, asImp(&numberedHook), &own);
  EXPECT_EQ(own, asImp(&numberedMethod));
  EXPECT_EQ(objc::send<long>(baseObj.get(), s0), 4);
}

}  // namespace
