// What the files of the cpu backend share among themselves; the programs never see it.
//
//   memory.cpp   tracked device memory, copies, symbol copies
//   fibers.cpp   the GPU threads' stacks (with their guard) and the fibers that run them
//   switch.cpp   the fibers' own context switch (x86-64, aarch64)
//   blocks.cpp   one block: a plain loop, or one fiber a thread with real barriers; the
//                lanes' side of warp calls
//   pool.cpp     the worker threads and how a grid's blocks are handed out
//   launch.cpp   the checks at the start of a launch and the message for a bad pointer
//   api.cpp      the CUDA error calls and device queries
//   warp.cpp     warp calls: completing a call its lanes have all reached
//   events.cpp   events and the default stream
#pragma once

#include "gpu/runtime.h"

namespace gpu::cpu {

// ---- errors (api.cpp) ---------------------------------------------------------------

// Stores e as the pending error (the one cudaGetLastError() takes) unless it is
// cudaSuccess; returns e.
cudaError_t record(cudaError_t e);

// The device's sticky fault, cudaSuccess while there is none.
cudaError_t sticky();

// Makes e the sticky fault unless one is set already (the first fault wins); true when
// it was this call that set it.
bool setSticky(cudaError_t e);

// ---- memory (memory.cpp) ------------------------------------------------------------

// What a kernel may be handed: a pointer into (or just past) an allocation, or into a
// __constant__ variable.
bool isDeviceArgument(const void* p);

// Frees every device and page-locked allocation (cudaDeviceReset).
void releaseDeviceMemory();

// ---- events (events.cpp) ------------------------------------------------------------

// Destroys every event (cudaDeviceReset).
void releaseEvents();

// ---- blocks (blocks.cpp) ------------------------------------------------------------

// Runs block `blockLinear` (x fastest) of the launch on the calling worker; a fault is
// made sticky and reported once.
void runBlock(const LaunchDesc& d, uint64_t blockLinear);

}  // namespace gpu::cpu
