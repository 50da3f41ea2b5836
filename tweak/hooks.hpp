// The eleven method replacements and the slots holding the implementations they replaced.
#pragma once

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

// The replacements, each with exactly the signature of the method it replaces. Every element hook
// resolves its element once, first; setters and the initialiser always call the saved
// implementation once (with the colour replaced or not), getters either answer the resolved colour
// without calling it or hand the call on unchanged. No exception ever leaves a replacement: if the
// decision itself fails, the call goes to the host unchanged.
objc::id hookNewUIStyleAttributesInit(objc::id self, SEL cmd, objc::id request, objc::id background,
                                      objc::id foreground);
void hookStatusBarSetForegroundColor(objc::id self, SEL cmd, objc::id colour);
objc::id hookNewUITextColorForStyle(objc::id self, SEL cmd, long style);
objc::id hookNewUIBatteryColorCharging(objc::id self, SEL cmd, double capacity, double low,
                                       objc::BOOL charging);
objc::id hookTextColorForStyle(objc::id self, SEL cmd, long style);
objc::id hookBatteryColorCharging(objc::id self, SEL cmd, double capacity, double low,
                                  objc::BOOL charging);
objc::id hookBatteryColorStyle(objc::id self, SEL cmd, double capacity, double low, long style);
void hookActivityIndicatorSetColor(objc::id self, SEL cmd, objc::id colour);
void hookRefreshControlSetTintColor(objc::id self, SEL cmd, objc::id colour);
void hookLegibilitySetPrimaryColor(objc::id self, SEL cmd, objc::id colour);
// While "lssame" is on (the default), the lock screen asks for the default style (0).
long hookLockScreenStatusBarStyle(objc::id self, SEL cmd);

// One row of the hook table: the names of kHookedMethods with the replacement and its slot.
struct HookEntry {
  const char* className;
  const char* selector;
  IMP replacement;
  IMP* slot;
};
// The table in install order (kHookCount rows).
const HookEntry* hookTable();

// The class (nil when this process has none) and the selector of hooked method H, looked up by
// the names of kHookedMethods: how hosts, tools and tests send the hooked messages.
Class hookedClass(HookId h);
SEL hookedSelector(HookId h);

// Installs the eleven replacements in table order, looking each class up by name once, right
// before its first install (eight look-ups). A class missing from the process is handed to the
// hooking library as nil, which installs nothing; start-up goes on.
void installHooks();
