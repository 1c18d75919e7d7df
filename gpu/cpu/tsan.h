// ThreadSanitizer's fiber and order calls, and no-ops when the build is not instrumented.
//
// Under TSan every GPU thread is its own TSan fiber, in every block mode, and a switch
// between fibers orders nothing. The order between GPU threads is what a GPU gives:
//  - everything before a block (the launch, earlier blocks on this worker) comes before
//    each of its threads: the worker releases at the block's start, a thread acquires
//    when it starts;
//  - __syncthreads(): a thread releases on arriving and acquires on leaving, on the token
//    of that barrier round;
//  - a thread's end comes before what follows the block: it releases, the worker acquires
//    when the block is done.
// So a missing barrier between one thread's __shared__ write and another's read is a race
// report naming the kernel, as compute-sanitizer's racecheck reports it on a GPU.
// The runtime's own code inside a block (slot flags, fiber records, the built-in indices
// it sets) runs with TSan ignoring its memory accesses: every fiber ignores them except
// while it runs its GPU thread's kernel code, and the worker while it runs a block. Those
// hand-overs are ordered by the fiber switches themselves, which TSan is told nothing of.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define GPU_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GPU_TSAN 1
#endif
#endif

#if GPU_TSAN
#include <sanitizer/tsan_interface.h>
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace gpu::cpu {

#if GPU_TSAN
constexpr bool GPU_TSAN_ON = true;
inline void* tsanCurrent() { return __tsan_get_current_fiber(); }
inline void* tsanCreate() { return __tsan_create_fiber(0); }
inline void tsanSwitch(void* f) { __tsan_switch_to_fiber(f, __tsan_switch_to_fiber_no_sync); }
inline void tsanDestroy(void* f) { __tsan_destroy_fiber(f); }
inline void tsanRelease(void* token) { __tsan_release(token); }
inline void tsanAcquire(void* token) { __tsan_acquire(token); }
// Memory accesses of the current fiber are not checked from begin to end (they nest).
inline void tsanIgnoreBegin() { __tsan_ignore_thread_begin(); }
inline void tsanIgnoreEnd() { __tsan_ignore_thread_end(); }
#else
constexpr bool GPU_TSAN_ON = false;
inline void* tsanCurrent() { return nullptr; }
inline void* tsanCreate() { return nullptr; }
inline void tsanSwitch(void*) {}
inline void tsanDestroy(void*) {}
inline void tsanRelease(void*) {}
inline void tsanAcquire(void*) {}
inline void tsanIgnoreBegin() {}
inline void tsanIgnoreEnd() {}
#endif

}  // namespace gpu::cpu
