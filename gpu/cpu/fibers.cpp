// Stacks and fibers: each GPU thread that needs a fiber gets a stack of its own with a
// guard region below it, and a fiber per slot that is made once and reused.
#include "gpu/cpu/fibers.h"

#include <signal.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <new>

#if !GPU_OWN_SWITCH
namespace ctx = boost::context;
#endif

namespace gpu::cpu {
namespace {

// The stack region of the worker running on this thread. Read by the SIGSEGV handler,
// hence plain words with a signal-safe TLS model.
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t regionLo = 0;
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t regionHi = 0;

struct sigaction previousSegv;

void onSegv(int sig, siginfo_t* info, void* uc) {
    uintptr_t a = reinterpret_cast<uintptr_t>(info->si_addr);
    if (a >= regionLo && a < regionHi && (a - regionLo) % kSlotSize < kGuardSize) {
        static const char msg[] = "cpu backend: a GPU thread outgrew its 512 KiB stack\n";
        ssize_t r = write(STDERR_FILENO, msg, sizeof msg - 1);
        (void)r;
        abort();
    }
    // Not ours: to whoever handled it before, or the default action on return.
    if (previousSegv.sa_flags & SA_SIGINFO) {
        previousSegv.sa_sigaction(sig, info, uc);
    } else if (previousSegv.sa_handler != SIG_DFL && previousSegv.sa_handler != SIG_IGN) {
        previousSegv.sa_handler(sig);
    } else {
        signal(SIGSEGV, SIG_DFL);
    }
}

void installSegvHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onSegv;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &previousSegv);
    });
}

#if GPU_OWN_SWITCH
// The life of a slot's fiber: one GPU thread after another, for as long as the worker lives
// (its stack goes with the worker; nothing on it needs destroying). A discarded thread
// unwinds to here and the slot is ready for the next one.
void runSlot(void* p) {
    GpuThread& t = *static_cast<GpuThread*>(p);
    Worker& w = thisWorker();
    for (;;) {
        try {
            t.desc->runOne(t.desc->closure);
        } catch (const FiberUnwind&) {
        }
        threadEnded(w, t);
    }
}
#else
// Hands a fiber its slot's stack; the stack outlives the fiber and is reused.
struct SlotAllocator {
    ctx::stack_context sc;
    ctx::stack_context allocate() { return sc; }
    void deallocate(ctx::stack_context&) noexcept {}
};

// The life of a slot's fiber: one GPU thread after another, each ordered after its
// block's start and before its block's end (tsan.h), until the worker goes.
ctx::fiber runSlot(Worker& w, GpuThread& t, ctx::fiber&& caller) {
    t.caller = std::move(caller);
    for (;;) {
        tsanAcquire(&w.tsanStart);
        tsanIgnoreEnd();
        t.desc->runOne(t.desc->closure);
        tsanIgnoreBegin();
        tsanRelease(&w.tsanEnd);
        threadEnded(w, t);
        if (t.quit) break;
    }
    if (GPU_TSAN_ON) tsanSwitch(w.tsanSelf);
    return std::move(t.caller);
}
#endif

}  // namespace

StackPool::StackPool() {
    installSegvHandler();
    // The handler needs a stack of its own: the one that overflowed is full.
    stack_t old{};
    if (sigaltstack(nullptr, &old) == 0 && (old.ss_flags & SS_DISABLE)) {
        altSize_ = 64 * 1024;
        altStack_ = mmap(nullptr, altSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (altStack_ != MAP_FAILED) {
            stack_t ss{};
            ss.ss_sp = altStack_;
            ss.ss_size = altSize_;
            sigaltstack(&ss, nullptr);
        } else {
            altStack_ = nullptr;
        }
    }
}
StackPool::~StackPool() {
    if (region_) {
        munmap(region_, kSlotSize * kMaxThreads);
        regionLo = regionHi = 0;
    }
    if (altStack_) {
        stack_t ss{};
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, nullptr);
        munmap(altStack_, altSize_);
    }
}

