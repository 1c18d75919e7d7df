// fractview: the filled Julia set of z -> z^2 + c in a 1024 x 768 window. The mouse picks
// c and zooms, the arrow keys set the iteration cap; mode 1 colours the image with a CPU
// loop, mode 2 with the kernel juliaColorGPU, both through the same juliaColor.
#pragma once

#include <cstddef>

#include "gpu/runtime.h"
#include "viewer/frame.h"

namespace fractview {

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr int kPixels = kWidth * kHeight;                     // 786,432
constexpr size_t kImageBytes = sizeof(float4) * kPixels;      // 12,582,912
constexpr int kMinPrec = 1;
constexpr int kMaxPrec = 50;

struct Complex {
    float reel;
    float im;
};

// The per-pixel arithmetic, one definition for the CPU loop and the kernel.
__host__ __device__ Complex mul_complex(Complex c1, Complex c2);
__host__ __device__ Complex add_complex(Complex c1, Complex c2);
__host__ __device__ float squaredMagnitude(Complex a);
// Escape-time grey of the point (x, y) under c = (sx, sy) with at most p steps: 1 for a
// point that leaves the radius-2 disc in the first step, 0 for one that never does.
__host__ __device__ float juliaColor(float x, float y, float sx, float sy, int p);
// The colour of pixel (row i, column j): grey, grey, 1, 1, with red cleared within 0.01
// plane units of c.
__host__ __device__ float4 juliaPixel(int i, int j, float scale, float mx, float my, int prec);

__global__ void juliaColorGPU(float4* pixels_gpu, float scale, float mx, float my, int prec);
// The launch of juliaColorGPU into pixels_gpu that renderGPU makes, for any view and shape
// (the benchmark times this one).
cudaError_t launchJuliaColorGPU(dim3 grid, dim3 block, float scale, float mx, float my, int prec);

// ---- program state -------------------------------------------------------------------

extern float scale;  // plane units per pixel
extern float mx;     // c, real part
extern float my;     // c, imaginary part
extern int prec;     // iteration cap, 1..50
extern float4* pixels;      // host image, drawn in both modes
extern float4* pixels_gpu;  // device image (mode 2)

// Start view: c = 0, scale 0.003, prec 15.
void resetView();

// ---- modes ---------------------------------------------------------------------------

// The modes' compute steps. Mode 1 holds pixels; mode 2 pixels and pixels_gpu. Each mode
// is the triple allocate, release, compute in kernel.cu; the frame enters and leaves them
// (viewer::enter for the benchmark and tests).
void renderCPU();
void renderGPU();

// The GPU step with a given launch shape; returns the launch result. A refused shape skips
// the copy (a failed GPU step: see viewer::cudaCheck). renderGPU uses 1536 x 512.
cudaError_t renderGPUWith(dim3 grid, dim3 block);

// ---- input ---------------------------------------------------------------------------

void mouse(int button, int state, int x, int y);
void motion(int x, int y);
void specialKeys(int key, int x, int y);

// The frame table (window, title, modes) and the program for the frame; draw is the
// window's drawing step.
const viewer::FrameParams& frame();
viewer::Program program(void (*draw)());

}  // namespace fractview
