// The cpu backend's own context switch, for x86-64 and aarch64 (fibers.h, GPU_OWN_SWITCH):
// a switch saves the callee-saved registers on the stack it leaves, stores that stack
// pointer, loads the other one and restores its registers; a dozen instructions, where a
// general library also saves and restores the floating-point control words (MXCSR and the
// x87 control word on x86-64: on this path, some two thirds of the library's switch). The
// kernels never change those control words, and every fiber of a worker runs on the
// worker's thread, so they stay as the worker has them.
#include "gpu/cpu/fibers.h"

#if GPU_OWN_SWITCH

#include <cstdint>

// gpudemos_switch(void** save, void* to): saves the caller's context on its stack, stores
// that stack pointer in *save, and goes on where the context saved at `to` left off. It
// goes on with an indirect jump, not a return: a thread at a barrier goes on in another
// thread's frame, at that thread's call site, which the return predictor would miss every
// time a kernel's barriers alternate (two a loop, the usual tile pattern), while the
// indirect predictor learns the alternation. A barrier calls it as a tail call, so the
// thread's saved resume address is in the kernel itself.
// gpudemos_start: where a new context starts (fiberStack below): calls
// entry(arg) with the entry in one callee-saved register and the argument in another.
#if defined(__x86_64__)
asm(R"(
    .text
    .globl gpudemos_switch
    .hidden gpudemos_switch
    .type gpudemos_switch, @function
    .p2align 4
gpudemos_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    popq %rcx
    jmpq *%rcx
    .cfi_endproc
    .size gpudemos_switch, .-gpudemos_switch

    .globl gpudemos_start
    .hidden gpudemos_start
    .type gpudemos_start, @function
    .p2align 4
gpudemos_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r13, %rdi
    callq *%r12
    ud2
    .cfi_endproc
    .size gpudemos_start, .-gpudemos_start
    .section .note.GNU-stack,"",@progbits
    .text
)");
#elif defined(__aarch64__)
asm(R"(
    .text
    .globl gpudemos_switch
    .hidden gpudemos_switch
    .type gpudemos_switch, %function
    .p2align 4
gpudemos_switch:
    .cfi_startproc
    sub sp, sp, #176
    stp x19, x20, [sp, #0]
    stp x21, x22, [sp, #16]
    stp x23, x24, [sp, #32]
    stp x25, x26, [sp, #48]
    stp x27, x28, [sp, #64]
    stp x29, x30, [sp, #80]
    stp d8, d9, [sp, #96]
    stp d10, d11, [sp, #112]
    stp d12, d13, [sp, #128]
    stp d14, d15, [sp, #144]
    str x30, [sp, #160]
    mov x9, sp
    str x9, [x0]
    mov sp, x1
    ldp x19, x20, [sp, #0]
    ldp x21, x22, [sp, #16]
    ldp x23, x24, [sp, #32]
    ldp x25, x26, [sp, #48]
    ldp x27, x28, [sp, #64]
    ldp x29, x30, [sp, #80]
    ldp d8, d9, [sp, #96]
    ldp d10, d11, [sp, #112]
    ldp d12, d13, [sp, #128]
    ldp d14, d15, [sp, #144]
    ldr x9, [sp, #160]
    add sp, sp, #176
    br x9
    .cfi_endproc
    .size gpudemos_switch, .-gpudemos_switch

    .globl gpudemos_start
    .hidden gpudemos_start
    .type gpudemos_start, %function
    .p2align 4
gpudemos_start:
    .cfi_startproc
    .cfi_undefined x30
    mov x0, x20
    blr x19
    brk #0
    .cfi_endproc
    .size gpudemos_start, .-gpudemos_start
    .section .note.GNU-stack,"",%progbits
    .text
)");
#endif

extern "C" void gpudemos_start();

namespace gpu::cpu {

#if defined(__aarch64__)
constexpr int kResumeAt = 20;  // the saved word a switch goes on at (x30 otherwise)
#endif

void* fiberStack(void* top, void (*entry)(void*), void* arg) {
    // The first switch to it pops the saved registers and "returns" into gpudemos_start.
    auto* sp = reinterpret_cast<uintptr_t*>(reinterpret_cast<uintptr_t>(top) & ~uintptr_t(15));
#if defined(__x86_64__)
    // Popped: r15 r14 r13 r12 rbx rbp, then the return address; after it the stack
    // pointer is the (16-aligned) top, so gpudemos_start's call leaves the entry's frame
    // aligned as the ABI wants (rsp + 8 a multiple of 16).
    sp -= 7;
    sp[0] = sp[1] = 0;                           // r15, r14
    sp[2] = reinterpret_cast<uintptr_t>(arg);    // r13
    sp[3] = reinterpret_cast<uintptr_t>(entry);  // r12
    sp[4] = sp[5] = 0;                           // rbx, rbp
    sp[6] = reinterpret_cast<uintptr_t>(&gpudemos_start);
#else
    // Popped: x19..x28, x29 (frame), x30 (return: gpudemos_start), d8..d15.
    // Popped: x19..x28, x29 (frame), x30 (link), d8..d15, then where to go on.
    sp -= 22;
    for (int i = 0; i < 22; ++i) sp[i] = 0;
    sp[0] = reinterpret_cast<uintptr_t>(entry);  // x19
    sp[1] = reinterpret_cast<uintptr_t>(arg);    // x20
    sp[kResumeAt] = reinterpret_cast<uintptr_t>(&gpudemos_start);
#endif
    return sp;
}

void* callOnResume(void* saved, void (*fn)()) {
    auto* sp = static_cast<uintptr_t*>(saved);
#if defined(__x86_64__)
    // [6 registers | where it goes on]: the registers move down a word and fn goes in
    // between, so the old resume address lies on the stack as fn's return address.
    sp -= 1;
    for (int i = 0; i < 6; ++i) sp[i] = sp[i + 1];
    sp[6] = reinterpret_cast<uintptr_t>(fn);
#else
    // The link register keeps the old resume address: fn returns (or unwinds) there.
    sp[kResumeAt] = reinterpret_cast<uintptr_t>(fn);
#endif
    return sp;
}

}  // namespace gpu::cpu

#endif  // GPU_OWN_SWITCH
