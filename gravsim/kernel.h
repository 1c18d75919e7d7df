// gravsim: all-pairs gravitational N-body simulation in four modes (CPU; GPU copying the
// whole state every frame; GPU with double-buffered device state; GPU with shared-memory
// tiles), drawn as points under the orbit camera.
//
// Plain globals, one thread. Each mode is an allocation, a release and a step function
// for the viewer frame; every allocation draws a fresh random cloud of bodyCount bodies.
// The kernels themselves are declared in kernels.cuh, for .cu files.
#pragma once

#include <cstddef>

#include "gpu/runtime.h"
#include "viewer/frame.h"
#include "viewer/memory.h"

namespace gravsim {

constexpr int blockSize = 512;  // threads per block, and bodies per shared-memory tile
constexpr int startBodyCount = 1024;
// The up arrow stops here (it is on the arrow-key ladder). A million bodies keep every
// array at 16 MiB and every size and index far inside a 32-bit int, while one frame is
// already 10^12 interactions, far past anything interactive on any device.
constexpr int maxBodyCount = 1 << 20;

constexpr double softening = 0.1 * 0.1;  // 0.010000000000000002, added to the squared distance
constexpr double gravityFactor = 1e-7;
constexpr float positionScale = 1.0f;
constexpr float velocityScale = 1e-4f;
constexpr float minMass = 1.0f, maxMass = 5.0f;

// ---- state ---------------------------------------------------------------------------

extern int bodyCount;
extern float4* pos;   // host positions, w = 1; drawn as 4-float vertices
extern float4* vel;   // host velocities, w = 1
extern float* mass;   // host masses in [1, 5)

extern float4 *d_pos0, *d_pos1, *d_vel0, *d_vel1;  // the two device state pairs
extern float* d_mass;
extern int currentBuffer;  // modes 3 and 4: 0 when d_pos0/d_vel0 hold the current state

// Where the modes get and return their arrays. Tests swap in counting or failing functions.
extern viewer::Memory memory;

// ---- bodies --------------------------------------------------------------------------

// count vectors, each in the direction of a random point of [-1, 1)^3 with a random
// length below scale; w = 1. Four rand() draws each (more if a direction has no length).
void fillRandomVectors(float4* v, int count, float scale);
float4* randomVectors(int count, float scale);  // the same into a new array
// count floats on the grid min + (max - min) * k / 1000, one rand() each.
void fillRandomFloats(float* v, int count, float min, float max);
float* randomFloats(int count, float min, float max);  // the same into a new array
// pos, vel, mass for bodyCount bodies, drawn in this order; arrays that cannot be had end
// the program with the line on stderr and status 1.
void initBodies();
void freeBodies();

// ---- steps (the modes' compute functions) ----------------------------------------------

void stepCPU();
void stepGPU();
void stepGPUBuffer();
void stepGPUShared();

// ---- modes -----------------------------------------------------------------------------

// The frame's mode entries (see viewer::ModeOps): every host and device array of the new
// state taken and a new cloud drawn (and uploaded) before the old mode is released. A
// refusal keeps the running mode, its cloud and its count.
bool enterCPU(void (*releaseOld)());
bool enterGPU(void (*releaseOld)());
bool enterGPUBuffers(void (*releaseOld)());  // modes 3 and 4
// The same with nothing to release, for start-up and the benchmark: arrays that cannot be
// had end the program with the line on stderr and status 1.
void allocateCPU();
void allocateGPU();
void allocateGPUBuffers();
void releaseCPU();
void releaseGPU();
void releaseGPUBuffers();

// Arrow keys: up and down walk the body-count ladder, then the mode is entered again at
// the new count (viewer::changeCount: a refusal keeps the count).
void specialKeys(int key, int x, int y);

int count();  // the body count shown in the title

// gravsim's viewer program, with `draw` as the drawing done after each step.
viewer::Program makeProgram(void (*draw)());

// ---- allocation that cannot fail silently ------------------------------------------------

// malloc, or the message "gravsim: cannot allocate N bytes for WHAT" on stderr and exit 1
// (the CPU step's scratch arrays, randomVectors and randomFloats).
void* mallocOrExit(size_t bytes, const char* what);

}  // namespace gravsim
