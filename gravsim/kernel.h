// gravsim: all-pairs gravitational N-body simulation in four modes (CPU; GPU copying the
// whole state every frame; GPU with double-buffered device state; GPU with shared-memory
// tiles), drawn as points under the orbit camera.
//
// Plain globals, one thread. Each mode is a row of the mode table in kernel.cu: its
// allocate, release and step; entering a mode draws a fresh random cloud of bodyCount
// bodies. The kernels themselves are declared in kernels.cuh, for .cu files.
#pragma once

#include <cstddef>

#include "gpu/runtime.h"
#include "viewer/frame.h"

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

// ---- bodies --------------------------------------------------------------------------

// count vectors, each in the direction of a random point of [-1, 1)^3 with a random
// length below scale; w = 1. Four rand() draws each (more if a direction has no length).
void fillRandomVectors(float4* v, int count, float scale);
float4* randomVectors(int count, float scale);  // the same into a new array (null: no memory)
// count floats on the grid min + (max - min) * k / 1000, one rand() each.
void fillRandomFloats(float* v, int count, float min, float max);
float* randomFloats(int count, float min, float max);  // the same into a new array (null: no memory)
// ---- the modes: allocate, release, compute ----------------------------------------------

// The modes' compute steps. Mode 1 holds pos, vel and mass; modes 2 to 4 also the two
// device pairs and d_mass. Each mode is the triple allocate, release, step in kernel.cu;
// each entry draws a new cloud (and uploads it). The frame enters and leaves them
// (viewer::enter for the benchmark and tests).
// A scratch pair that cannot be had skips the CPU step, with one line on stderr.
void stepCPU();
void stepGPU();
void stepGPUBuffer();
void stepGPUShared();

// Arrow keys: up and down walk the body-count ladder, then the mode is entered again at
// the new count (viewer::changeCount: a refusal keeps the count).
void specialKeys(int key, int x, int y);

int count();  // the body count shown in the title

// The frame table (window, title, modes) and the program for the frame; draw is the
// window's drawing step.
const viewer::FrameParams& frame();
viewer::Program program(void (*draw)());

}  // namespace gravsim
