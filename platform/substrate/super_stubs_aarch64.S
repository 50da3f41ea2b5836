// The pool of super-call stubs (AArch64, AAPCS64). See super_stubs.hpp.
//
// Each stub is VYR_SUPER_STUB_SIZE bytes: it puts its own index in w17 (IP1, a scratch register
// that no argument uses) and branches to the common routine. The common routine saves every
// register that can carry an argument (x0-x7; x8, the address of a result returned in memory;
// q0-q7 whole, for floating-point and vector arguments) with the frame pointer and the link
// register, calls vyr_substrate_resolve(index), restores them all and branches to the
// implementation it returned through x16 (IP0). The stack pointer and the link register are back
// as they were on entry, so arguments on the stack reach the implementation unchanged and it
// returns straight to the caller.

#include "super_stubs_layout.h"

#if defined(__aarch64__)

        .text

        .globl  vyr_substrate_stub_base
        .hidden vyr_substrate_stub_base
        .type   vyr_substrate_stub_base, %function
        .p2align 4
vyr_substrate_stub_base:
        .cfi_startproc
        .set    stub_index, 0
        .rept   VYR_SUPER_STUB_COUNT
        .balign VYR_SUPER_STUB_SIZE
        mov     w17, #stub_index
        b       vyr_substrate_stub_common
        .set    stub_index, stub_index + 1
        .endr
        .cfi_endproc
        .size   vyr_substrate_stub_base, . - vyr_substrate_stub_base

        .type   vyr_substrate_stub_common, %function
        .p2align 4
vyr_substrate_stub_common:
        .cfi_startproc
        stp     x29, x30, [sp, #-224]!
        .cfi_def_cfa_offset 224
        .cfi_offset x29, -224
        .cfi_offset x30, -216
        mov     x29, sp
        stp     x0, x1, [sp, #16]
        stp     x2, x3, [sp, #32]
        stp     x4, x5, [sp, #48]
        stp     x6, x7, [sp, #64]
        str     x8, [sp, #80]
        stp     q0, q1, [sp, #96]
        stp     q2, q3, [sp, #128]
        stp     q4, q5, [sp, #160]
        stp     q6, q7, [sp, #192]

        mov     w0, w17
        bl      vyr_substrate_resolve
        mov     x16, x0

        ldp     q6, q7, [sp, #192]
        ldp     q4, q5, [sp, #160]
        ldp     q2, q3, [sp, #128]
        ldp     q0, q1, [sp, #96]
        ldr     x8, [sp, #80]
        ldp     x6, x7, [sp, #64]
        ldp     x4, x5, [sp, #48]
        ldp     x2, x3, [sp, #32]
        ldp     x0, x1, [sp, #16]
        ldp     x29, x30, [sp], #224
        .cfi_def_cfa_offset 0
        .cfi_restore x29
        .cfi_restore x30
        br      x16
        .cfi_endproc
        .size   vyr_substrate_stub_common, . - vyr_substrate_stub_common

#endif

        .section .note.GNU-stack, "", %progbits
