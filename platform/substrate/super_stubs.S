// The pool of super-call stubs (x86-64, System V). See super_stubs.hpp; the ARM ones are in
// super_stubs_aarch64.S and super_stubs_arm.S.
//
// Each stub is VYR_SUPER_STUB_SIZE bytes: it puts its own index in r11 (a scratch register that no argument uses)
// and jumps to the common routine. The common routine saves every register that can carry an
// argument (rdi, rsi, rdx, rcx, r8, r9; rax, which holds the SSE count of a variadic call; r10,
// the static chain; xmm0-xmm7), calls vyr_substrate_resolve(index) with the stack aligned to 16
// bytes, restores them all and tail-jumps to the implementation it returned. The stack pointer
// is back where it was on entry, so arguments passed on the stack and a return address for a
// result in memory reach the implementation unchanged.

#include "super_stubs_layout.h"

#if defined(__x86_64__)

        .text

        .globl  vyr_substrate_stub_base
        .hidden vyr_substrate_stub_base
        .type   vyr_substrate_stub_base, @function
        .p2align 4
vyr_substrate_stub_base:
        .cfi_startproc
        .set    stub_index, 0
        .rept   VYR_SUPER_STUB_COUNT
        .balign VYR_SUPER_STUB_SIZE
        endbr64
        movl    $stub_index, %r11d
        jmp     vyr_substrate_stub_common
        .set    stub_index, stub_index + 1
        .endr
        .cfi_endproc
        .size   vyr_substrate_stub_base, . - vyr_substrate_stub_base

        .type   vyr_substrate_stub_common, @function
        .p2align 4
vyr_substrate_stub_common:
        .cfi_startproc
        // On entry rsp is 8 modulo 16 (the caller's return address is on top).
        pushq   %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq    %rsp, %rbp
        .cfi_def_cfa_register %rbp
        subq    $192, %rsp
        movq    %rdi, 0(%rsp)
        movq    %rsi, 8(%rsp)
        movq    %rdx, 16(%rsp)
        movq    %rcx, 24(%rsp)
        movq    %r8, 32(%rsp)
        movq    %r9, 40(%rsp)
        movq    %rax, 48(%rsp)
        movq    %r10, 56(%rsp)
        movdqa  %xmm0, 64(%rsp)
        movdqa  %xmm1, 80(%rsp)
        movdqa  %xmm2, 96(%rsp)
        movdqa  %xmm3, 112(%rsp)
        movdqa  %xmm4, 128(%rsp)
        movdqa  %xmm5, 144(%rsp)
        movdqa  %xmm6, 160(%rsp)
        movdqa  %xmm7, 176(%rsp)

        movl    %r11d, %edi
        call    vyr_substrate_resolve
        movq    %rax, %r11

        movdqa  176(%rsp), %xmm7
        movdqa  160(%rsp), %xmm6
        movdqa  144(%rsp), %xmm5
        movdqa  128(%rsp), %xmm4
        movdqa  112(%rsp), %xmm3
        movdqa  96(%rsp), %xmm2
        movdqa  80(%rsp), %xmm1
        movdqa  64(%rsp), %xmm0
        movq    56(%rsp), %r10
        movq    48(%rsp), %rax
        movq    40(%rsp), %r9
        movq    32(%rsp), %r8
        movq    24(%rsp), %rcx
        movq    16(%rsp), %rdx
        movq    8(%rsp), %rsi
        movq    0(%rsp), %rdi
        movq    %rbp, %rsp
        .cfi_def_cfa_register %rsp
        popq    %rbp
        .cfi_def_cfa_offset 8
        jmpq    *%r11
        .cfi_endproc
        .size   vyr_substrate_stub_common, . - vyr_substrate_stub_common

        .section .note.GNU-stack, "", @progbits
#else
        .section .note.GNU-stack, "", %progbits
#endif
