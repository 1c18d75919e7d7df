// ThreadSanitizer's fiber calls, and no-ops when the build is not instrumented.
//
// Under TSan every GPU thread's fiber is a TSan fiber and every switch is announced, so
// reports name the GPU thread's own stack. A switch synchronises: the threads of one block
// (one worker) are ordered at every switch, and what TSan checks is the blocks that run
// at the same time on different workers, and the runtime's own hand-overs.
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
#endif

namespace gpu::cpu {

#if GPU_TSAN
constexpr bool GPU_TSAN_ON = true;
inline void* tsanCurrent() { return __tsan_get_current_fiber(); }
inline void* tsanCreate() { return __tsan_create_fiber(0); }
inline void tsanSwitch(void* f) { __tsan_switch_to_fiber(f, 0); }
inline void tsanDestroy(void* f) { __tsan_destroy_fiber(f); }
#else
constexpr bool GPU_TSAN_ON = false;
inline void* tsanCurrent() { return nullptr; }
inline void* tsanCreate() { return nullptr; }
inline void tsanSwitch(void*) {}
inline void tsanDestroy(void*) {}
#endif

}  // namespace gpu::cpu
