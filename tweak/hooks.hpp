// The eleven method replacements and the slots holding the implementations they replaced.
#pragma once

#include <array>

#include "platform/objc/runtime.hpp"
#include "tweak/elements.hpp"

// Saved previous implementations, one per install. Each is filled once by the hooking library
// while the library loads and only read afterwards, by its own replacement (with acquire
// ordering, pairing with the library's release store).
extern IMP origNewUIStyleAttributesInit;
extern IMP origStatusBarSetForegroundColor;
extern IMP origNewUITextColorForStyle;
extern IMP origNewUIBatteryColorCharging;
extern IMP origTextColorForStyle;
extern IMP origBatteryColorCharging;
extern IMP origBatteryColorStyle;
extern IMP origActivityIndicatorSetColor;
extern IMP origRefreshControlSetTintColor;
extern IMP origLegibilitySetPrimaryColor;
extern IMP origLockScreenStatusBarStyle;

// The replacements, each with exactly the signature of the method it replaces, in the device's
// own types (CGFloat, BOOL, NSInteger and NSUInteger of this word size), so that every argument
// arrives and leaves as the host passes it. Every element hook resolves its element once, first;
// setters and the initialiser always call the saved implementation once (with the colour replaced
// or not), getters either answer the resolved colour without calling it or hand the call on
// unchanged. No exception ever leaves a replacement: if the decision itself fails, the call goes
// to the host unchanged.
objc::id hookNewUIStyleAttributesInit(objc::id self, SEL cmd, objc::id request, objc::id background,
                                      objc::id foreground);
void hookStatusBarSetForegroundColor(objc::id self, SEL cmd, objc::id colour);
objc::id hookNewUITextColorForStyle(objc::id self, SEL cmd, objc::NSInteger style);
objc::id hookNewUIBatteryColorCharging(objc::id self, SEL cmd, objc::CGFloat capacity,
                                       objc::CGFloat low, objc::BOOL charging);
objc::id hookTextColorForStyle(objc::id self, SEL cmd, objc::NSInteger style);
objc::id hookBatteryColorCharging(objc::id self, SEL cmd, objc::CGFloat capacity, objc::CGFloat low,
                                  objc::BOOL charging);
objc::id hookBatteryColorStyle(objc::id self, SEL cmd, objc::CGFloat capacity, objc::CGFloat low,
                               objc::NSUInteger style);
void hookActivityIndicatorSetColor(objc::id self, SEL cmd, objc::id colour);
void hookRefreshControlSetTintColor(objc::id self, SEL cmd, objc::id colour);
void hookLegibilitySetPrimaryColor(objc::id self, SEL cmd, objc::id colour);
// While "lssame" is on (the default), the lock screen asks for the default style (0).
objc::NSInteger hookLockScreenStatusBarStyle(objc::id self, SEL cmd);

// The result and argument types of each replacement, in table order, as the device's compiler
// encodes them for this word size: what each host method must take for its replacement to be
// installed.
inline constexpr std::array<objc::Types, kHookCount> kReplacementTypes{{
    objc::typesOf(&hookNewUIStyleAttributesInit),
    objc::typesOf(&hookStatusBarSetForegroundColor),
    objc::typesOf(&hookNewUITextColorForStyle),
    objc::typesOf(&hookNewUIBatteryColorCharging),
    objc::typesOf(&hookTextColorForStyle),
    objc::typesOf(&hookBatteryColorCharging),
    objc::typesOf(&hookBatteryColorStyle),
    objc::typesOf(&hookActivityIndicatorSetColor),
    objc::typesOf(&hookRefreshControlSetTintColor),
    objc::typesOf(&hookLegibilitySetPrimaryColor),
    objc::typesOf(&hookLockScreenStatusBarStyle),
}};

// One row of the hook table: the names of kHookedMethods with the replacement and its slot.
struct HookEntry {
  const char* className;
  const char* selector;
  IMP replacement;
  IMP* slot;
  const char* types;  // the replacement's, from kReplacementTypes
};
// The table in install order (kHookCount rows).
const HookEntry* hookTable();

// The class (nil when this process has none) and the selector of hooked method H, looked up by
// the names of kHookedMethods: how hosts, tools and tests send the hooked messages.
Class hookedClass(HookId h);
SEL hookedSelector(HookId h);

// What installing row ENTRY over class CLS (as looked up by name, possibly nil) comes to. The
// library installs a row unless its host method takes other types than the replacement: called
// through the replacement, such a method would receive garbage, so it keeps its own behaviour.
enum class InstallCheck { install, noClass, noSuchMethod, otherTypes };
InstallCheck checkInstall(const HookEntry& entry, Class cls);
// "no class", "no such method", "other argument types"; "" for install.
const char* describe(InstallCheck check);

// Installs the replacements in table order, looking each class up by name once, right before its
// first install (eight look-ups). A class missing from the process, or one that does not answer
// the selector, is handed to the hooking library, which installs nothing; a host method with
// other types than its replacement is passed over. Start-up goes on in every case.
void installHooks();