SlotStack StackPool::stack(unsigned slot) {
    if (!region_) {
        region_ = static_cast<char*>(mmap(nullptr, kSlotSize * kMaxThreads, PROT_NONE,
                                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        if (region_ == MAP_FAILED) {
            region_ = nullptr;
            throw std::bad_alloc();
        }
        regionLo = reinterpret_cast<uintptr_t>(region_);
        regionHi = regionLo + kSlotSize * kMaxThreads;
    }
    char* base = region_ + size_t(slot) * kSlotSize;
    if (slot >= ready_) {
        // Slots are taken in order: make every stack up to this one accessible.
        char* from = region_ + size_t(ready_) * kSlotSize;
        for (unsigned i = ready_; i <= slot; ++i, from += kSlotSize)
            if (mprotect(from + kGuardSize, kStackSize, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
        ready_ = slot + 1;
    }
#if defined(__SANITIZE_ADDRESS__)
    // A fiber unwound after a kernel fault leaves its frames' shadow behind (AddressSanitizer
    // cannot follow an unwind on a stack it does not know): the next fiber here starts clean.
    ASAN_UNPOISON_MEMORY_REGION(base + kGuardSize, kStackSize);
#endif
    const size_t colour = (slot % kColours) * kColour;
    return SlotStack{base + kSlotSize - colour, kStackSize - colour};
}

#if GPU_OWN_SWITCH
Worker::~Worker() = default;  // idle fibers wait in runSlot; their stacks go with `stacks`

[[noreturn]] void throwUnwind() { throw FiberUnwind{}; }

void Worker::discard(GpuThread& t) {
    t.sp = callOnResume(t.sp, throwUnwind);
    resume(t);  // it unwinds to runSlot and comes back done
}

void Worker::prepare(unsigned slot) {
    GpuThread& t = slots[slot];
    if (!t.sp) t.sp = fiberStack(stacks.stack(slot).top, runSlot, &t);
}
#else
Worker::~Worker() {
    for (unsigned i = 0; i < kMaxThreads; ++i) {
        GpuThread& t = slots[i];
        if (t.fiber && t.done) {
            // Idle between threads: let it end its loop, no unwinding needed.
            t.quit = true;
            tsanSwitch(t.tsanFiber);
            t.fiber = std::move(t.fiber).resume();
        }
        discard(t);
    }
}

void Worker::discard(GpuThread& t) {
    if (!t.fiber && !t.tsanFiber) return;
    tsanSwitch(t.tsanFiber);
    t.fiber = ctx::fiber();
    tsanRelease(&tsanEnd);  // what it did comes before the block's end, as a thread's end does
    tsanIgnoreEnd();        // the one the slot's TSan fiber was made with
    tsanSwitch(tsanSelf);
    if (t.tsanFiber) {
        // Its shadow stack still holds the frames just unwound: start afresh.
        tsanDestroy(t.tsanFiber);
        t.tsanFiber = nullptr;
    }
}

void Worker::prepare(unsigned slot) {
    GpuThread& t = slots[slot];
    if (t.fiber) return;
    const bool fresh = GPU_TSAN_ON && !t.tsanFiber;
    if (fresh) t.tsanFiber = tsanCreate();
    // Made under the slot's TSan fiber: making it already runs a little on its stack.
    tsanSwitch(t.tsanFiber);
    if (fresh) tsanIgnoreBegin();  // the slot's fiber runs runtime code from here on
    const SlotStack st = stacks.stack(slot);
    ctx::stack_context sc;
    sc.size = st.size;
    sc.sp = st.top;
    t.fiber = ctx::fiber(std::allocator_arg, SlotAllocator{sc},
                         [this, &t](ctx::fiber&& caller) { return runSlot(*this, t, std::move(caller)); });
    if (GPU_TSAN_ON) tsanSwitch(tsanSelf);
}

// Under TSan the switch is announced first; it orders nothing (tsan.h).
void Worker::resume(GpuThread& t) {
    tsanSwitch(t.tsanFiber);
    t.fiber = std::move(t.fiber).resume();
}

void Worker::suspend(GpuThread& t) {
    if (GPU_TSAN_ON) tsanSwitch(tsanSelf);
    t.caller = std::move(t.caller).resume();
}
#endif

Worker& thisWorker() {
    static thread_local Worker worker;
    return worker;
}

}  // namespace gpu::cpu
