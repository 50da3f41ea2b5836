// The pool of super-call stubs (32-bit ARM, AAPCS with VFP arguments). See super_stubs.hpp.
//
// Each stub is VYR_SUPER_STUB_SIZE bytes of ARM code: it puts its own index in ip (r12, a scratch
// register that no argument uses) and branches to the common routine. The common routine saves
// every register that can carry an argument (r0-r3, r0 holding the address of a result returned
// in memory; d0-d7, that is s0-s15, for floating-point and vector arguments) with the link
// register, calls vyr_substrate_resolve(index) with the stack aligned to 8 bytes, restores them
// all and branches to the implementation it returned with bx, which also switches to Thumb when
// the implementation is Thumb code. The stack pointer and the link register are back as they
// were on entry, so arguments on the stack reach the implementation unchanged and it returns
// straight to the caller.

#include "super_stubs_layout.h"

#if defined(__arm__)

        .syntax unified
        .arm
        .text

        .globl  vyr_substrate_stub_base
        .hidden vyr_substrate_stub_base
        .type   vyr_substrate_stub_base, %function
        .p2align 4
vyr_substrate_stub_base:
        .set    stub_index, 0
        .rept   VYR_SUPER_STUB_COUNT
        .balign VYR_SUPER_STUB_SIZE
        movw    ip, #stub_index
        b       vyr_substrate_stub_common
        .set    stub_index, stub_index + 1
        .endr
        .size   vyr_substrate_stub_base, . - vyr_substrate_stub_base

        .type   vyr_substrate_stub_common, %function
        .p2align 4
vyr_substrate_stub_common:
        // Six words keep the stack 8-byte aligned; the slot of ip receives the implementation.
        push    {r0-r3, ip, lr}
        vpush   {d0-d7}
        mov     r0, ip
        bl      vyr_substrate_resolve
        str     r0, [sp, #80]
        vpop    {d0-d7}
        pop     {r0-r3, ip, lr}
        bx      ip
        .size   vyr_substrate_stub_common, . - vyr_substrate_stub_common

#endif

        .section .note.GNU-stack, "", %progbits
