#include "tweak/hooks.hpp"

#include <array>
#include <atomic>
#include <cstring>

#include "platform/substrate/substrate.h"
#include "tweak/resolve.hpp"

IMP origNewUIStyleAttributesInit = nullptr;
IMP origStatusBarSetForegroundColor = nullptr;
IMP origNewUITextColorForStyle = nullptr;
IMP origNewUIBatteryColorCharging = nullptr;
IMP origTextColorForStyle = nullptr;
IMP origBatteryColorCharging = nullptr;
IMP origBatteryColorStyle = nullptr;
IMP origActivityIndicatorSetColor = nullptr;
IMP origRefreshControlSetTintColor = nullptr;
IMP origLegibilitySetPrimaryColor = nullptr;
IMP origLockScreenStatusBarStyle = nullptr;

namespace {

// The slot's implementation, loaded with acquire ordering (pairing with the hooking library's
// release store). The compiler's builtin rather than std::atomic_ref, which the device's build's
// C++ library (libc++ 14) lacks.
IMP saved(IMP& slot) {
  return __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
}

template <class R, class... A>
IMP asImp(R (*fn)(objc::id, SEL, A...)) {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(fn));
}

// The decision, never throwing: a failure to decide leaves the host's behaviour in place.
ColourChoice decide(ElementId e) noexcept {
  try {
    return resolveElementColour(e);
  } catch (...) {
    return {};
  }
}

objc::id getter(ElementId e, IMP& slot, auto handOn) {
  const ColourChoice choice = decide(e);
  if (choice.replace) return choice.colour;
  return handOn(saved(slot));
}

void setter(ElementId e, IMP& slot, objc::id self, SEL cmd, objc::id colour) {
  const ColourChoice choice = decide(e);
  objc::callImp<void, objc::id>(saved(slot), self, cmd, choice.replace ? choice.colour : colour);
}

// Built on first use: the installs run from a load-time initialiser, before the library's static
// initialisers would have filled a table of non-constant addresses. The names come from
// kHookedMethods; this adds what only the library knows, each replacement and its slot, in the
// same order.
const HookEntry* table() {
  struct Code {
    IMP replacement;
    IMP* slot;
  };
  static const std::array<HookEntry, kHookCount> kTable = [] {
    const std::array<Code, kHookCount> code{{
        {asImp(&hookNewUIStyleAttributesInit), &origNewUIStyleAttributesInit},
        {asImp(&hookStatusBarSetForegroundColor), &origStatusBarSetForegroundColor},
        {asImp(&hookNewUITextColorForStyle), &origNewUITextColorForStyle},
        {asImp(&hookNewUIBatteryColorCharging), &origNewUIBatteryColorCharging},
        {asImp(&hookTextColorForStyle), &origTextColorForStyle},
        {asImp(&hookBatteryColorCharging), &origBatteryColorCharging},
        {asImp(&hookBatteryColorStyle), &origBatteryColorStyle},
        {asImp(&hookActivityIndicatorSetColor), &origActivityIndicatorSetColor},
        {asImp(&hookRefreshControlSetTintColor), &origRefreshControlSetTintColor},
        {asImp(&hookLegibilitySetPrimaryColor), &origLegibilitySetPrimaryColor},
        {asImp(&hookLockScreenStatusBarStyle), &origLockScreenStatusBarStyle},
    }};
    std::array<HookEntry, kHookCount> made{};
    for (std::size_t i = 0; i < made.size(); ++i) {
      made[i] = {kHookedMethods[i].className, kHookedMethods[i].selector, code[i].replacement,
                 code[i].slot, kReplacementTypes[i].text};
    }
    return made;
  }();
  return kTable.data();
}

}  // namespace

const HookEntry* hookTable() {
  return table();
}

objc::id hookNewUIStyleAttributesInit(objc::id self, SEL cmd, objc::id request, objc::id background,
                                      objc::id foreground) {
  const ColourChoice choice = decide(ElementId::sig);
  return objc::callImp<objc::id, objc::id, objc::id, objc::id>(
      saved(origNewUIStyleAttributesInit), self, cmd, request, background,
      choice.replace ? choice.colour : foreground);
}

