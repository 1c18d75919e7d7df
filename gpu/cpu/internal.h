// What the files of the cpu backend share among themselves; the programs never see it.
//
//   memory.cpp   tracked device, managed and page-locked memory
//   copies.cpp   copies and memsets, plain, 2-D, asynchronous, and symbol copies
//   fibers.cpp   the GPU threads' stacks (with their guard) and the fibers that run them
//   switch.cpp   the fibers' own context switch (x86-64, aarch64)
//   blocks.cpp   one block: a plain loop, or one fiber a thread with real barriers; the
//                lanes' side of warp calls
//   pool.cpp     the worker threads and the device's queue: what runs when
//   launch.cpp   the checks at the start of a launch and the message for a bad pointer
//   api.cpp      the CUDA error calls and device queries
//   warp.cpp     warp calls: completing a call its lanes have all reached
//   queue.h      the work queued on streams, as pool.cpp runs it
//   streams.cpp  streams and host functions on them
//   events.cpp   events, recorded on streams
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

// What memory.cpp knows of a range, for the copies (copies.cpp):
enum class MemKind { Device, Managed, Pinned, Registered };
bool deviceRange(const void* p, size_t n);   // inside one device or managed allocation
bool hostRange(const void* p, size_t n);     // touches no memory that only the device may use
bool pageLocked(const void* p);              // in managed, page-locked or registered memory
bool managedRange(const void* p, size_t n);  // inside one managed allocation
bool symbolRange(const void* p, size_t n);   // inside the __constant__ variables

// ---- events (events.cpp) ------------------------------------------------------------

// Destroys every event (cudaDeviceReset).
void releaseEvents();

// Waits for all queued work, then destroys every stream but the default ones (streams.cpp).
void releaseStreams();

// ---- launches (launch.cpp) -------------------------------------------------------------

// Set on a worker while it runs blocks: a launch from there is refused (dynamic parallelism).
void setRunningKernel(bool running);

// ---- cooperative grids (cooperative.cpp) ----------------------------------------------

// Runs every block of the grid at once, each on a thread of its own.
void runCooperative(const LaunchDesc& d);

// ---- blocks (blocks.cpp) ------------------------------------------------------------

// Runs block `blockLinear` (x fastest) of the launch on the calling worker; a fault is
// made sticky and reported once.
void runBlock(const LaunchDesc& d, uint64_t blockLinear);

}  // namespace gpu::cpu
