// The device's own Objective-C runtime (Apple's libobjc), for the device's build: the basic types
// and the public runtime functions the adapter (runtime.hpp) uses, declared by hand because no
// Apple header is available to this build. Include it only through runtime.hpp.
//
// Apple's runtime has no GCC lookup entry points. The two lookups the adapter needs are given
// here under the GCC names and with their contract, over Apple's public functions:
//  - objc_msg_lookup(OBJ, SEL): the implementation OBJ's class answers SEL with, which is
//    class_getMethodImplementation(object_getClass(OBJ), SEL). It sends +initialize to the class
//    first when needed, and answers the runtime's forwarding entry for a selector nothing
//    implements, so that calling the result behaves as a message send would (Foundation then
//    reports the unrecognised selector).
//  - objc_msg_lookup_super(SUPER, SEL): the same lookup starting at SUPER->super_class, the
//    superclass of the class whose method makes the call (what [super ...] does).
// Neither is exported or imported: both are inline over libobjc's own exports.
#pragma once

#if !defined(__APPLE__)
#error "apple_runtime.hpp is the device's build's runtime"
#endif

#include <stddef.h>
#include <stdint.h>

extern "C" {

// The device's BOOL: signed char on 32-bit ARM, bool on 64-bit ARM.
#if defined(__LP64__)
typedef bool BOOL;
#else
typedef signed char BOOL;
#endif

typedef struct objc_selector* SEL;
typedef struct objc_class* Class;
typedef struct objc_object {
  Class isa;
} * id;
// The implementation type is only ever cast to the exact function type before a call.
typedef id (*IMP)(id, SEL, ...);
typedef struct objc_ivar* Ivar;
typedef struct objc_method* Method;

struct objc_super {
  id receiver;
  Class super_class;
};

Class objc_getClass(const char* name);
Class objc_lookUpClass(const char* name);
Class object_getClass(id obj);
const char* object_getClassName(id obj);
const char* class_getName(Class cls);
Class class_getSuperclass(Class cls);
BOOL class_respondsToSelector(Class cls, SEL sel);
IMP class_getMethodImplementation(Class cls, SEL name);
Method class_getInstanceMethod(Class cls, SEL name);
const char* method_getTypeEncoding(Method m);
BOOL class_addMethod(Class cls, SEL name, IMP imp, const char* types);
BOOL class_addIvar(Class cls, const char* name, size_t size, uint8_t alignment, const char* types);
Ivar class_getInstanceVariable(Class cls, const char* name);
ptrdiff_t ivar_getOffset(Ivar ivar);
Class objc_allocateClassPair(Class superclass, const char* name, size_t extraBytes);
void objc_registerClassPair(Class cls);
SEL sel_registerName(const char* name);
const char* sel_getName(SEL sel);

inline IMP objc_msg_lookup(id obj, SEL sel) {
  return class_getMethodImplementation(object_getClass(obj), sel);
}

inline IMP objc_msg_lookup_super(struct objc_super* super, SEL sel) {
  return class_getMethodImplementation(super->super_class, sel);
}
}

#define YES static_cast<BOOL>(1)
#define NO static_cast<BOOL>(0)
#define nil static_cast<id>(nullptr)
#define Nil static_cast<Class>(nullptr)