void hookStatusBarSetForegroundColor(objc::id self, SEL cmd, objc::id colour) {
  setter(ElementId::sbsig, origStatusBarSetForegroundColor, self, cmd, colour);
}

objc::id hookNewUITextColorForStyle(objc::id self, SEL cmd, objc::NSInteger style) {
  return getter(ElementId::txt, origNewUITextColorForStyle, [&](IMP imp) {
    return objc::callImp<objc::id, objc::NSInteger>(imp, self, cmd, style);
  });
}

objc::id hookNewUIBatteryColorCharging(objc::id self, SEL cmd, objc::CGFloat capacity,
                                       objc::CGFloat low, objc::BOOL charging) {
  return getter(ElementId::bat, origNewUIBatteryColorCharging, [&](IMP imp) {
    return objc::callImp<objc::id, objc::CGFloat, objc::CGFloat, objc::BOOL>(
        imp, self, cmd, capacity, low, charging);
  });
}

objc::id hookTextColorForStyle(objc::id self, SEL cmd, objc::NSInteger style) {
  return getter(ElementId::txt, origTextColorForStyle, [&](IMP imp) {
    return objc::callImp<objc::id, objc::NSInteger>(imp, self, cmd, style);
  });
}

objc::id hookBatteryColorCharging(objc::id self, SEL cmd, objc::CGFloat capacity, objc::CGFloat low,
                                  objc::BOOL charging) {
  return getter(ElementId::bat, origBatteryColorCharging, [&](IMP imp) {
    return objc::callImp<objc::id, objc::CGFloat, objc::CGFloat, objc::BOOL>(
        imp, self, cmd, capacity, low, charging);
  });
}

objc::id hookBatteryColorStyle(objc::id self, SEL cmd, objc::CGFloat capacity, objc::CGFloat low,
                               objc::NSUInteger style) {
  return getter(ElementId::bat, origBatteryColorStyle, [&](IMP imp) {
    return objc::callImp<objc::id, objc::CGFloat, objc::CGFloat, objc::NSUInteger>(
        imp, self, cmd, capacity, low, style);
  });
}

void hookActivityIndicatorSetColor(objc::id self, SEL cmd, objc::id colour) {
  setter(ElementId::lod, origActivityIndicatorSetColor, self, cmd, colour);
}

void hookRefreshControlSetTintColor(objc::id self, SEL cmd, objc::id colour) {
  setter(ElementId::lod, origRefreshControlSetTintColor, self, cmd, colour);
}

void hookLegibilitySetPrimaryColor(objc::id self, SEL cmd, objc::id colour) {
  setter(ElementId::rec, origLegibilitySetPrimaryColor, self, cmd, colour);
}

InstallCheck checkInstall(const HookEntry& entry, Class cls) {
  if (cls == nullptr) return InstallCheck::noClass;
  const char* host = objc::methodTypes(cls, sel_registerName(entry.selector));
  if (host == nullptr) return InstallCheck::noSuchMethod;
  return objc::sameTypes(host, entry.types) ? InstallCheck::install : InstallCheck::otherTypes;
}

const char* describe(InstallCheck check) {
  switch (check) {
    case InstallCheck::install:
      return "";
    case InstallCheck::noClass:
      return "no class";
    case InstallCheck::noSuchMethod:
      return "no such method";
    case InstallCheck::otherTypes:
      return "other argument types";
  }
  return "";
}

void installHooks() {
  const char* lookedUp = nullptr;
  Class cls = nullptr;
  const HookEntry* entries = table();
  for (int i = 0; i < kHookCount; ++i) {
    const HookEntry& entry = entries[i];
    if (lookedUp == nullptr || std::strcmp(lookedUp, entry.className) != 0) {
      cls = objc_getClass(entry.className);
      lookedUp = entry.className;
    }
    // A missing class or method is the hooking library's to pass over, as on the device.
    if (checkInstall(entry, cls) == InstallCheck::otherTypes) continue;
    MSHookMessageEx(cls, sel_registerName(entry.selector), entry.replacement, entry.slot);
  }
}

Class hookedClass(HookId h) {
  return objc::getClass(hookedMethod(h).className);
}

SEL hookedSelector(HookId h) {
  return sel_registerName(hookedMethod(h).selector);
}
