// The device's hooking library, as far as the system uses it.
#pragma once

#include "platform/objc/runtime.hpp"

extern "C" {

// Replaces the implementation of SELECTOR on CLS with HOOK and stores the implementation that
// answered before in *ORIGINAL (when ORIGINAL is not null), as the device's substrate does:
//  - CLS nil, or CLS not answering SELECTOR: nothing is installed and *ORIGINAL is not written;
//  - SELECTOR in CLS's own method list: its implementation is replaced; *ORIGINAL receives the
//    previous one;
//  - SELECTOR only inherited: an override is added to CLS alone, and *ORIGINAL receives a stub
//    that calls the superclass's implementation as it is at the time of each call; the
//    superclass is not changed.
// *ORIGINAL is written (with release ordering) before the hook becomes reachable, so a thread
// that runs the hook and loads *ORIGINAL with acquire ordering finds it filled. To hook a class
// method, pass the metaclass. Adding an override rebuilds the class's dispatch tables: install
// hooks of inherited methods before other threads message the class.
void MSHookMessageEx(Class cls, SEL selector, IMP hook, IMP* original);
}
